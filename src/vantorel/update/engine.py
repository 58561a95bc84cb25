"""Filling and updating the local data bundle (the layout is described in ``vantorel.bundle``).

The command line imports this module on every run of a data command, so it imports only light
modules at the top; numpy and h5py come in with the first function that touches data.

An update works like this:

- it holds the bundle path's lock exclusively (``locks``): a second update of the same bundle, or
  a check running on it, finds the lock taken, says so and stops at once;
- it asks the data client for the instruments and the latest published trading day, and turns the
  selection (data categories of ``TAG_MAP``, futures underlying symbols such as ``JD``, market codes
  such as ``M1905`` or ``000001.XSHE``) into instruments; unknown names stop it before any download;
- for each instrument it fetches only the trading days after the last one stored (or, for an
  instrument not stored yet or with ``rebuild``, the service's default history), with ``concurrency``
  fetch threads, while the calling thread is the only one that writes HDF5;
- every minute-bar and tick file is committed atomically as soon as its instrument is done, and the
  daily bars of a category as soon as the whole category is; a killed update loses at most the
  files in flight, and running it again fetches what is still missing.

``download_simple_bundle`` without an archive builds a bundle from the embedded service:
``sample=True`` gives the small sample (three stocks, one index, the 50 ETF and its nearest
options, one convertible, the two nearest contracts of M and JD with the options on them: base data,
daily bars, minute bars, and ticks of the stocks and futures); ``sample=False`` gives the whole
default universe (base data, daily bars and minute bars of every instrument, no ticks). Either is
built in a staged directory, and the layout directories it brings replace the old ones only when
it is complete (see ``staging``); the rest of the bundle path, ticks the full build does not bring
included, stays as it was. Its failures raise ``VantorelError`` (the command returns the result to
click, which would not turn a false value into a failing exit status).
"""
import os
import time

import click

from vantorel.bundle import access, journal, locks, places, writing
from vantorel.errors import VantorelError
from vantorel.sources import provenance, service
from vantorel.update import unfinished
from vantorel.update.base import write_base
from vantorel.update.plan import (
    KINDS,
    Resumer,
    data_tasks,
    migrate_daybar_files,
    plan_daybar_tasks,
    resolve_selection,
    stored_codes,
    unknown_message,
)
from vantorel.update.report import Report, counted_notices
from vantorel.update.run import io_message, run_tasks, write_failed

# The sample bundle carries ticks of these categories only; the rest would only make it big.
SAMPLE_TICK_CATEGORIES = ("stock", "futures")



BusyError = locks.BusyError




def update(client, bundle_path, base, selections, with_derivatives=False, rebuild=False,
           concurrency=1, label="更新数据", explicit=None, sources=None):
    """Run one update under the caller's lock; returns a Report.

    ``selections`` maps "minbar"/"tick" to names to resolve; ``explicit`` maps them to market codes
    of stored files instead (the smart update), which are skipped when the service lost them.
    Codes whose series ``sources`` (the bundle's, read when not given) records as another source's
    are left to it: the service's rows are never appended to them.
    """
    started = time.monotonic()
    report = Report()
    notes = []
    writing.remove_stray_temp_files(bundle_path)
    # Said once, before anything is fetched, rather than by every file that cannot be appended to.
    problem = journal.update_problem(bundle_path)
    if problem:
        raise VantorelError(problem)
    latest = client.latest_trading_date()
    instruments = client.instruments()
    by_code = {inst.order_book_id: inst for inst in instruments}
    sources = sources or provenance.read(bundle_path)
    served = provenance.service()
    held = _held_codes(bundle_path)
    theirs = {code for code in by_code if code in held and not provenance.same(sources.of(code), served)}

    chosen = {}
    unknown = []
    for kind in KINDS:
        names = list(selections.get(kind) or ())
        if names:
            stored = stored_codes(bundle_path, kind)
            picked, missing = resolve_selection(instruments, names, with_derivatives, stored,
                                                client.history_start(kind, latest), latest)
            chosen[kind] = picked
            unknown += [n for n in missing if n not in unknown]
        for code in (explicit or {}).get(kind, ()):
            inst = by_code.get(code)
            if inst is None:
                report.skipped.append((kind, code, "数据服务中已没有该合约"))
            else:
                chosen.setdefault(kind, []).append(inst)
    if unknown:
        raise VantorelError(unknown_message(unknown, instruments))
    left = sorted({inst.order_book_id for picked in chosen.values() for inst in picked} & theirs)
    if left:
        click.echo("{}{} 个品种来自 {}，保持原来源，未从数据服务更新".format(
            "、".join(left[:3]) + (" 等 " if len(left) > 3 else " 共 "), len(left),
            provenance.describe(sources.of(left[0]))), err=True)
    chosen = {kind: [inst for inst in picked if inst.order_book_id not in theirs] for kind, picked in chosen.items()}
    instruments = [inst for inst in instruments if inst.order_book_id not in theirs]
    sources.assign([inst.order_book_id for inst in instruments], served)

    tasks = []
    daybars_stored = {}
    if base:
        day_tasks, daybars_stored, fresh = plan_daybar_tasks(client, bundle_path, instruments, latest, notes, report)
        tasks += day_tasks
        report.up_to_date += fresh
    for kind in KINDS:
        tasks += data_tasks(kind, chosen.get(kind, []), latest)
    converted = migrate_daybar_files(bundle_path) if base else 0
    for note in notes:
        click.echo(note, err=True)
    resume = Resumer(client, bundle_path, latest, rebuild)
    try:
        write_base(client, bundle_path, instruments, latest, concurrency, sources)
    except OSError as exc:
        report.stopped = write_failed(exc)
    else:
        run_tasks(client, bundle_path, tasks, daybars_stored, concurrency, report, label, resume)
    for note in resume.notes:
        click.echo(note, err=True)
    converted += len(resume.converted)
    if converted:
        click.echo(f"已将 {converted} 个旧版本的数据文件转换为新的存储格式（只需转换一次）", err=True)
    report.seconds = time.monotonic() - started
    return report



