"""Runs the modules (qx_limiter and qx_limiter_tools' private one) through
every success and failure path under valgrind's
memcheck and fails on any definite leak or memory error whose stack passes
through the module.

    python scripts/memcheck.py [rounds]

Run it with an interpreter that has qx_limiter, NumPy and pytest installed
(it reuses the path list of tests/python/test_stress.py). The interpreter
itself leaves definite leaks behind at exit and NumPy's SIMD code trips a
few uninitialised-value reports; only records that name the module's shared
object count.
"""

import os
import pathlib
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

WORKLOAD = """
import sys
sys.path.insert(0, {tests!r})
import test_stress
calls, keep = test_stress._paths()
test_stress._run(calls * {rounds})
print("memcheck workload:", len(calls) * {rounds}, "calls")
"""

# The first line of a memcheck record that reports a problem.
PROBLEM = re.compile(
    r"definitely lost in loss record|Invalid (read|write|free)|Mismatched free|"
    r"uninitialised|Conditional jump|Source and destination overlap|Syscall param|"
    r"Argument 'size' of function"
)


def records(log):
    """The log's records: runs of lines between empty '==pid==' lines."""
    current = []
    for line in log.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if body.strip():
            current.append(body)
        elif current:
            yield current
            current = []
    if current:
        yield current


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 2
    import qx_limiter

    import qx_limiter_tools._native

    modules = [pathlib.Path(m.__file__).name for m in (qx_limiter, qx_limiter_tools._native)]
    module = " or ".join(modules)
    with tempfile.TemporaryDirectory() as tmp:
        log_path = pathlib.Path(tmp) / "memcheck.log"
        command = [
            "valgrind",
            "--tool=memcheck",
            "--leak-check=full",
            "--show-leak-kinds=definite",
            "--num-callers=50",
            f"--log-file={log_path}",
            sys.executable,
            "-c",
            WORKLOAD.format(tests=str(ROOT / "tests" / "python"), rounds=rounds),
        ]
        # Every allocation through malloc, where memcheck sees it.
        env = dict(os.environ, PYTHONMALLOC="malloc")
        done = subprocess.run(command, env=env, text=True, capture_output=True)
        log = log_path.read_text()
    print(done.stdout, end="")
    if done.returncode != 0:
        print(done.stderr[-4000:], log[-4000:], sep="\n")
        print(f"memcheck: the workload failed with status {done.returncode}")
        return 1

    problems = [r for r in records(log) if PROBLEM.search(r[0])]
    ours = [r for r in problems if any(m in line for line in r for m in modules)]
    summary = [
        line
        for r in records(log)
        for line in r
        if re.match(r"\s*(definitely|indirectly) lost:|ERROR SUMMARY", line)
    ]
    print("\n".join(summary))
    print(f"memcheck: {len(problems)} records in all, {len(ours)} through {module}")
    for record in ours:
        print("\n".join(record), end="\n\n")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
