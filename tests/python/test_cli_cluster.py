"""qx-limiter on a Dask cluster: a local cluster of two worker processes on
127.0.0.1, started here, and the command in a process of its own, in
another working folder than the workers'. What it writes and prints is
compared with the same command on one machine; workers are killed and runs
stopped mid-file.

Needs the extra qx_limiter[cluster]; skipped where it is not installed.
"""

import json
import logging
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")
distributed = pytest.importorskip("distributed")

from cli_support import as_another_machine, files_in, slow_writing, song, write  # noqa: E402

TESTS = Path(__file__).resolve().parent
# What archives are delivered with: loudness, a verified true-peak ceiling,
# 16-bit dithered outputs and the report.
DELIVERY = ["--preset", "streaming", "--subtype", "PCM_16", "--report", "report.json"]
INPUTS = ["in/a.wav", "in/b.flac", "in/c.wav", "in/d.wav"]
UMASK = 0o027  # the workers' is the test's own (022, usually)


def make_inputs(folder):
    (folder / "in").mkdir(parents=True)
    write(folder / "in/a.wav", song(48000, 4, seed=1), 48000, "FLOAT")
    write(folder / "in/b.flac", song(44100, 3, channels=1, seed=2), 44100, "PCM_24")
    broken = song(48000, 1, seed=3)
    broken[4000, 1] = np.nan
    write(folder / "in/c.wav", broken, 48000, "FLOAT")
    write(folder / "in/d.wav", song(48000, 4, level_db=-30, seed=4), 48000, "PCM_16")


def qx_limiter(folder, *args, slow=None, **popen):
    """The command, run in `folder` under UMASK; `slow` delays every chunk
    written (in this process, and in the worker processes it forks)."""
    code = "import sys\nfrom qx_limiter_cli import main\n"
    if slow is not None:
        code += f"from cli_support import slow_writing\nslow_writing({slow})\n"
    code += "sys.exit(main(sys.argv[1:]))"
    environment = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(filter(None, [str(TESTS), os.environ.get("PYTHONPATH")])),
    )
    return subprocess.Popen(
        [sys.executable, "-c", code, *map(str, args)],
        cwd=folder,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=environment,
        preexec_fn=lambda: os.umask(UMASK),
        **popen,
    )


def finished(process):
    out, err = process.communicate(timeout=120)
    return process.returncode, out, err


def untimed(out):
    """The lines printed, without the seconds each file and the run took."""
    return re.sub(r"(, | in )\d+\.\d\d s$", "", out, flags=re.MULTILINE)


def written(folder):
    """The report, and every file under `folder`'s out/ with its bytes and
    permissions."""
    return (folder / "report.json").read_text(), {
        name: ((folder / "out" / name).read_bytes(), (folder / "out" / name).stat().st_mode & 0o777)
        for name in files_in(folder / "out")
    }


@pytest.fixture(scope="module")
def cluster():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            silence_logs=logging.CRITICAL,
        ) as cluster,
        distributed.Client(cluster, set_as_default=False) as client,
    ):
        yield client


@pytest.fixture
def slow_workers(cluster):
    """The cluster's workers write slowly, long enough to be caught mid-file."""
    cluster.run(slow_writing, 0.01)
    yield cluster
    cluster.run(slow_writing, 0.0, 1 << 16)
    cluster.run(as_another_machine, False)


@pytest.fixture(scope="module")
def one_machine(tmp_path_factory):
    """The delivery on one machine: its folder, status, lines and files."""
    folder = tmp_path_factory.mktemp("one-machine")
    make_inputs(folder)
    code, out, err = finished(qx_limiter(folder, *INPUTS, "--output-dir", "out", *DELIVERY))
    assert code == 1 and "3 files written, 1 failed" in out, err
    return folder, code, untimed(out), err, written(folder)


def test_a_cluster_run_writes_and_tells_what_one_machine_does(tmp_path, cluster, one_machine):
    _, code, out, err, files = one_machine
    make_inputs(tmp_path)
    # The paths given are relative to a folder that the workers are not in.
    assert str(tmp_path) not in cluster.run(os.getcwd).values()
    run = qx_limiter(
        tmp_path,
        *INPUTS,
        "--output-dir",
        "out",
        *DELIVERY,
        "--scheduler",
        cluster.scheduler.address,
    )
    status, lines, errors = finished(run)
    assert (status, untimed(lines), errors) == (code, out, err)
    assert written(tmp_path) == files
    assert {mode for _, mode in files[1].values()} == {0o666 & ~UMASK}


def test_a_worker_killed_mid_file_leaves_each_file_delivered_once(
    tmp_path, slow_workers, one_machine
):
    _, code, out, err, files = one_machine
    make_inputs(tmp_path)
    # As on machines of their own: the file of a worker killed mid-way is
    # not one that another worker can tell to be of a dead process.
    slow_workers.run(as_another_machine)
    run = qx_limiter(
        tmp_path,
        *INPUTS,
        "--output-dir",
        "out",
        *DELIVERY,
        "--scheduler",
        slow_workers.scheduler.address,
    )
    temporary = first_temporary(tmp_path, run)
    # Named for the process that writes it: a worker's.
    pid = int(temporary.name[: -len(".qx-limiter-part")].rsplit(".", 1)[1])
    assert pid in slow_workers.run(os.getpid).values()
    os.kill(pid, signal.SIGKILL)
    status, lines, errors = finished(run)
    assert (status, untimed(lines), errors) == (code, out, err)
    # No temporary file among them, and each file once in the report.
    assert written(tmp_path) == files
    assert [record["input"] for record in json.loads(files[0])] == INPUTS


