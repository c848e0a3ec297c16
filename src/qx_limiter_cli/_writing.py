"""Outputs written through a temporary file beside the target and renamed
over it only when complete, and the encoder that writes audio into one a
chunk at a time, keeping the system's own reason when writing fails."""

from __future__ import annotations

import ctypes
import errno
import functools
import os
import secrets
import socket
import sys
import tempfile
from collections.abc import Iterable, Iterator
from contextlib import contextmanager, suppress
from contextvars import ContextVar
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, BinaryIO, cast

import numpy as np
import numpy.typing as npt
import soundfile as sf

from . import _stopping
from ._formats import AudioError, OutputFormat, libsndfile_name, libsndfile_reason
from ._layout import from_stored, stored_order, to_stored
from ._pcm import packer
from ._quantise import Stored, peak
from ._riff import Front

if TYPE_CHECKING:
    from qx_limiter_tools import Meter

# Frames read back per call where the peak of a written file is measured.
READ_BACK_FRAMES = 1 << 16

# Packed samples go to libsndfile's raw writing through soundfile's own
# bindings, where they have it; without them, libsndfile converts.
_RAW_WRITES = all(hasattr(sf, name) for name in ("_snd", "_ffi")) and hasattr(
    getattr(sf, "_snd", None), "sf_write_raw"
)


@contextmanager
def replacing(target: Path, overwrite: bool) -> Iterator[Path]:
    """A temporary path beside `target` that takes its place once the block
    ends without an exception; on any failure, or when the run is being
    stopped, the temporary file is removed and `target` is left as it was.
    Without `overwrite`, a file that appeared at `target` meanwhile is not
    replaced (AudioError). Temporary files that an earlier run on this
    machine left beside `target` when it was killed, or an earlier attempt
    of this run anywhere, are removed first."""
    writer = WRITER.get()
    remove_abandoned(target, writer.run)
    temporary: Path | None = None
    try:
        handle, name = tempfile.mkstemp(
            dir=target.parent,
            prefix=f".{target.name}.{writer.run}-",
            suffix=f".{_host()}.{os.getpid()}{TEMPORARY_SUFFIX}",
        )
        temporary = Path(name)
        os.close(handle)
        yield temporary
        # Some file systems (FAT, network shares) refuse chmod; the file is
        # complete all the same, only kept private.
        with suppress(OSError):
            os.chmod(temporary, writer.mode)
        _stopping.check()
        if overwrite:
            os.replace(temporary, target)
        elif writer.retried:
            _rename_with_receipt(temporary, target, writer.run)
        else:
            _rename_without_replacing(temporary, target)
    except BaseException:
        if temporary is not None:
            with suppress(OSError):
                temporary.unlink()
        raise


@contextmanager
def sending() -> Iterator[Path]:
    """A temporary file that goes to standard output once the block ends
    without an exception (-o -): a WAV whose header holds its sizes, and
    nothing at all on standard output where the file fails."""
    handle, name = tempfile.mkstemp(prefix="qx-limiter-stdout.", suffix=TEMPORARY_SUFFIX)
    os.close(handle)
    temporary = Path(name)
    try:
        yield temporary
        _stopping.check()
        with open(temporary, "rb") as done:
            while block := done.read(1 << 20):
                view = memoryview(block)
                while view:
                    view = view[os.write(1, view) :]
    finally:
        with suppress(OSError):
            temporary.unlink()


# Temporary files are named for their target, the run, the machine and the
# process that made them: ".take.wav.5e0c9a1f2b3d-k2x8f1ab.myhost.4711.qx-limiter-part"
# (the run, a dash and what mkstemp adds, none of which has a dot).
TEMPORARY_SUFFIX = ".qx-limiter-part"


@dataclass(frozen=True)
class Writer:
    """Who writes the outputs: the run whose tag their temporary files carry,
    the permissions a finished output gets (those of the run's umask), and
    whether a task may be a retry: one whose target may already hold what an
    earlier attempt of the same file renamed there before it was lost (see
    _rename_with_receipt)."""

    run: str
    mode: int
    retried: bool = False