def _held_codes(bundle_path):
    """The codes the bundle holds: in its instrument table or with a series."""
    from vantorel.bundle import reading

    directory = places.bundle_dir(bundle_path)
    try:
        held = {code.decode() for code in reading.read_instruments(directory)["order_book_id"]}
    except (OSError, places.StorageError, KeyError, ValueError):
        held = set()
    return (held | reading.daybar_codes(directory) | stored_codes(bundle_path, "minbar")
            | stored_codes(bundle_path, "tick"))



def _check_concurrency(concurrency):
    if isinstance(concurrency, bool) or not isinstance(concurrency, int) or not (
            1 <= concurrency <= service.MAX_CONNECTIONS):
        raise VantorelError(f"并行线程数应在 1 到 {service.MAX_CONNECTIONS} 之间，当前为 {concurrency!r}")



def _run_update(concurrency, data_bundle_path, base, selections, with_derivatives, rebuild, explicit_from_disk):
    command = _command_text(concurrency, data_bundle_path, base, selections, with_derivatives, rebuild,
                            explicit_from_disk)
    try:
        _check_concurrency(concurrency)
        with access.updating(data_bundle_path) as path:
            from vantorel.bundle import staging

            staging.recover(path)
            staging.check_bundle_path(path)
            sources = provenance.read(path)
            ok, served_too = True, True
            if explicit_from_disk:
                if sources.folder() is not None:
                    ok = _update_from_folder(path, sources, command)
                # The service is asked only for series that are its own.
                served_too = _holds_service_series(path, sources)
            if explicit_from_disk and not served_too and sources.folder() is None:
                click.echo("{} 中的数据来自{}，没有可以增量更新的来源；有新版本时请用 download-data -f 重新安装".format(
                    path, provenance.describe(sources.base)), err=True)
            elif served_too:
                ok = _update_from_service(path, sources, command, concurrency, base, selections, with_derivatives,
                                          rebuild, explicit_from_disk) and ok
            if ok:
                unfinished.end(path, command)
            return ok
    except VantorelError as exc:
        exc.show()
        return False
    except OSError as exc:
        click.echo(f"错误：{io_message(exc)}", err=True)
        return False
    except KeyboardInterrupt:
        # Before click's own "Aborted!": what the interruption kept, and how to go on.
        click.echo(f"已中断：写完的数据文件都已保存（没有写了一半的文件），其余保持原样；"
                   f"再次运行 vantorel {command} 即可继续完成这次更新", err=True)
        raise


def _command_text(concurrency, bundle_path, base, selections, with_derivatives, rebuild, smart):
    """The update-data command these arguments come from, as a user would type it again."""
    import shlex

    from vantorel.ombrel.sdk.const import DEFAULT_BUNDLE_PATH

    words = ["update-data"]
    if smart:
        words.append("--smart")
    elif base:
        words.append("--base")
    for kind in KINDS:
        for name in (selections or {}).get(kind) or ():
            words += [f"--{kind}", shlex.quote(str(name))]
    words += ["--with-derivatives"] * bool(with_derivatives) + ["--rebuild"] * bool(rebuild)
    if concurrency != 3:  # the command line's default
        words += ["-c", str(concurrency)]
    if os.path.abspath(os.fspath(bundle_path)) != os.path.abspath(DEFAULT_BUNDLE_PATH):
        words += ["-d", shlex.quote(os.fspath(bundle_path))]
    return " ".join(words)


