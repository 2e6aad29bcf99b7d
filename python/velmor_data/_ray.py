"""The encode job's workers as Ray actors, on a cluster or a Ray started here.

Each actor is a ``ChunkEncoder`` like a local worker process: it receives a
chunk's text through Ray's object store and writes the encoded positions into
the shard files itself, so the output directory must be on a file system that
every node mounts at the same path.
"""

from __future__ import annotations

import os
import signal
import threading
from typing import Any

from ._stop import JobError, Terminated, UsageError
from ._worker import Message, Reply


def _import_ray() -> Any:
    try:
        import ray
    except ImportError:
        raise UsageError("--ray needs Ray, the optional extra 'ray': pip install 'velmor_chess[ray]'") from None
    return ray


class RayPool:
    def __init__(self, address: str, size: int | None) -> None:
        ray = _import_ray()
        self._ray = ray
        # No usage reports from a data tool unless the user asks Ray for them.
        os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
        options: dict[str, Any] = {"logging_level": "ERROR", "log_to_driver": False}
        # Ray sets a SIGTERM handler of its own that exits at once; the job's
        # (first signal stops it, its cleanup runs to the end) stays.
        handlers = {signum: signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM)}
        try:
            if address == "local":
                ray.init(num_cpus=size or None, include_dashboard=False, **options)
            else:
                ray.init(address=address, **options)
        except (ConnectionError, ValueError, RuntimeError) as error:
            raise JobError(f"cannot reach a Ray cluster at {address!r}: {error}") from None
        finally:
            if threading.current_thread() is threading.main_thread():
                for signum, handler in handlers.items():
                    if handler is not None:
                        signal.signal(signum, handler)
        try:
            cpus = int(ray.cluster_resources().get("CPU", 1))
            self.size = size or max(1, cpus)
            from ._worker import ChunkEncoder

            actor = ray.remote(num_cpus=1)(ChunkEncoder)
            self._actors = [actor.remote() for _ in range(self.size)]
        except BaseException:
            ray.shutdown()
            raise
        self._pending: dict[Any, int] = {}

    def send(self, worker: int, message: Message) -> None:
        self._pending[_stopping_as_itself(self._actors[worker].handle.remote, message)] = worker

    def replies(self, timeout: float) -> list[tuple[int, Reply]]:
        if not self._pending:
            return []
        ready, rest = _stopping_as_itself(self._ray.wait, list(self._pending), num_returns=1, timeout=timeout)
        if ready and rest:
            ready += _stopping_as_itself(self._ray.wait, rest, num_returns=len(rest), timeout=0)[0]
        found = []
        for ref in ready:
            worker = self._pending.pop(ref)
            try:
                found.append((worker, _stopping_as_itself(self._ray.get, ref)))
            except self._ray.exceptions.RayError as error:
                raise JobError(f"Ray worker {worker} failed: {error}") from None
        return found

    def close(self, abort: bool = False) -> None:
        for actor in getattr(self, "_actors", []):
            try:
                self._ray.kill(actor)
            except Exception:
                pass
        self._actors = []
        self._ray.shutdown()


def _stopping_as_itself(call: Any, *args: Any, **kwargs: Any) -> Any:
    """call(*args, **kwargs), a signal's stop raised as itself. Ray's native
    calls look for signals while they wait, and what the job's handler raises
    there (KeyboardInterrupt, Terminated) comes out of them as the cause of
    a SystemError, which the job would take for a failure."""
    try:
        return call(*args, **kwargs)
    except SystemError as error:
        stop = error.__cause__ or error.__context__
        if isinstance(stop, (KeyboardInterrupt, Terminated)):
            raise stop from None
        raise