def new_run() -> str:
    """A run's tag: random, so that no two runs share one, whatever machine
    or process they run in."""
    return secrets.token_hex(6)


def _host() -> str:
    return socket.gethostname().replace(os.sep, "_")


def remove_abandoned(target: Path, run: str | None = None) -> None:
    """Removes the temporary files beside `target` that a process of this
    machine made for it and that outlived the process (killed by SIGKILL,
    or a power cut): the name tells the machine and the process. Those of
    `run` go too, wherever they were made: a run writes each target once,
    so they are what an earlier attempt left (a worker lost mid-file)."""
    prefix = f".{target.name}."
    try:
        names = [
            entry.name
            for entry in os.scandir(target.parent)
            if entry.name.startswith(prefix) and entry.name.endswith(TEMPORARY_SUFFIX)
        ]
    except OSError:
        return
    for name in names:
        # The run and what mkstemp added (no dots), the machine, the process.
        made, _, owner = name[len(prefix) : -len(TEMPORARY_SUFFIX)].partition(".")
        host, _, pid = owner.rpartition(".")
        tag, _, kind = made.rpartition("-")
        # A receipt stays until its run has the file's outcome; one of another
        # run is that of a run killed outright, which could not remove it.
        ours = tag == run if kind != _RECEIPT else tag != run
        if ours or (host == _host() and pid.isdigit() and not _alive(int(pid))):
            with suppress(OSError):
                (target.parent / name).unlink()


def remove_run(folders: Iterable[Path], run: str) -> None:
    """Removes every temporary file of `run` in `folders`, whichever machine
    and process made it: at the end of a run whose workers may have been
    lost mid-file on other machines."""
    tag = f".{run}-"
    for folder in folders:
        try:
            names = [
                entry.name
                for entry in os.scandir(folder)
                if entry.name.startswith(".")
                and entry.name.endswith(TEMPORARY_SUFFIX)
                and tag in entry.name
            ]
        except OSError:
            continue
        for name in names:
            with suppress(OSError):
                (folder / name).unlink()


# What a receipt's name has where a temporary file has what mkstemp adds
# (eight characters, never this one's seven).
_RECEIPT = "receipt"


def receipt(target: Path, run: str) -> Path:
    """The receipt of `run`'s output at `target` (_rename_with_receipt)."""
    return target.parent / f".{target.name}.{run}-{_RECEIPT}{TEMPORARY_SUFFIX}"


def _rename_with_receipt(source: Path, target: Path, run: str) -> None:
    """Renames `source` to `target` unless a file is there, as
    _rename_without_replacing does, for a task that may be a retry. A worker
    can be lost after its rename and before its outcome reaches the client
    (killed, or cut off from the scheduler); Dask runs the file again, and
    the retry finds the output in place. Comparing bytes cannot tell it for
    the run's own (libsndfile stamps a float WAV with the time, and gives an
    Ogg stream a random serial number), so a hard link to the output, the
    receipt, stays beside it until the run has the file's outcome: a target
    that is the receipt's file is this run's, and is kept."""
    mark = receipt(target, run)
    with suppress(FileNotFoundError):
        if os.path.samefile(mark, target):
            source.unlink()
            return
    with suppress(OSError):  # no hard links here: no receipt, and no retry kept
        mark.unlink(missing_ok=True)  # of an attempt lost before its rename
        os.link(source, mark)
    _rename_without_replacing(source, target)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # someone else's, and running
    return True


_RENAME_NOREPLACE = 1


def _rename_without_replacing(source: Path, target: Path) -> None:
    """Renames `source` to `target` unless a file is there, atomically: a
    file that appeared since the run checked is kept, and of two runs
    writing the same new output only one succeeds. FileExistsError, with
    what to do, when one is there."""
    try:
        if _renameat2(source, target):
            return
        try:
            os.link(source, target)
        except FileExistsError:
            raise
        except OSError:
            # No hard links here (FAT, some network shares): claim the name
            # first, then put the file in its place.
            os.close(os.open(target, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600))
            os.replace(source, target)
            return
        os.unlink(source)
    except FileExistsError:
        raise FileExistsError(
            errno.EEXIST,
            "a file of that name appeared meanwhile; add --overwrite to replace it",
            str(target),
        ) from None


