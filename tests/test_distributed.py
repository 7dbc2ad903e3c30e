"""A search on processes and on a Dask cluster finds what it finds on
threads, bit for bit; it survives a killed worker and never hangs on a
cluster that goes away.  Clusters listen on 127.0.0.1 only, and every test
is bounded: a hang dumps the stacks and ends the run."""

import contextlib
import faulthandler
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
import warnings
from concurrent.futures import Executor, Future

import numpy as np
import pytest

import vant
from vant import _tasks

from test_search import small_data

# Every server a test starts, the clusters' HTTP endpoints included, listens on the loopback only.
LOOPBACK = dict(dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0")
SEARCH = dict(seed=7, rounds=2, population=8, top=5, time_limit=120.0)


@pytest.fixture(autouse=True)
def bounded():
    faulthandler.dump_traceback_later(150, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def found(models):
    return [(m.formula(), m.params, m.score) for m in models]


@pytest.fixture(scope="module")
def on_threads():
    return found(vant.search(small_data(), "y", **SEARCH))


class PicklingExecutor(Executor):
    """Runs each task at once in this process, after its arguments and its
    result have crossed pickle as they would cross a process boundary;
    records the bytes each task carries."""

    def __init__(self):
        self.task_bytes = []

    def submit(self, function, *args):
        sent = pickle.dumps((function, args))
        self.task_bytes.append(len(sent))
        function, args = pickle.loads(sent)
        future = Future()
        future.set_result(pickle.loads(pickle.dumps(function(*args))))
        return future


def test_tasks_cross_a_process_boundary_carrying_no_data(on_threads):
    executor = PicklingExecutor()
    assert found(vant.search(small_data(), "y", executor=executor, **SEARCH)) == on_threads
    # Enough rows that candidates are compared on a subsample of the held-out
    # rows and the best validated on all of them, in tasks too.
    rng = np.random.default_rng(0)
    large = {"x": rng.uniform(-1, 1, 24000), "z": rng.uniform(-1, 1, 24000)}
    large["y"] = np.exp(large["x"]) + large["z"] * rng.uniform(0.9, 1.1, 24000)
    executor = PicklingExecutor()
    arguments = dict(seed=1, rounds=1, population=4, top=3)
    assert found(vant.search(large, "y", executor=executor, **arguments)) == \
        found(vant.search(large, "y", **arguments))
    assert max(executor.task_bytes) < 4000   # the 24000 rows are 580 kB
    assert not _tasks._loaded                # the search's own process let the data go


BLAS_THREADS = """
import sys
from test_search import small_data
import vant
print(repr([(m.formula(), m.params) for m in vant.search(small_data(), "y", seed=7, rounds=4, population=16)]))
"""


def test_the_same_bits_whatever_the_blas_threads():
    """A Dask worker runs BLAS on one thread; the polish's sums and solves
    must not depend on how many BLAS splits them over."""
    from pathlib import Path
    path = os.pathsep.join([str(Path(vant.__file__).parent.parent), str(Path(__file__).parent)])
    runs = {subprocess.run([sys.executable, "-c", BLAS_THREADS], capture_output=True, text=True, timeout=120,
                           env=dict(os.environ, OPENBLAS_NUM_THREADS=str(threads), PYTHONPATH=path)).stdout
            for threads in (1, 2)}
    assert len(runs) == 1 and "[(" in runs.pop()


def test_same_models_on_a_process_pool(on_threads):
    assert found(vant.search(small_data(), "y", executor="processes", n_jobs=2, **SEARCH)) == on_threads


@pytest.fixture(scope="module")
def dask_cluster():
    """Two worker processes (their string hashes differ from this
    process's), each with one thread."""
    distributed = pytest.importorskip("distributed")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # dask's notes on the machine's size
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           timeout=60, **LOOPBACK)
    client = distributed.Client(cluster, timeout=60)
    yield client
    client.close()
    cluster.close()


def in_process_cluster(workers):
    """Workers in this process, reached through memory, not the network."""
    distributed = pytest.importorskip("distributed")
    return distributed.LocalCluster(n_workers=workers, processes=False, **LOOPBACK)


@pytest.mark.parametrize("workers", [1, 2])
def test_same_models_on_a_dask_cluster(dask_cluster, on_threads, workers):
    """On 2 worker processes through the scheduler's address; on 1
    in-process worker through a client's concurrent.futures view."""
    executor = dask_cluster.scheduler.address
    if workers == 1:
        distributed = pytest.importorskip("distributed")
        cluster = in_process_cluster(1)
        client = distributed.Client(cluster)
        executor = client.get_executor()
    try:
        assert found(vant.search(small_data(), "y", executor=executor, **SEARCH)) == on_threads
    finally:
        if workers == 1:
            client.close()
            cluster.close()


def test_estimators_and_the_command_train_on_a_cluster(dask_cluster, tmp_path, capsys):
    pandas = pytest.importorskip("pandas")
    from vant._cli import main
    data = small_data()
    X = np.column_stack([data["x"], data["z"]])
    fits = [vant.SymbolicRegressor(rounds=2, population=8, random_state=3, executor=executor).fit(X, data["y"])
            for executor in (None, dask_cluster.scheduler.address)]
    assert fits[0].best_model_.params == fits[1].best_model_.params
    table = tmp_path / "data.csv"
    pandas.DataFrame({"x": data["x"], "z": data["z"], "y": data["y"]}).to_csv(table, index=False)
    printed = []
    for extra in ([], ["--scheduler", dask_cluster.scheduler.address]):
        assert main([str(table), "--target", "y", "--rounds", "2", "--population", "8", "--seed", "3", *extra]) == 0
        printed.append(capsys.readouterr().out)
    assert printed[0] == printed[1]


@pytest.mark.parametrize("victims", [1, 2])
def test_killed_workers_lose_nothing(dask_cluster, victims):
    """One killed worker leaves the other the data; two take every copy of
    it with them, and the search sends it again to their replacements."""
    client = dask_cluster
    arguments = dict(SEARCH, rounds=4, population=16)
    expected = found(vant.search(small_data(), "y", **arguments))
    pids = client.run(os.getpid)
    killed = []

    def kill_a_busy_worker():
        end = time.monotonic() + 30
        while time.monotonic() < end and not killed:
            busy = [worker for worker, tasks in client.processing().items() if tasks and worker in pids]
            if busy:
                killed.extend((busy + [worker for worker in pids if worker not in busy])[:victims])
                for worker in killed:
                    os.kill(pids[worker], signal.SIGKILL)
            time.sleep(0.02)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    try:
        assert found(vant.search(small_data(), "y", executor=client, **arguments)) == expected
    finally:
        killer.join()
    assert len(killed) == victims, "no worker was busy long enough to be killed"


def test_the_time_limit_holds_on_a_cluster(dask_cluster):
    started = time.monotonic()
    models = vant.search(small_data(), "y", executor=dask_cluster, seed=7, rounds=10**6, time_limit=1.0)
    assert models and time.monotonic() - started < 4.0


@pytest.mark.parametrize("loss", ["scheduler", "workers"])
def test_a_cluster_that_goes_away_ends_the_search_soon(monkeypatch, loss):
    distributed = pytest.importorskip("distributed")
    from vant import _dask
    monkeypatch.setattr(_dask, "NO_WORKERS_SECONDS", 1.0)
    cluster = in_process_cluster(1)
    client = distributed.Client(cluster, timeout=5)
    closing = threading.Timer(1.0, cluster.close if loss == "scheduler" else lambda: cluster.scale(0))
    closing.start()
    started = time.monotonic()
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            models = vant.search(small_data(), "y", executor=client, seed=7, rounds=1000, population=8)
        assert models and any("Dask cluster" in str(w.message) for w in caught)
    except ConnectionError as error:
        assert "Dask cluster" in str(error)
    finally:
        closing.join()
        client.close()
        cluster.close()
    assert time.monotonic() - started < 15


def test_a_cluster_without_workers_is_refused_within_the_time_limit():
    distributed = pytest.importorskip("distributed")
    with in_process_cluster(0) as cluster, \
            distributed.Client(cluster) as client:
        started = time.monotonic()
        with pytest.raises(ConnectionError, match="no worker"):
            vant.search(small_data(), "y", executor=client, time_limit=2.0)
        assert time.monotonic() - started < 6


def test_an_unreachable_scheduler_is_refused_within_the_time_limit():
    pytest.importorskip("distributed")
    started = time.monotonic()
    with pytest.raises(ConnectionError, match="could not connect to the Dask scheduler at 'tcp://127.0.0.1:9'"):
        vant.search(small_data(), "y", executor="tcp://127.0.0.1:9", time_limit=1.0)
    assert time.monotonic() - started < 5


def test_dask_is_optional(monkeypatch):
    code = "import sys, vant; sys.exit(any(m.split('.')[0] in ('dask', 'distributed') for m in sys.modules))"
    assert subprocess.run([sys.executable, "-c", code], timeout=60).returncode == 0
    monkeypatch.setitem(sys.modules, "distributed", None)
    monkeypatch.delitem(sys.modules, "vant._dask", raising=False)
    with pytest.raises(ImportError, match=r"pip install 'vant\[dask\]'"):
        vant.search(small_data(), "y", executor="tcp://127.0.0.1:8786")


@contextlib.contextmanager
def local_backend(workers, batched):
    """A thread backend that sends each job alone, or (as a Dask backend
    does) in batches of two."""
    from concurrent.futures import ThreadPoolExecutor
    from vant._executors import LocalBackend

    backend = LocalBackend(ThreadPoolExecutor(max_workers=workers), owned=True)
    backend.share(None)
    if batched:
        backend.batch_size = lambda jobs: 2
    try:
        yield backend
    finally:
        backend.close()


@pytest.mark.parametrize("batched", [False, True])
def test_the_longest_jobs_go_first_and_results_keep_the_order_of_the_jobs(batched):
    """Jobs go longest first, those `more` adds after them (on a backend that
    sends batches, with them), and the results come in the order given."""
    from vant._executors import run_tasks

    ran = []
    with local_backend(1, batched) as backend:
        results = run_tasks(backend, lambda handle, job: ran.append(job) or job * 10, [(1,), (2,), (3,), (4,)],
                            lambda: False, lambda result: None, costs=[2, 9, 2, 5],
                            more=lambda: ([(5,), (6,)], [1, 3]))
    assert ran == ([2, 4, 6, 1, 3, 5] if batched else [2, 4, 1, 3, 6, 5])
    assert results == [10, 20, 30, 40, 50, 60]


@pytest.mark.parametrize("batched", [False, True])
def test_follow_up_jobs_start_as_the_results_that_call_for_them_arrive(batched):
    """Each odd job calls for one more; their results come back by key,
    whatever the order the workers took them in."""
    from vant._executors import run_with_follow_ups

    ran = []
    with local_backend(2, batched) as backend:
        first, later = run_with_follow_ups(
            backend, lambda handle, job: ran.append(job) or -job, [(1,), (2,), (3,), (4,)], lambda: False,
            lambda result: None, [1, 1, 1, 1],
            lambda index, result: [(index, (100 + index,), 1), (index + 10, (200 + index,), 5)] if result % 2 else [])
    assert first == [-1, -2, -3, -4]
    # the longer follow-up of each is sent first: keys still meet their own results
    assert later == {0: -100, 2: -102, 10: -200, 12: -202}
    assert sorted(ran) == [1, 2, 3, 4, 100, 102, 200, 202]
