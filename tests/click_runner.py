"""CliRunner as the tests need it on every click release the package accepts."""
import inspect
from importlib.metadata import version

from click.testing import CliRunner

CLICK_VERSION = tuple(int(part) for part in version("click").split(".")[:3])


def cli_runner():
    """A runner whose results keep standard error apart from standard output.

    click 8.2 always does and dropped the switch; before it, that has to be asked for.
    """
    if "mix_stderr" in inspect.signature(CliRunner.__init__).parameters:
        return CliRunner(mix_stderr=False)
    return CliRunner()