def _renameat2(source: Path, target: Path) -> bool:
    """Linux's rename that refuses to replace; False where the system or the
    file system does not offer it."""
    libc = _libc()
    if libc is None:
        return False
    result = libc.renameat2(
        -100, os.fsencode(source), -100, os.fsencode(target), _RENAME_NOREPLACE
    )  # -100: AT_FDCWD
    if result == 0:
        return True
    error = ctypes.get_errno()
    if error == errno.EEXIST:
        raise FileExistsError(error, os.strerror(error), str(target))
    if error in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
        return False
    raise OSError(error, os.strerror(error), str(target))


@functools.cache
def _libc() -> ctypes.CDLL | None:
    if not sys.platform.startswith("linux"):
        return None
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.renameat2.argtypes = [
            ctypes.c_int,
            ctypes.c_char_p,
            ctypes.c_int,
            ctypes.c_char_p,
            ctypes.c_uint,
        ]
    except (OSError, AttributeError):
        return None
    return libc


class Encoder:
    """Writes chunks of stored samples into `path` (the temporary file) in
    the output's format; every error is an AudioError naming `target`."""

    def __init__(
        self,
        path: Path,
        target: Path,
        sample_rate: int,
        channels: int,
        output: OutputFormat,
        text: dict[str, str],
        front: Front | None = None,
    ) -> None:
        self._target = target
        self._descriptor = -1
        self._sink = _Sink(-1)
        self._file: sf.SoundFile | None = None
        self._front = front
        self._order = stored_order(output.format, output.subtype, channels)
        with self._reasons():
            # No O_TRUNC: the temporary file is new and empty, and ext4 takes
            # a truncating open as a rewrite and flushes the whole file to
            # disk when it is closed.
            self._descriptor = os.open(path, os.O_RDWR | getattr(os, "O_BINARY", 0))
            # libsndfile writes after the room that the header in front takes.
            self._sink = _Sink(self._descriptor, front.room() if front is not None else 0)
            # soundfile takes any object with these methods; its annotation
            # names only the usual file types.
            self._file = sf.SoundFile(
                cast(BinaryIO, self._sink),
                "w",
                samplerate=sample_rate,
                channels=channels,
                subtype=output.subtype,
                format=output.format,
            )
            for name, value in text.items():
                # Not every format has room for every field; those are dropped.
                with suppress(sf.SoundFileError, RuntimeError):
                    setattr(self._file, name, value)
        self._pack = packer(output.format, output.subtype) if _RAW_WRITES else None

    def write(self, samples: Stored) -> None:
        assert self._file is not None
        samples = to_stored(samples, self._order)
        with self._reasons():
            if self._pack is not None and samples.dtype == np.int32:
                self._write_raw(self._pack(cast(npt.NDArray[np.int32], samples)))
            else:
                self._file.write(samples)

    def _write_raw(self, data: npt.NDArray[np.generic]) -> None:
        # soundfile has no method for libsndfile's sf_write_raw; its own
        # bindings (checked for in _RAW_WRITES) reach it.
        assert self._file is not None
        handle = self._file._file
        written = sf._snd.sf_write_raw(handle, sf._ffi.from_buffer(data), data.nbytes)  # type: ignore[attr-defined]
        if written != data.nbytes and self._sink.error is None:
            reason = sf._ffi.string(sf._snd.sf_strerror(handle))  # type: ignore[attr-defined]
            raise RuntimeError(reason.decode(errors="replace"))

    def finish(self) -> None:
        """Completes the file (libsndfile writes its header's sizes then)."""
        file, self._file = self._file, None
        if file is not None:
            with self._reasons():
                file.close()
                if self._front is not None:
                    self._front.write(self._descriptor, self._sink.base)
        self.abandon()

    def abandon(self) -> None:
        """Lets go of the file without completing it; it is being removed."""
        if self._file is not None:
            with suppress(Exception):
                self._file.close()
            self._file = None
        if self._descriptor >= 0:
            os.close(self._descriptor)
            self._descriptor = -1

    @contextmanager
    def _reasons(self) -> Iterator[None]:
        try:
            try:
                yield
            except AssertionError:
                # soundfile asserts that libsndfile took every frame; it did
                # not, and the sink knows why.
                if self._sink.error is None:
                    raise RuntimeError("libsndfile wrote fewer frames than it was given") from None
            except (sf.SoundFileError, RuntimeError):
                if self._sink.error is None:
                    raise
            if self._sink.error is not None:
                raise self._sink.error
        except (sf.SoundFileError, RuntimeError) as error:
            self.abandon()
            raise AudioError(f"cannot write {self._target} ({libsndfile_reason(error)})") from None
        except OSError as error:
            self.abandon()
            raise AudioError(f"cannot write {self._target} ({error.strerror or error})") from None


