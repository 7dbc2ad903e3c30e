"""Search tasks on a Dask cluster (imported only when a search is given a
Dask client or a scheduler address, so that `import vant` never imports
dask).

The problem is scattered to every worker once (workers that join later
fetch it from their peers); each task then carries only its key.  Dask
reruns the tasks of a worker that dies on the others; should every copy
of the problem die with its workers, the tasks that needed it are
cancelled, and the search scatters it again and resends them.  A
scheduler that closes or drops the connection cancels every task at once,
which the search hears at its next result; a cluster left without
workers is told apart from a busy one by asking the scheduler now and
then.
"""

from __future__ import annotations

import time
from concurrent.futures import CancelledError

from distributed import Client

from ._executors import ClusterLost, Resubmit

# A cluster may stand without workers for a while (an adaptive one scaling
# up, a batch queue starting them); this long without any ends the search.
NO_WORKERS_SECONDS = 60.0
_ASK_EVERY_SECONDS = 2.0
_CONNECT_SECONDS = 5.0
# Jobs go out in batches of about this many per worker thread: a task's
# round trip through the scheduler (milliseconds) is as long as a short
# training, and a few batches a thread still balance the load.
_BATCHES_PER_THREAD = 4
# Times the problem may be scattered again after every copy was lost, and
# tasks sent again for any other loss, before the search gives up.
_MOST_RESHARES = 5
_MOST_RESENDS = 1000
# A finished task's result is a few kilobytes; one that has not come in this
# long was lost with the worker that held it (the client would wait for the
# task to run again, on workers that may never come).
_GATHER_SECONDS = 5.0


class DaskBackend:
    def __init__(self, client: Client, owned: bool, deadline: float | None):
        self.client = client
        self.owned = owned
        self.deadline = deadline
        self.address = client.scheduler.address if client.scheduler is not None else "(unknown)"
        self.handle = None    # the scattered problem's future
        self._problem = None
        self._reshared = self._resent = 0
        self._asked = 0.0
        self._no_workers_since: float | None = None

    @classmethod
    def open(cls, executor, deadline: float | None) -> DaskBackend:
        if isinstance(executor, str):
            timeout = _CONNECT_SECONDS if deadline is None else min(_CONNECT_SECONDS, max(1.0, _left(deadline)))
            try:
                client = Client(executor, timeout=timeout, set_as_default=False)
            except (OSError, TimeoutError) as error:
                raise ConnectionError(f"could not connect to the Dask scheduler at {executor!r}: {error}") from None
            return cls(client, owned=True, deadline=deadline)
        client = executor if type(executor).__name__ == "Client" else executor._client
        if client.status != "running":
            raise ValueError(f"the Dask client given as executor is {client.status}, not running")
        return cls(client, owned=False, deadline=deadline)

    def _lost(self, what: str) -> ClusterLost:
        return ClusterLost(f"the Dask cluster at {self.address} {what}")

    def share(self, problem) -> None:
        self._problem = problem
        # Scattering waits for a worker to take the data: as long as a cluster
        # may stand without workers, and no longer than the time limit.
        timeout = NO_WORKERS_SECONDS if self.deadline is None else max(1.0, _left(self.deadline))
        try:
            self.handle = self.client.scatter(problem, broadcast=True, hash=False, timeout=timeout)
        except TimeoutError:
            raise self._lost(f"has had no worker to take the data for {timeout:.0f} s") from None
        except (OSError, CancelledError, RuntimeError) as error:
            # (a client whose connections closed under it raises RuntimeError)
            raise self._lost(f"went away while the data were sent to it: {error!r}") from None

    def submit(self, function, *args):
        if self.client.status != "running":
            raise self._lost(f"went away ({self.client.status})")
        return self.client.submit(function, self.handle, *args, pure=False)

    def result(self, future):
        """The task's result; Resubmit when it was lost with the problem,
        ClusterLost when the scheduler went away."""
        try:
            if not future.cancelled():
                return future.result(timeout=_GATHER_SECONDS)
        except CancelledError:
            pass
        except TimeoutError:
            pass   # the result was lost with its worker after the task finished; the task runs again
        except OSError:
            if self.client.status == "running":
                raise   # the task's own error
        if self.client.status != "running":
            raise self._lost("went away: the connection to its scheduler was lost and its tasks cancelled")
        if self.handle.status != "finished":
            self._reshared += 1
            if self._reshared > _MOST_RESHARES:
                raise self._lost("keeps losing every worker that holds the search's data")
            self.share(self._problem)
        self._resent += 1
        if self._resent > _MOST_RESENDS:
            raise self._lost(f"lost {self._resent} tasks")
        raise Resubmit

    def cancel(self, futures) -> list:
        """Cancel everything, running tasks too: their results would come
        too late."""
        if futures and self.client.status == "running":
            try:
                self.client.cancel(futures)
            except (OSError, RuntimeError):
                pass
        return []

    def batch_size(self, jobs: int) -> int:
        try:
            threads = sum(self.client.nthreads().values())
        except (OSError, RuntimeError):
            return 1   # the cluster is going: check() or result() will say so
        return max(1, -(-jobs // (_BATCHES_PER_THREAD * max(1, threads))))

    def check(self) -> None:
        """Raise ClusterLost when the scheduler went away, or the cluster has
        had no workers for NO_WORKERS_SECONDS (at once past the time limit)."""
        if self.client.status != "running":
            raise self._lost(f"went away ({self.client.status})")
        now = time.monotonic()
        if now - self._asked < _ASK_EVERY_SECONDS:
            return
        self._asked = now
        try:
            workers = len(self.client.nthreads())
        except (OSError, RuntimeError) as error:
            raise self._lost(f"stopped answering: {error}") from None
        if workers:
            self._no_workers_since = None
            return
        if self._no_workers_since is None:
            self._no_workers_since = now
        past_limit = self.deadline is not None and now >= self.deadline
        if past_limit or now - self._no_workers_since >= NO_WORKERS_SECONDS:
            raise self._lost(f"has had no workers for {now - self._no_workers_since:.0f} s")

    def close(self) -> None:
        if self.handle is not None:
            self.cancel([self.handle])
            self.handle = None
        if self.owned:
            self.client.close()


def _left(deadline: float) -> float:
    return deadline - time.monotonic()
