"""What an update fetches: the selection turned into instruments, and for each instrument the
trading days after the last one stored (or its default history)."""
import os

from vantorel.bundle import appending, hdf5, journal, places, reading, validation
from vantorel.errors import VantorelError
from vantorel.market.calendar import next_trading_date
from vantorel.ombrel.sdk.const import TAG_MAP
from vantorel.update.report import KIND_LABELS

KINDS = ("minbar", "tick")



class Task:
    __slots__ = ("kind", "inst", "start", "end", "merge", "stored_last", "edit")

    def __init__(self, kind, inst, start, end, merge):
        self.kind, self.inst, self.start, self.end, self.merge = kind, inst, start, end, merge
        self.stored_last = None  # the datetime of the last stored row, when it was read
        # The stored file as the resume opened it, for the append (``appending.Edit``); whoever
        # takes the task on commits or abandons it, so no more files are open than tasks in flight.
        self.edit = None


def discard(task):
    """Let go of the file a task holds open, unchanged."""
    edit, task.edit = task.edit, None
    if edit is not None:
        edit.abandon()



def _category_key(name):
    low = name.strip().lower()
    if low in TAG_MAP:
        return low
    for key, value in TAG_MAP.items():
        if value.lower() == low:
            return key
    return None



def resolve_selection(instruments, names, with_derivatives, stored_codes, start, latest):
    """Instruments chosen by ``names`` (categories, underlying symbols, market codes).

    A category or an underlying symbol stands for its instruments that trade between ``start`` and
    ``latest`` or that are already stored (``stored_codes``), so an update also finishes contracts
    that expired since the last one. Returns (instruments in a stable order, unknown names).
    """
    by_code = {inst.order_book_id: inst for inst in instruments}
    underlyings = {inst.underlying_symbol for inst in instruments if inst.category == "futures"}

    def wanted(inst):
        return inst.active_between(start, latest) or inst.order_book_id in stored_codes

    chosen, unknown = {}, []
    for name in names:
        text = str(name).strip()
        category = _category_key(text) if text else None
        if category is not None:
            matched = [i for i in instruments if i.category == category and wanted(i)]
        elif text.upper() in underlyings:
            matched = [i for i in instruments
                       if i.category == "futures" and i.underlying_symbol == text.upper() and wanted(i)]
        elif text in by_code or text.upper() in by_code:
            matched = [by_code.get(text) or by_code[text.upper()]]
        else:
            unknown.append(str(name))
            continue
        if with_derivatives:
            codes = {i.order_book_id for i in matched}
            # A contract named by its code brings all its options, expired ones too: its history is
            # what was asked for. A category or symbol brings those of the window, like itself.
            named = category is None and text.upper() not in underlyings
            matched += [i for i in instruments if i.category == "option" and i.underlying_order_book_id in codes
                        and (named or wanted(i))]
        for inst in matched:
            chosen.setdefault(inst.order_book_id, inst)
    return sorted(chosen.values(), key=lambda i: (i.category, i.order_book_id)), unknown



def unknown_message(unknown, instruments):
    """What to say of names that are no category, underlying symbol or market code: the closest
    known names, as a spelling checker would offer them."""
    import difflib

    from vantorel.sources import vendor

    known = sorted(set(TAG_MAP) | {i.underlying_symbol for i in instruments if i.underlying_symbol} |
                   {i.order_book_id for i in instruments})
    by_upper = {k.upper(): k for k in known}
    hints = []
    for name in unknown:
        typed = str(name).strip().upper()
        # Two letters swapped (M1095 for M1905) first: the commonest slip, and one a plain
        # similarity ranks below other codes that share more of their letters.
        swapped = [k for k in by_upper if len(k) == len(typed) and sorted(k) == sorted(typed)
                   and sum(a != b for a, b in zip(k, typed)) == 2]
        vendors = [k for k in [(vendor.kit_code(typed) or "").upper()] if k in by_upper]  # 600000.SH
        close = vendors + [k for k in swapped + difflib.get_close_matches(typed, list(by_upper), n=3, cutoff=0.6)
                           if k not in vendors]
        close = list(dict.fromkeys(close))
        close = close[:3]
        if close:
            hints.append("{}（是否想用 {}？）".format(name, "、".join(by_upper[c] for c in close)))
        else:
            hints.append(str(name))
    return ("未知的数据类别、品种或合约：{}；请用数据类别（{}）、underlying_symbol（如 M、JD）"
            "或 market_code（如 000001.XSHE、M1905）".format("，".join(hints), ", ".join(TAG_MAP)))



def _end_of(inst, latest):
    return min(latest, inst.de_listed_date) if inst.de_listed_date else latest



def _default_start(client, kind, inst, end):
    return max(inst.listed_date, client.history_start(kind, end))



def _stored_state(bundle_path, path, kind):
    """What resuming a minute-bar or tick file needs (``validation.stored_state``) and the file
    opened for the append that follows (an ``appending.Edit``, None when the file is of an older
    schema), from one open: ({}, None) when missing; StorageError when it cannot be read."""
    if not os.path.exists(path):
        return {}, None
    kept = journal.held_reason(path)
    if kept:
        raise places.StorageError(f"无法读取数据文件 {path}：{kept}", kept, damaged=False)
    try:
        edit = appending.Edit(bundle_path, path, kind, checked=True)
    except FileNotFoundError:
        return {}, None
    except places.StorageError:
        raise
    except (OSError, ValueError) as exc:
        # An errno is what the system refused (permission, I/O); none, a file that is no HDF5 or is cut short.
        damaged = getattr(exc, "errno", None) is None
        raise places.StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}", damaged) from exc
    try:
        version = hdf5.declared_schema(edit.file, path, kind)
        reason, state = validation.state_of(edit.file, path, kind, version)
        if reason is not None:
            raise places.StorageError(f"无法读取数据文件 {path}：{reason}", reason)
        state["last_trading_date"] = reading.last_trading_date(path, kind, state)
    except BaseException:
        edit.abandon()
        raise
    if version < places.SCHEMA_VERSION:
        edit.abandon()  # converted whole first, then opened again by the append
        edit = None
    return state, edit



