"""Where check-data checks its files: over the cores of this machine by default, or over a
dask.distributed cluster whose workers see the bundle path, named by ``SCHEDULER_SETTING``.

A worker checks a batch of files under the bundle path's read lock of its own, so an update that
runs meanwhile refuses none of them and each file is read before or after its commit.
"""
import os

from vantorel.errors import VantorelError
from vantorel.progress import progress

WORKERS_SETTING = "VANTOREL_CHECK_WORKERS"
SCHEDULER_SETTING = "VANTOREL_DASK_SCHEDULER"
# A worker takes about 0.1 s to start and 0.2 s more before its first file is checked (measured on a
# shared 2-core machine), while one process checks about 200 MB of minute-bar files a second. This
# process checks files meanwhile, so a second core pays once the check takes well over twice that
# start-up: by default, less than this is checked in the command's own process.
_PROCESSES_FROM_BYTES = 256 << 20
_BATCHES_PER_WORKER = 4


def workers(files=()):
    """How many processes check ``files`` (category, code, path) on this machine:
    ``WORKERS_SETTING``, else one per idle core when they are large enough to repay starting them."""
    text = os.environ.get(WORKERS_SETTING, "").strip()
    if not text:
        size = 0
        for _category, _code, path in files:
            size += os.stat(path).st_size if os.path.exists(path) else 0
            if size >= _PROCESSES_FROM_BYTES:
                return _idle_cores()
        return 1
    try:
        count = int(text, 10)
    except ValueError:
        count = 0
    if not 1 <= count <= 1024:
        raise VantorelError(f"环境变量 {WORKERS_SETTING} 应为 1 到 1024 之间的整数（检查用的进程数），现为 {text!r}；请改正或删除它")
    return count


def _idle_cores():
    """This process's core and every other one the load leaves idle. On a machine whose cores are
    busy already, a second process of the check was measured taking twice the time of one."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else 0.0
    return max(1, min(cores, 1 + int(cores - load)))


def check_files(task, bundle_path, settings, files, label, here):
    """The results of ``task(bundle_path, settings, batch)`` (a list, one item a file) for every
    file of ``files``, in their order, with a progress bar. ``here(batch)`` checks a batch in this
    process, which holds the read lock already."""
    scheduler = os.environ.get(SCHEDULER_SETTING, "").strip()
    count = workers(files) if not scheduler else None
    if not scheduler and (count == 1 or len(files) < 2):
        results = []
        with progress(label, items=files, floor=21) as items:
            for file in items:
                results.extend(here([file]))
        return results
    batches = _batches(files, (count or 8) * _BATCHES_PER_WORKER)
    with progress(label, length=len(files), floor=21) as bar:
        if scheduler:
            done = _on_cluster(scheduler, task, bundle_path, settings, batches, bar)
        else:
            done = _on_cores(count, task, bundle_path, settings, batches, bar, here)
    return [result for batch in done for result in batch]


def _batches(files, count):
    size = max(1, -(-len(files) // count))
    return [files[i:i + size] for i in range(0, len(files), size)]


def _on_cores(count, task, bundle_path, settings, batches, bar, here):
    """``count`` processes, this one among them: it checks batches from the end of the list while
    the workers start and take them from the front, so that their start-up is not waited for and
    a check too small to repay it takes about what it takes here alone."""
    import concurrent.futures
    import multiprocessing

    # Not forked: a fork of a process that holds HDF5 and threads can hang in the child.
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        # Workers forked from a server that imported the checks once start in milliseconds.
        context.set_forkserver_preload([task.__module__])
    else:
        context = multiprocessing.get_context("spawn")
    done = [None] * len(batches)
    waiting = list(range(len(batches)))
    running = {}

    def finish(futures):
        for future in futures:
            i = running.pop(future)
            done[i] = future.result()
            bar.update(len(batches[i]))

    with concurrent.futures.ProcessPoolExecutor(min(count - 1, len(batches)), mp_context=context) as pool:
        while waiting or running:
            # Each worker holds one batch in hand and one queued; what is not handed out is this process's.
            while waiting and len(running) < 2 * (count - 1):
                i = waiting.pop(0)
                running[pool.submit(task, bundle_path, settings, batches[i])] = i
            if waiting:
                i = waiting.pop()
                done[i] = here(batches[i])
                bar.update(len(batches[i]))
                finish([future for future in running if future.done()])
            else:
                finish(concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED).done)
    return done


def _on_cluster(scheduler, task, bundle_path, settings, batches, bar):
    try:
        from distributed import Client, as_completed
    except ImportError:
        raise VantorelError(f"{SCHEDULER_SETTING} 需要 dask.distributed：pip install 'vantorel[dask]'") from None
    try:
        client = Client(scheduler, timeout=30)
    except (OSError, TimeoutError) as exc:
        raise VantorelError(f"无法连接 {SCHEDULER_SETTING} 指定的 dask 调度器 {scheduler}：{exc}") from None
    with client:
        futures = [client.submit(task, bundle_path, settings, batch, pure=False) for batch in batches]
        where = {future.key: i for i, future in enumerate(futures)}
        done = [None] * len(batches)
        for future in as_completed(futures):
            i = where[future.key]
            done[i] = future.result()
            bar.update(len(batches[i]))
    return done