@pytest.mark.skipif(not hasattr(signal, "SIGHUP"), reason="needs POSIX signals")
@pytest.mark.parametrize(
    "where, stop, words",
    [
        # Only the command gets the signal; the workers are another machine's.
        ("scheduler", "SIGTERM", "stopped by SIGTERM"),
        # Ctrl-C reaches the command and the workers it started, all of its group.
        ("cluster-workers", "SIGINT", "interrupted"),
    ],
)
def test_a_stop_calls_off_the_files_on_every_worker(tmp_path, slow_workers, where, stop, words):
    make_inputs(tmp_path)
    cluster = (
        ["--scheduler", slow_workers.scheduler.address]
        if where == "scheduler"
        else ["--cluster-workers", "2"]
    )
    run = qx_limiter(
        tmp_path,
        *INPUTS,
        "--output-dir",
        "out",
        *DELIVERY,
        *cluster,
        slow=0.01,
        start_new_session=True,
    )
    first_temporary(tmp_path, run)
    number = getattr(signal, stop)
    if stop == "SIGINT":
        os.killpg(run.pid, number)
    else:
        run.send_signal(number)
    status, out, err = finished(run)
    assert status == 128 + number, err
    assert err == (
        f"qx-limiter: error: {words}; the files not finished were not written, nor the report\n"
    )
    assert out.splitlines()[-1].startswith("0 files written, 0 failed, 4 not done, in ")
    # Nothing is left, nor written later by a task that went on.
    assert files_in(tmp_path / "out") == []
    time.sleep(1.0)
    assert files_in(tmp_path / "out") == []


def first_temporary(folder, run):
    """The first temporary file that the run makes in out/."""
    deadline = time.monotonic() + 60
    while run.poll() is None and time.monotonic() < deadline:
        found = list((folder / "out").glob(".*.qx-limiter-part"))
        if found:
            return found[0]
        time.sleep(0.005)
    pytest.fail(f"no temporary file was seen: {finished(run)}")


def can_hide_folders():
    """Whether a process can have a mount namespace of its own, with a
    folder hidden under an empty file system (as root)."""
    return (
        shutil.which("unshare") is not None
        and subprocess.run(
            [
                "unshare",
                "--mount",
                "--propagation",
                "private",
                "mount",
                "-t",
                "tmpfs",
                "none",
                "/tmp",
            ],
            capture_output=True,
        ).returncode
        == 0
    )


