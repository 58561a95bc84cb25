import click

DEFAULT_BUNDLE_PATH: str
TAG_MAP: dict[str, str]
CONCERNED_PACKAGES: tuple[str, ...]

def get_license_info(name: str = ...) -> tuple[str | None, str | None]: ...
def set_to_environ(name: str, value: str) -> None: ...

cli: click.Group
license: click.Command
shell: click.Command
update_data: click.Command
check_data: click.Command
download_data: click.Command