def _holds_service_series(path, sources):
    """Whether the bundle holds series the data service is the source of."""
    served = provenance.service()
    if provenance.same(sources.base, served):
        return True
    stored = set().union(*(stored_codes(path, kind) for kind in KINDS))
    return any(provenance.same(sources.of(code), served) for code in stored)


def _update_from_folder(path, sources, command):
    from vantorel.sources import csv_import, csv_update

    unfinished.begin(path, command)
    try:
        result = csv_update.update(path, sources, lambda text: click.echo(text, err=True))
    except csv_import.CsvError as exc:
        raise VantorelError(f"{exc.format_message()}；bundle 未作改动") from None
    for line in result.lines:
        click.echo(line, err=True)
    if result.ok:
        click.echo(result.summary)
    else:
        click.echo(f"错误：{result.summary}", err=True)
    return result.ok


def _update_from_service(path, sources, command, concurrency, base, selections, with_derivatives, rebuild,
                         explicit_from_disk):
    client = service.open_client(concurrency)
    explicit = None
    if explicit_from_disk:
        # What an unreadable file was set aside for is fetched again, not forgotten.
        served = provenance.service()
        explicit = {kind: sorted(code for code in stored_codes(path, kind) | places.set_aside_codes(path, kind)
                                 if provenance.same(sources.of(code), served)) for kind in KINDS}
        if not any(explicit.values()):
            click.echo(f"{path} 中没有已下载的分钟线或 tick 数据，只更新基础数据和日线", err=True)
    unfinished.begin(path, command)
    with client:
        report = update(client, path, base, selections, with_derivatives, rebuild, concurrency,
                        explicit=explicit, sources=sources)
    for line in counted_notices(report.failed, "{code}（{kind}）未能更新：{message}",
                                "{count} 个合约的{kind}未能更新：{message}（如 {examples}）"):
        click.echo(line, err=True)
    for line in counted_notices(report.skipped, "跳过 {code}（{kind}）：{message}",
                                "跳过 {count} 个合约的{kind}：{message}（如 {examples}）"):
        click.echo(line, err=True)
    click.echo(report.summary())
    return report.ok



def update_bundle_from_corvane(concurrency, data_bundle_path, base, minbar, tick, with_derivatives, rebuild=False):
    """Update base data and daily bars (``base``) and the minute bars and ticks of the selected
    categories, underlying symbols or market codes; true when everything asked for is stored."""
    minbar, tick = tuple(minbar or ()), tuple(tick or ())
    if not (base or minbar or tick):
        return True
    return _run_update(concurrency, data_bundle_path, base, {"minbar": minbar, "tick": tick},
                       with_derivatives, rebuild, explicit_from_disk=False)



def update_bundle_from_exist_file(concurrency, data_bundle_path):
    """Update the instruments whose minute bars or ticks are stored, and the base data and daily bars."""
    return _run_update(concurrency, data_bundle_path, True, {}, False, False, explicit_from_disk=True)



def build_bundle(bundle_path, sample=True, concurrency=2, client=None):
    """Build a bundle from the embedded service at ``bundle_path`` (no sign-in); returns a Report."""
    client = client or service.open_client(concurrency, require_login=False,
                                           universe="sample" if sample else "default")
    latest = client.latest_trading_date()
    instruments = client.instruments()
    minbar = [i.order_book_id for i in instruments if i.active_between(client.history_start("minbar", latest), latest)]
    tick = []
    if sample:
        tick = [i.order_book_id for i in instruments
                if i.category in SAMPLE_TICK_CATEGORIES and i.active_between(client.history_start("tick", latest), latest)]
    label = "生成样例数据" if sample else "生成数据"
    with client:
        return update(client, bundle_path, True, {"minbar": minbar, "tick": tick}, concurrency=concurrency,
                      label=label)



def download_simple_bundle(data_bundle_path, sample=True, file_path=None):
    """Install a bundle: from the local archive ``file_path`` when given, else built from the embedded
    service (see the module documentation for what ``sample`` selects). True on success; failures
    raise VantorelError and leave the old bundle in place."""
    with access.updating(data_bundle_path) as path:
        if file_path:
            from vantorel.sources.archive import install_archive

            install_archive(file_path, path)
            return True
        from vantorel.bundle.staging import staged_bundle

        with staged_bundle(path) as swap:
            report = build_bundle(swap.path, sample=sample)
            if not report.ok:
                for line in counted_notices(report.failed, "{code}（{kind}）生成失败：{message}",
                                            "{count} 个合约的{kind}生成失败：{message}（如 {examples}）"):
                    click.echo(line, err=True)
                raise VantorelError(report.summary("生成数据") + f"；{path} 保持不变")
        click.echo(report.summary("样例数据生成" if sample else "数据生成") + f"，已保存到 {path}{swap.note()}")
        return True