@pytest.mark.skipif(not can_hide_folders(), reason="needs mount namespaces (root)")
def test_a_worker_that_does_not_see_the_inputs_is_named_before_anything_is_written(
    tmp_path, cluster
):
    make_inputs(tmp_path)
    # A third worker, whose file system has an empty folder over the inputs.
    hidden = subprocess.Popen(
        [
            "unshare",
            "--mount",
            "--propagation",
            "private",
            "sh",
            "-c",
            f'mount -t tmpfs none "{tmp_path / "in"}" && exec "$0" -m distributed.cli.dask_worker '
            f'{cluster.scheduler.address} --nthreads 1 --no-nanny --no-dashboard',
            sys.executable,
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        cluster.wait_for_workers(3, timeout=60)
        address = next(
            address for address, pid in cluster.run(os.getpid).items() if pid == hidden.pid
        )
        run = qx_limiter(
            tmp_path,
            *INPUTS,
            "--output-dir",
            "out",
            *DELIVERY,
            "--scheduler",
            cluster.scheduler.address,
        )
        status, out, err = finished(run)
    finally:
        hidden.terminate()
        hidden.wait(60)
    assert (status, out) == (1, "")
    host = socket.gethostname()
    assert err == (
        f"qx-limiter: error: the worker {address} on {host} cannot see the input "
        f"folder {tmp_path / 'in'} ({tmp_path / 'in/a.wav'}: No such file or "
        f"directory)\n"
    )
    assert files_in(tmp_path / "out") == []


@pytest.mark.parametrize(
    "args, error",
    [
        (
            ["--scheduler", "tcp://127.0.0.1:1", "--jobs", "2"],
            "--jobs does not apply on a cluster: each worker runs as many files at once as it has "
            "threads",
        ),
        (
            ["--scheduler", "tcp://127.0.0.1:1", "--cluster-workers", "2"],
            "argument --cluster-workers: not allowed with argument --scheduler",
        ),
        (
            ["--cluster-workers", "0"],
            "argument --cluster-workers: must be a whole number of at least 1, got 0",
        ),
        (
            ["--scheduler", "tcp://127.0.0.1"],
            "argument --scheduler: must be a Dask scheduler's address, tcp://HOST:PORT, got "
            "tcp://127.0.0.1",
        ),
    ],
)
def test_cluster_options_that_cannot_work_are_refused(tmp_path, args, error):
    make_inputs(tmp_path)
    status, out, err = finished(qx_limiter(tmp_path, "in/a.wav", "-o", "out.wav", *args))
    assert (status, out, err) == (2, "", f"qx-limiter: error: {error}\n")


def planned(*args):
    from qx_limiter_cli._options import parse
    from qx_limiter_cli._planning import plan

    jobs, _ = plan(parse([str(arg) for arg in args]))
    return jobs


@pytest.mark.parametrize("found", ["its own", "another"])
def test_a_retried_file_keeps_the_output_its_lost_attempt_renamed_into_place(folder, found):
    """A worker lost after renaming its output and before its outcome came
    back: Dask runs the file again, and the output is there already."""
    from qx_limiter_cli import main
    from qx_limiter_cli._on_worker import Run, deliver
    from qx_limiter_cli._reporting import Failure, Written

    write("in.wav", song(48000, 1), 48000, "FLOAT")
    # Ogg: libsndfile gives each stream a random serial number, so the
    # retry's bytes are not the lost attempt's.
    (job,) = planned("in.wav", "-o", "out.ogg", "--true-peak")
    run = Run("0123456789ab", 0o640)
    assert isinstance(deliver(job, run), Written)
    if found == "another":
        kept = Path("out.ogg").read_bytes()
        Path("out.ogg").unlink()
        Path("out.ogg").write_bytes(kept)
    kept = Path("out.ogg").read_bytes()
    again = deliver(job, run)
    assert Path("out.ogg").read_bytes() == kept
    receipt = ".out.ogg.0123456789ab-receipt.qx-limiter-part"
    assert files_in(folder) == sorted([receipt, "in.wav", "out.ogg"])
    if found == "its own":
        assert isinstance(again, Written)
    else:
        assert again == Failure(
            job,
            "cannot write out.ogg (a file of that name appeared "
            "meanwhile; add --overwrite to replace it)",
        )
    # That of a run killed outright goes with the next run that writes there.
    assert main(["in.wav", "-o", "out.ogg", "--overwrite", "-q"]) == 0
    assert files_in(folder) == ["in.wav", "out.ogg"]


def test_only_paths_settings_and_figures_travel(folder):
    """A file's task and its outcome cross the network: no audio in them."""
    import pickle

    from qx_limiter_cli._on_worker import Run, deliver

    write("in.wav", song(48000, 2), 48000, "FLOAT")
    (job,) = planned("in.wav", "-o", "out.wav", "--plot", "out.png", "--preset", "podcast")
    outcome = deliver(job, Run("0123456789ab", 0o644))
    assert len(pickle.dumps(job)) + len(pickle.dumps(outcome)) < 8192


def test_the_example_delivers_a_tree_as_the_command_does_each_folder(folder, cluster):
    for name, seed in (("in/x/a.wav", 1), ("in/y/z/b.wav", 2)):
        Path(name).parent.mkdir(parents=True)
        write(name, song(48000, 1, seed=seed), 48000, "FLOAT")
    Path("in/x/notes.txt").write_text("not audio")
    example = TESTS.parents[1] / "examples" / "dask_corpus.py"
    done = subprocess.run(
        [
            sys.executable,
            str(example),
            "in",
            "out",
            "--scheduler",
            cluster.scheduler.address,
            "--true-peak",
            "-1",
            "-q",
            "--subtype",
            "PCM_24",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert files_in("out") == ["x", "x/a.wav", "y", "y/z", "y/z/b.wav"]
    # (PCM: libsndfile stamps a float WAV with the time it was written.)
    finished(
        qx_limiter(
            folder,
            "in/x/a.wav",
            "in/y/z/b.wav",
            "--output-dir",
            "one",
            "--true-peak",
            "-1",
            "--subtype",
            "PCM_24",
        )
    )
    for name in ("x/a.wav", "y/z/b.wav"):
        assert Path("out", name).read_bytes() == Path("one", Path(name).name).read_bytes()


def test_an_album_is_measured_and_delivered_on_the_cluster_as_on_one_machine(tmp_path, cluster):
    """Measuring is a map over the tracks, the album's gain is decided here,
    delivering is a second map: the same files as on one machine."""
    outputs = {}
    for where, extra in (("here", []), ("cluster", ["--scheduler", cluster.scheduler.address])):
        folder = tmp_path / where
        (folder / "in").mkdir(parents=True)
        write(folder / "in/a.wav", song(48000, 4, seed=1), 48000, "FLOAT")
        write(folder / "in/d.wav", song(48000, 4, level_db=-30, seed=4), 48000, "PCM_16")
        code, out, err = finished(
            qx_limiter(
                folder, "in/a.wav", "in/d.wav", "--album", "--output-dir", "out", *DELIVERY, *extra
            )
        )
        assert (code, err) == (0, "") and "album: loudness " in out
        outputs[where] = (untimed(out), written(folder))
    assert outputs["here"] == outputs["cluster"]