class Resumer:
    """Finds where a minute-bar or tick task starts, from the stored file's attributes and last rows.

    It runs on the fetch threads, just before each fetch, so that reading the tails of thousands of
    files overlaps with the waits on the data service instead of coming before them. h5py serialises
    its calls, so the files are still read one at a time.
    """

    def __init__(self, client, bundle_path, latest, rebuild):
        self.client, self.bundle_path, self.latest, self.rebuild = client, bundle_path, latest, rebuild
        self.notes = []  # list.append is atomic: the threads share these
        self.converted = []

    def __call__(self, task):
        """Fill in the task's start; False when the stored file is up to date."""
        kind, inst = task.kind, task.inst
        path = places.data_path(self.bundle_path, kind, inst.category, inst.order_book_id)
        try:
            state, task.edit = ({}, None) if self.rebuild else _stored_state(self.bundle_path, path, kind)
        except places.StorageError as exc:
            # Fetching the default history would write over the file: what it holds is kept aside
            # when it is damaged, and left alone, the instrument failed, when it may be sound.
            if not exc.damaged:
                raise VantorelError(f"{exc.format_message()}；该文件未作改动") from None
            try:
                target = places.set_aside(self.bundle_path, kind, inst.category, inst.order_book_id)
            except OSError as move:
                raise VantorelError(f"{path} 无法读取（{exc.reason}），也无法移走：{move.strerror or move}") from None
            self.notes.append(f"{path} 无法读取（{exc.reason}），已移至 {target}，将重新下载该合约的{KIND_LABELS[kind]}")
            state = {}
        last = state.get("last_trading_date", 0)
        task.start = next_trading_date(last) if last else _default_start(self.client, kind, inst, task.end)
        if task.start > task.end:
            discard(task)
            return False
        if last and state["schema_version"] < places.SCHEMA_VERSION:
            appending.migrate(path, kind)  # once: the converted file has the current schema
            self.converted.append(path)
        task.merge = bool(last)
        task.stored_last = state.get("last_datetime")
        return True



def data_tasks(kind, chosen, latest):
    """Minute-bar or tick tasks of the chosen instruments; each is resumed just before its fetch."""
    return [Task(kind, inst, None, _end_of(inst, latest), None) for inst in chosen]



def plan_daybar_tasks(client, bundle_path, instruments, latest, notes, report):
    """Daily-bar tasks, and the last stored daily bar per category: {category: {code: datetime}}.

    A category file that cannot be opened for now (no permission, locked) is left as it is and the
    category fails: writing it from what could be read would drop its history. One that is
    damaged is moved to quarantine/ and its category fetched again from the start.
    """
    bundle_directory = places.bundle_dir(bundle_path)
    stored, blocked = {}, set()
    for category, path in places.iter_daybar_files(bundle_directory):
        try:
            stored[category] = reading.daybar_tails(path)
        except (places.StorageError, OSError) as exc:
            if not isinstance(exc, places.StorageError) or not exc.damaged:
                reason = exc.reason if isinstance(exc, places.StorageError) else (exc.strerror or str(exc))
                report.failed.append(("daybar", category, f"{path} 暂时无法读取（{reason}），该文件未作改动"))
                blocked.add(category)
                continue
            try:
                target = places.set_aside_daybar(bundle_path, category)
            except OSError as move:
                report.failed.append(("daybar", category,
                                      f"{path} 无法读取（{exc.reason}），也无法移走：{move.strerror or move}"))
                blocked.add(category)
                continue
            notes.append(f"{path} 无法读取（{exc.reason}），已移至 {target}，将重新下载该类别的日线")
    tasks, up_to_date = [], 0
    window = client.history_start("daybar", latest)
    for inst in instruments:
        if inst.category in blocked:
            continue
        if inst.de_listed_date and inst.de_listed_date < window and inst.order_book_id not in stored.get(
                inst.category, {}):
            continue  # expired before the history a new bundle starts with: not the base data's to fetch
        end = _end_of(inst, latest)
        last = stored.get(inst.category, {}).get(inst.order_book_id)
        if last:
            start = next_trading_date(last // 1000000)
        else:
            start = max(inst.listed_date, window)
        if start > end:
            up_to_date += 1
            continue
        tasks.append(Task("daybar", inst, start, end, merge=bool(last)))
    return tasks, stored, up_to_date



def migrate_daybar_files(bundle_path):
    """Convert, once, the daily-bar files an older release wrote; returns how many were converted.
    A file that cannot be converted fails its category later."""
    converted = 0
    for _c, path in places.iter_daybar_files(places.bundle_dir(bundle_path)):
        try:
            if appending.schema_of(path) < places.SCHEMA_VERSION:
                appending.migrate(path, "daybar")
                converted += 1
        except (OSError, places.StorageError):
            continue
    return converted



def stored_codes(bundle_path, kind):
    files = places.iter_minbar_files(bundle_path) if kind == "minbar" else places.iter_tick_files(bundle_path)
    return {code for _cat, code, _path in files}
