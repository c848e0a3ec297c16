"""Albums: one gain for every track, found on their gating blocks pooled as
one programme (as libebur128 gates several states together), each track
under the ceiling; and the limiting budget.

The command line's tests need the extra qx_limiter[cli] and skip without it.
"""

import json
import math

import numpy as np
import pytest

from qx_limiter_tools import Meter, master, master_album, measure, pooled_loudness

from cli_support import song
from waveform import waveform_peak

RATE = 48000


def tracks():
    """Three tracks 6 and 9 dB apart, a quiet one among them."""
    return [
        song(RATE, 5.0, level_db=level, seed=n).T.astype(np.float32)
        for n, level in enumerate((-20.0, -26.0, -17.0))
    ]


def powers(audio):
    meter = Meter(RATE, 2)
    meter.add(audio)
    return meter.powers()


def test_pooled_gating_is_libebur128s_and_not_an_average():
    pyebur128 = pytest.importorskip("pyebur128")
    # A long quiet track and a short loud one: gated as one programme, the
    # quiet one's blocks weigh by their number; an average of the two
    # loudnesses weighs the tracks alike.
    rng = np.random.default_rng(4)
    quiet = (rng.standard_normal((2, RATE * 20)) * 0.01).astype(np.float32)
    loud = (rng.standard_normal((2, RATE * 3)) * 0.2).astype(np.float32)
    states = []
    for audio in (quiet, loud):
        state = pyebur128.R128State(
            2, RATE, int(pyebur128.MeasurementMode.MODE_I | pyebur128.MeasurementMode.MODE_LRA)
        )
        state.add_frames(np.ascontiguousarray(audio.T, np.float64).ravel(), audio.shape[1])
        states.append(state)
    integrated, range_lu = pooled_loudness([powers(quiet), powers(loud)], RATE)
    assert abs(integrated - pyebur128.get_loudness_global_multiple(states)) < 0.01
    assert abs(range_lu - pyebur128.get_loudness_range_multiple(states)) < 0.01
    average = np.mean([measure(quiet, RATE).integrated_lufs, measure(loud, RATE).integrated_lufs])
    assert abs(integrated - average) > 3.0


def test_an_album_keeps_its_tracks_apart_and_reaches_its_target():
    inputs = tracks()
    done = master_album(inputs, RATE, loudness_lufs=-14.0, ceiling_dbtp=-1.0)
    assert done.loudness_reached and abs(done.after[0] + 14.0) <= 0.1
    assert done.after == pooled_loudness([powers(track.audio) for track in done.tracks], RATE)
    for track in done.tracks:
        assert track.gain_db == done.gain_db
        assert 20 * math.log10(waveform_peak(track.audio)) <= -1.0
    # Where the limiter leaves them alone, the tracks keep their distances.
    quiet = done.tracks[1]
    assert quiet.after.integrated_lufs - quiet.before.integrated_lufs == pytest.approx(
        done.gain_db, abs=0.01
    )


def test_a_limiting_budget_lowers_the_loudness_instead():
    audio = song(RATE, 5.0, level_db=-20.0, seed=2).T.astype(np.float32)
    free = master(audio, RATE, loudness_lufs=-9.0, ceiling_dbtp=-1.0)
    capped = master(audio, RATE, loudness_lufs=-9.0, ceiling_dbtp=-1.0, max_limiting_db=3.0)
    deepest = -20 * np.log10(capped.gains.min() / 10 ** (capped.gain_db / 20))
    assert deepest <= 3.0 + 0.05 < -20 * np.log10(free.gains.min() / 10 ** (free.gain_db / 20))
    assert not capped.loudness_reached and capped.after.integrated_lufs < free.after.integrated_lufs
    assert capped.note.startswith("-9 LUFS would take more than 3 dB of gain reduction")


def test_the_command_line_delivers_an_album_and_reports_it(folder, capsys):
    sf = pytest.importorskip("soundfile")
    pytest.importorskip("tqdm")
    from cli_support import run, summary

    names = []
    for n, audio in enumerate(tracks()):
        names.append(f"t{n}.wav")
        sf.write(names[-1], audio.T, RATE, subtype="FLOAT")
    code, out, err = run(
        capsys,
        *names,
        "--album",
        "--preset",
        "streaming",
        "--output-dir",
        "out",
        "--report",
        "r.json",
    )
    assert (code, err) == (0, "") and summary(out) == (3, 0)
    assert out.splitlines()[3].startswith("album: loudness ")
    records = json.loads(open("r.json").read())
    assert [record["input"] for record in records] == [*names, "album"]
    album = records[-1]
    assert album["loudness_reached"] and abs(album["after"]["integrated_lufs"] + 14) <= 0.1
    assert {record["gain_db"] for record in records} == {album["gain_db"]}
    written = [sf.read(f"out/{name}", dtype="float32")[0].T for name in names]
    assert (
        album["after"]["integrated_lufs"] == pooled_loudness([powers(a) for a in written], RATE)[0]
    )
    # The album is master_album's.
    done = master_album(tracks(), RATE, loudness_lufs=-14.0, ceiling_dbtp=-1.0)
    assert all(np.array_equal(a, t.audio) for a, t in zip(written, done.tracks))
    code, out, err = run(capsys, "t0.wav", "--album", "-o", "x.wav")
    assert (code, err) == (
        2,
        "qx-limiter: error: --album needs a loudness target (--loudness or --preset)\n",
    )
