"""Long runs: every success and failure path many times over without leaking,
and many threads on shared and separate limiters without a crash, a wrong
result or a deadlock."""

import gc
import os
import sys
import threading
import time

import numpy as np
import pytest
from conftest import run_python
from qx_limiter import QXLimiter, limit

import qx_limiter_tools as tools

# Under AddressSanitizer freed memory sits in quarantine, so the resident
# size says nothing about leaks there; the sanitizer run has its own job.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Exploding:
    def __float__(self):
        raise ZeroDivisionError("from __float__")


class Reentrant:
    """Converting it touches the limiter whose process call converts it."""

    def __init__(self, limiter):
        self.limiter = limiter

    def __array__(self, dtype=None, copy=None):
        repr(self.limiter)
        return np.zeros(4, dtype=np.float32)


def _paths():
    """(call, expected exception or None): every success path and every
    error message of the module at least once, on inputs large enough that
    a leaked block per call would show in the resident size."""
    rng = np.random.default_rng(3)
    good = rng.standard_normal((2, 4096)) * 2
    good32 = good.astype(np.float32)
    bad = good.copy()
    bad[1, 123] = np.nan
    far = good32.copy()
    far[0, 7] = 5e9
    mono = good[0, :1500].tolist()
    huge_view = np.broadcast_to(np.float32(0.5), (2**20, 2**40))
    sample_peak = QXLimiter(48000, -1.0)
    reference = QXLimiter(44100, -1.0, true_peak=True)
    two_phase = QXLimiter(96000, true_peak=True)
    kaiser = QXLimiter(8000, -3.0, 2.0, 5.0, 20.0, True)
    reentrant = Reentrant(sample_peak)
    meter = tools.Meter(48000, 2)
    keep = (
        good,
        good32,
        bad,
        far,
        mono,
        huge_view,
        sample_peak,
        reference,
        two_phase,
        kaiser,
        reentrant,
        meter,
    )

    calls = [
        # Successes: each detection mode, layout and kind of input.
        (lambda: sample_peak.process(good), None),
        (lambda: sample_peak.process(good32.T, 0), None),
        (lambda: reference.process(good32[:, ::3]), None),
        (lambda: two_phase.process(good.astype(">f4")), None),
        (lambda: kaiser.process(good32[0]), None),
        (lambda: kaiser.process(good.astype(np.int16), axis=-1), None),
        (lambda: limit(mono, 22050, true_peak=True), None),
        (lambda: limit(good.T, 48000, axis=0), None),
        (lambda: limit(np.zeros((2, 0), np.float32), 48000), None),
        (lambda: sample_peak.process([]), None),
        (lambda: QXLimiter(12000, -0.0, 1.5, 0.0, 0.0, np.True_), None),
        (
            lambda: (
                repr(kaiser),
                kaiser.sample_rate,
                kaiser.threshold,
                kaiser.threshold_dBFS,
                kaiser.true_peak,
                kaiser.lookahead_samples,
                kaiser.attack_samples,
                kaiser.hold_samples,
                kaiser.release_samples,
            ),
            None,
        ),
        # Every ValueError message.
        (lambda: QXLimiter(0), ValueError),
        (lambda: limit(good, 2**70), ValueError),
        (lambda: limit(good, 1000, true_peak=True), ValueError),
        (lambda: QXLimiter(48000, threshold_dBFS=0.5), ValueError),
        (lambda: QXLimiter(48000, hold_ms=float("inf")), ValueError),
        (lambda: limit(good, 1000, attack_ms=0.49), ValueError),
        (lambda: sample_peak.process(bad), ValueError),
        (lambda: kaiser.process(bad.T, axis=0), ValueError),
        (lambda: limit(far, 32000, true_peak=True), ValueError),
        (lambda: sample_peak.process(good[None]), ValueError),
        (lambda: sample_peak.process(good, axis=2), ValueError),
        (lambda: limit(np.zeros((0, 5)), 48000), ValueError),
        # Conversion and binding errors, tagged or not.
        (lambda: QXLimiter(), TypeError),
        (lambda: sample_peak.process(good, 0, 1), TypeError),
        (lambda: QXLimiter(48000, threshold_dBFS="x"), TypeError),
        (lambda: limit(good, 48000, release_ms=Exploding()), ZeroDivisionError),
        (lambda: limit(good, 48000, true_peak=1), TypeError),
        (lambda: sample_peak.process(good, axis=1.0), TypeError),
        (lambda: sample_peak.process(good, axis=2**70), OverflowError),
        (lambda: QXLimiter(48000, attack_ms=10**400), OverflowError),
        (lambda: sample_peak.process(object()), TypeError),
        (lambda: limit([[1.0, 2.0], [3.0]], 48000), ValueError),
        (lambda: sample_peak.process(reentrant), RuntimeError),
        # The meter: every entry point, layout and error.
        (lambda: tools.measure(good, 48000), None),
        (lambda: tools.measure(good32.T, 44100, axis=0), None),
        (lambda: tools.integrated_loudness(mono, 8000), None),
        (lambda: (meter.add(good32), meter.add(good.T, axis=0), meter.result()), None),
        (lambda: tools.measure(bad, 48000), ValueError),
        (lambda: tools.measure(far, 48000), ValueError),
        (lambda: tools.measure(good, 1000), ValueError),
        (lambda: tools.Meter(48000, 0), ValueError),
        (lambda: meter.add(good32[:1]), ValueError),
        (lambda: tools.Meter(48000, 2**40), MemoryError),
        # Memory that does not exist.
        (lambda: QXLimiter(48000, hold_ms=1e12), MemoryError),
        (lambda: limit(mono, 48000, attack_ms=1e10), MemoryError),
        (lambda: QXLimiter(8000, hold_ms=1e300, true_peak=True), MemoryError),
        (lambda: sample_peak.process(huge_view), MemoryError),
    ]
    return calls, keep


