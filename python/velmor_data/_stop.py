"""How an encode job stops: its errors, and the signals that end it."""

from __future__ import annotations

import signal


class JobError(Exception):
    """The job failed; the message says why. Nothing of the dataset is left."""


class UsageError(JobError):
    """The job was asked for something it cannot do (bad arguments)."""


class Terminated(BaseException):
    """SIGTERM (a scheduler stopping the job): cleaned up like Ctrl-C."""


class Signals:
    """The handler of SIGINT and SIGTERM while the job runs.

    The first signal stops the job where it is (KeyboardInterrupt or
    Terminated); every later one is only recorded, so that removing what the
    job wrote runs to its end. While a step must not be cut in two (a rename
    and its bookkeeping, removing the old dataset) a signal waits for the
    step's end; once the manifest is being committed none stops the job.
    """

    def __init__(self) -> None:
        self.received: list[int] = []
        self._raising = True

    def __call__(self, signum: int, frame: object) -> None:
        self.received.append(signum)
        if self._raising:
            self._raising = False
            raise _stop(signum)

    def hold(self) -> None:
        """From now on no signal stops the job."""
        self._raising = False

    def pause(self) -> bool:
        raising, self._raising = self._raising, False
        return raising

    def resume(self, raising: bool) -> None:
        """Ends a pause: a signal that came during it stops the job now."""
        if raising and self.received:
            raise _stop(self.received[0])
        self._raising = raising


def _stop(signum: int) -> BaseException:
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated()
