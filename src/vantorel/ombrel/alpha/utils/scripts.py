"""Maintenance of a data bundle that runs before an update."""
import contextlib

import click

from vantorel.errors import VantorelError
from vantorel.bundle import places, validation
from vantorel.bundle import staging
from vantorel.bundle import access


def check_tick(bundle_dir):
    """Move unreadable or truncated tick files out of the way, so the next update fetches them again.

    ``bundle_dir`` is the bundle directory (the "bundle" sub-directory of the bundle path); the tick
    files lie beside it, under the bundle path. Files go to ``<bundle path>/quarantine/tick/`` (kept,
    not deleted, in case they are wanted). Returns [(path, moved to, reason)].

    The check holds the bundle path's lock for writing, taken without waiting (it moves files): an
    update in progress replaces tick files as it goes, and one it has just written must not be
    judged half done. A swap a killed process left half done is finished first. A file that
    cannot be opened for now (no permission, locked) is left where it is.
    """
    bundle_path = places.bundle_path_of(bundle_dir)
    moved = []
    with contextlib.ExitStack() as held:
        try:
            held.enter_context(access.updating(bundle_path))
        except VantorelError as exc:
            click.echo(f"未检查 tick 文件：{exc.format_message()}", err=True)
            return moved
        staging.recover(bundle_path)
        for category, code, path in places.iter_tick_files(bundle_path):
            try:
                reason = validation.inspect_data_file(path, "tick")
            except places.StorageError as exc:
                click.echo(f"未检查 tick 文件 {path}：{exc.reason}", err=True)
                continue
            if reason is None:
                continue
            try:
                target = places.set_aside(bundle_path, "tick", category, code)
            except OSError as exc:
                click.echo(f"tick 文件 {path} 已损坏（{reason}），但无法移走：{exc.strerror or exc}", err=True)
                continue
            moved.append((path, target, reason))
            click.echo(f"tick 文件 {path} 已损坏（{reason}），已移至 {target}，更新时将重新下载", err=True)
    if moved:
        click.echo(f"共移走 {len(moved)} 个损坏的 tick 文件", err=True)
    return moved