def _run(calls):
    for call, error in calls:
        if error is None:
            call()
            continue
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(f"no {error.__name__}")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_every_path_many_times_leaks_neither_references_nor_memory():
    calls, keep = _paths()
    watched = keep + (QXLimiter, np.ndarray)
    # The interpreter's free lists and caches fill up over the first few
    # thousand rounds; after that the number of live Python objects holds.
    _run(calls * 3000)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    rss = _rss_bytes()
    rounds, growth = 1000, []
    for _ in range(2):
        blocks = sys.getallocatedblocks()
        _run(calls * rounds)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    rss = _rss_bytes() - rss
    print(f"{len(calls) * rounds * 2} calls: resident size {rss:+} bytes, Python objects {growth}")
    assert [sys.getrefcount(obj) for obj in watched] == counts
    # One object leaked per round on one path would be 1000 more in each
    # window; what the caches still take now and then stays well below.
    assert min(growth) < 500
    if not UNDER_ASAN:
        # A block leaked by one path per round would be 64 MB here.
        assert rss < 4 * 2**20


# ---------------------------------------------------------------------------
# Threads


def test_threads_hammering_shared_and_separate_limiters():
    """Several threads at once for a bounded time: two processing on one
    shared limiter, one reading its properties and representation, one with
    limiters of its own and one calling limit. Every call must give exactly
    the serial result or, on the busy shared limiter only, RuntimeError."""
    rng = np.random.default_rng(11)
    blocks = [
        rng.standard_normal((2, 6000)) * 2,
        rng.standard_normal(9000).astype(np.float32) * 3,
        (rng.standard_normal((4000, 3)) * 2, 0),
    ]
    blocks = [b if isinstance(b, tuple) else (b, -1) for b in blocks]
    shared = QXLimiter(44100, -1.0, 2.0, 5.0, 20.0, True)
    settings = dict(sample_rate=16000, threshold_dBFS=-2.0, true_peak=True)
    serial = [shared.process(b, axis) for b, axis in blocks]
    serial_limit = [limit(b, axis=axis, **settings) for b, axis in blocks]
    properties = {
        name: getattr(shared, name)
        for name in (
            "sample_rate",
            "threshold",
            "threshold_dBFS",
            "true_peak",
            "lookahead_samples",
            "attack_samples",
            "hold_samples",
            "release_samples",
        )
    }
    text = repr(shared)

    failures, counts, lock = [], {}, threading.Lock()
    stop = time.monotonic() + 3.0

    def same(got, want):
        return all(a.shape == b.shape and a.tobytes() == b.tobytes() for a, b in zip(got, want))

    def worker(name, step):
        done = busy = i = 0
        try:
            while time.monotonic() < stop:
                try:
                    ok = step(i)
                except RuntimeError:
                    if name == "own" or name == "limit":
                        raise
                    busy += 1
                else:
                    assert ok, f"{name}: wrong result at call {i}"
                    done += 1
                i += 1
        except BaseException as error:  # noqa: BLE001 - reported below
            with lock:
                failures.append(f"{name}: {error!r}")
        with lock:
            counts[name] = (done, busy)

    def process_shared(i):
        b, axis = blocks[i % len(blocks)]
        result = shared.process(b, axis)
        # A pause with the interpreter lock free, in which the limiter is
        # free too: back to back, the lock would pass from one call to the
        # next and no other thread would ever find the limiter unused.
        time.sleep(0.0005)
        return same(result, serial[i % len(blocks)])

    def read_shared(i):
        if i % 2:
            return repr(shared) == text
        return all(getattr(shared, name) == value for name, value in properties.items())

    def own_limiter(i):
        b, axis = blocks[i % len(blocks)]
        mine = QXLimiter(44100, -1.0, 2.0, 5.0, 20.0, True)
        return same(mine.process(b, axis), serial[i % len(blocks)])

    def call_limit(i):
        b, axis = blocks[i % len(blocks)]
        return same(limit(b, axis=axis, **settings), serial_limit[i % len(blocks)])

    threads = [
        threading.Thread(target=worker, args=args)
        for args in (
            ("shared-1", process_shared),
            ("shared-2", process_shared),
            ("reader", read_shared),
            ("own", own_limiter),
            ("limit", call_limit),
        )
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread never finished: deadlock"
    assert not failures, failures
    total = sum(done + busy for done, busy in counts.values())
    print(f"{total} calls: {counts}")
    assert all(done > 0 for done, _ in counts.values()), counts
    # The shared limiter was really contended, and really served.
    assert sum(counts[n][1] for n in ("shared-1", "shared-2", "reader")) > 0, counts
    assert shared.process(*blocks[0]) and repr(shared) == text


@pytest.mark.parametrize(
    "call",
    [
        "qx_limiter.limit(x, 48000, -1.0, true_peak=True)",
        "qx_limiter_tools.measure(x, 48000)",
        "qx_limiter_tools.StreamLimiter(48000).process(x)",
    ],
)
def test_the_interpreter_exits_cleanly_while_a_daemon_thread_is_in_a_call(call):
    """The interpreter ends a daemon thread that takes the lock back after
    shutdown began by unwinding it (pthread_exit); that unwinding passes
    through the module's frames instead of aborting the process."""
    code, out, err = run_python(f"""
        import threading, time
        import numpy as np
        import qx_limiter, qx_limiter_tools
        x = np.random.default_rng(1).standard_normal((2, 480000)).astype(np.float32)
        started = threading.Event()
        def work():
            while True:
                started.set()
                {call}
        threading.Thread(target=work, daemon=True).start()
        started.wait()
        time.sleep(0.05)
        print("main done")
    """)
    assert (code, out, err) == (0, "main done\n", "")