class _Sink:
    """The file object libsndfile writes an output through (soundfile's
    virtual I/O). libsndfile reduces a failed write to "System error"; this
    keeps the system's own reason ("No space left on device") and then lets
    libsndfile see a short write, which ends the encoding."""

    def __init__(self, descriptor: int, base: int = 0) -> None:
        self._descriptor = descriptor
        # Where libsndfile's file starts in the real one: the positions it
        # asks for and is told are counted from there.
        self.base = base
        self.error: OSError | None = None

    def write(self, data: bytes) -> int:
        view = memoryview(data)
        done = 0
        while done < len(view) and self.error is None:
            try:
                done += os.write(self._descriptor, view[done:])
            except OSError as error:
                self.error = error
        return done

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        try:
            if whence == os.SEEK_SET:
                offset += self.base
            return os.lseek(self._descriptor, offset, whence) - self.base
        except OSError as error:
            self.error = self.error or error
            return -1

    def tell(self) -> int:
        return self.seek(0, os.SEEK_CUR)

    def read(self, size: int) -> bytes:
        try:
            return os.read(self._descriptor, size)
        except OSError as error:
            self.error = self.error or error
            return b""


def fresh(path: Path) -> None:
    """Empties a temporary file for another pass: a new file in its place,
    not a truncated one (ext4 takes truncation as a rewrite and flushes the
    whole file to disk when it is closed)."""
    path.unlink()
    os.close(os.open(path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600))


def file_peak(path: Path, target: Path, meter: Meter | None = None) -> float:
    """The largest sample magnitude of a written file as libsndfile decodes
    it, read a block at a time; `meter` measures what it decodes."""
    largest = 0.0
    try:
        with sf.SoundFile(libsndfile_name(path)) as source:
            # Counted blocks: some codecs (GSM 6.10 in WAV) cannot seek, and
            # soundfile reads those only by a given number of frames.
            channels = int(source.channels)
            frames = max(1, min(READ_BACK_FRAMES, 2 * READ_BACK_FRAMES // channels))
            block: npt.NDArray[np.float32] = np.empty((frames, channels), dtype=np.float32)
            order = stored_order(str(source.format), str(source.subtype), int(source.channels))
            while (count := source.read(out=block).shape[0]) > 0:
                largest = max(largest, peak(block[:count]))
                if meter is not None:
                    from_stored(block[:count], order)
                    meter.add(block[:count], axis=0)
                _stopping.check()
    except (sf.SoundFileError, RuntimeError) as error:
        raise AudioError(f"cannot write {target} ({libsndfile_reason(error)})") from None
    return largest


def _file_mode() -> int:
    # mkstemp makes files only the owner can read; a finished output gets the
    # permissions any new file of this process would get.
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


_NEW_FILE_MODE = _file_mode()
# A context variable: a Dask worker writes for several runs side by side
# (_on_worker); a command on one machine is one run with its own umask.
WRITER: ContextVar[Writer] = ContextVar(
    "qx_limiter_writer",
    default=Writer(new_run(), _NEW_FILE_MODE),  # noqa: B039 (a frozen dataclass)
)
