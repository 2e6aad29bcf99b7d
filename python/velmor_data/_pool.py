"""Where the encode job's workers run: the Pool a job talks to, and the
worker processes of this machine (the Ray actors are in _ray)."""

from __future__ import annotations

import os
import threading
import time
from typing import Any, Protocol

from . import _worker
from ._stop import JobError
from ._worker import Message, Reply


class Pool(Protocol):
    """Workers numbered 0 to size - 1. Each handles its messages in the order
    sent; replies() gives the replies that came within timeout seconds."""

    size: int

    def send(self, worker: int, message: Message) -> None: ...
    def replies(self, timeout: float) -> list[tuple[int, Reply]]: ...
    def close(self, abort: bool = False) -> None: ...


class LocalPool:
    """Worker processes on this machine, one pipe each.

    Workers are forked when this process has no other thread, so they start
    at once with everything imported; otherwise (a host program with threads
    of its own) they are spawned. Each pipe has a sender thread: a chunk's
    text is larger than a pipe's buffer, and the job must not wait for a
    busy worker to read it while the other workers need their next chunk or
    their write orders.
    """

    def __init__(self, size: int) -> None:
        import multiprocessing
        import queue
        from multiprocessing.connection import Connection, wait

        self._wait = wait
        method = _start_method()
        context = multiprocessing.get_context(method)
        self.size = size
        self._connections: list[Connection] = []
        self._processes: list[Any] = []
        self._outboxes: list[queue.SimpleQueue[Any]] = []
        self._senders: list[threading.Thread] = []
        self._send_failed: list[bool] = []
        try:
            for number in range(size):
                mine, theirs = context.Pipe()
                # A forked worker holds copies of this process's pipe ends; it
                # closes them, so that each worker sees its pipe close when
                # the job ends, however it ends.
                others = (*self._connections, mine) if method == "fork" else ()
                process = context.Process(target=_worker.serve, args=(theirs, others),
                                          name=f"velmor-encode-{number}", daemon=True)
                process.start()
                theirs.close()
                self._connections.append(mine)
                self._processes.append(process)
                self._outboxes.append(queue.SimpleQueue())
                self._send_failed.append(False)
            # Threads only once every worker is started: a fork copies none.
            for number in range(size):
                sender = threading.Thread(target=self._send_loop, args=(number,), daemon=True,
                                          name=f"velmor-send-{number}")
                sender.start()
                self._senders.append(sender)
        except BaseException:
            self.close(abort=True)
            raise

    def _send_loop(self, worker: int) -> None:
        outbox = self._outboxes[worker]
        connection = self._connections[worker]
        while (message := outbox.get()) is not _STOP:
            try:
                connection.send(message)
            except OSError:
                # The worker is gone; replies() reports how it ended.
                self._send_failed[worker] = True
                return

    def send(self, worker: int, message: Message) -> None:
        if self._send_failed[worker]:
            raise JobError(self._death(worker))
        self._outboxes[worker].put(message)

    def replies(self, timeout: float) -> list[tuple[int, Reply]]:
        found: list[tuple[int, Reply]] = []
        numbers = {id(connection): worker for worker, connection in enumerate(self._connections)}
        for ready in self._wait(self._connections, timeout):
            worker = numbers[id(ready)]
            try:
                found.append((worker, self._connections[worker].recv()))
            except (EOFError, OSError):
                raise JobError(self._death(worker)) from None
        return found

    def _death(self, worker: int) -> str:
        process = self._processes[worker]
        process.join(timeout=5)
        code = process.exitcode
        how = f"was killed by signal {-code}" if code is not None and code < 0 else f"exited with status {code}"
        return f"worker process {worker} {how} before finishing its work"

    def close(self, abort: bool = False) -> None:
        """Ends the workers: at once when aborting (killed, so that even a
        stopped worker goes), else by asking them and, after a few seconds,
        killing those that have not ended."""
        if abort:
            for process in self._processes:
                process.kill()
        for outbox in self._outboxes:
            if not abort:
                outbox.put(None)  # the worker's sign to stop
            outbox.put(_STOP)
        # A sender blocked on a stopped worker's full pipe is freed when the
        # worker dies; neither wait is longer than a few seconds together.
        deadline = time.monotonic() + 5
        for process in self._processes:
            process.join(timeout=max(0.0, deadline - time.monotonic()))
        for process in self._processes:
            if process.is_alive():
                process.kill()
                process.join(timeout=5)
        for sender in self._senders:
            sender.join(timeout=max(0.1, deadline - time.monotonic()))
        for connection in self._connections:
            connection.close()
        self._connections, self._processes, self._outboxes, self._senders = [], [], [], []


_STOP = object()


def _start_method() -> str:
    """'fork' when this process runs a single thread, else 'spawn'.

    Every thread counts, not only Python's; where they cannot be counted
    (no /proc), the workers are spawned.
    """
    try:
        return "fork" if len(os.listdir("/proc/self/task")) == 1 else "spawn"
    except OSError:
        return "spawn"


def default_workers() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return max(1, count or 1)
