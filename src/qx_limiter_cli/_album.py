"""--album: the inputs delivered as one programme. Every track is measured
first (its figures, its sub-block powers and its loudness profile), the
album's gain is decided on all of them at once (their gating blocks pooled,
as BS.1770 gates a programme; the tracks' models say what the limiter will
take), then every track is delivered at that gain under the ceiling, and
the album measured again from what was written. Where it misses the target
(the models' estimate), the tracks are delivered once more at a corrected
gain. Measuring and delivering are each a map over the files, run in
threads here or as tasks of a cluster, the decision in between on the
client; only a track's figures and profile travel, never its audio.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from qx_limiter_tools import (
    AlbumModel,
    DeliveryPlan,
    LoudnessModel,
    Measurement,
    Passed,
    pooled_loudness,
    profiling_meter,
)

from ._formats import AudioError
from ._planning import Job, refusal
from ._reporting import Failure, Outcome, Written, reduction_db

Profile = tuple[npt.NDArray[np.float32], npt.NDArray[np.float64]]
Finished = Callable[[int, Outcome], None]
Process = Callable[[list[Job], Finished], None]


@dataclass(frozen=True)
class Track:
    """What the album's decision needs of one track, measured where it is."""

    before: Measurement
    powers: npt.NDArray[np.float64]
    profile: Profile


@dataclass
class Album:
    """The album as one programme: its figures before and after, the gain
    brought to the target, and what the plan said."""

    before: Measurement
    after: Measurement | None = None
    gain_db: float = 0.0
    rounds: int = 0
    deepest_db: float = 0.0
    loudness_reached: bool | None = None
    note: str = ""


def measure_track(job: Job) -> Track | str:
    """A track's figures, powers and profile (a worker may run this); the
    reason, where it cannot be measured."""
    from ._pipeline import measuring_pass

    meter = profiling_meter(job.sample_rate, job.channels, dual_mono=job.settings.dual_mono)
    try:
        before, reader = measuring_pass(job.source, job.sample_rate, meter)
    except AudioError as error:
        return str(error)
    shortfall = job.shortfall or reader.shortfall()
    if shortfall is not None and not job.allow_truncated:
        return refusal(shortfall)
    levels, energies = meter.profile()
    return Track(before, meter.powers(), (levels, energies.astype(np.float64)))


class AlbumRun:
    """The album's process for the run: measure every track (`measure`, a
    map over the files), decide, deliver (`deliver`, the run's own process;
    again where the album misses). `album` holds the album once done."""

    def __init__(self, measure: Callable[[list[Job]], list[Track | str]], deliver: Process) -> None:
        self._measure = measure
        self._deliver = deliver
        self.album: Album | None = None

    def process(self, jobs: list[Job], finished: Finished) -> None:
        tracks = self._measure(jobs)
        failed = [
            str(jobs[index].source) for index, track in enumerate(tracks) if isinstance(track, str)
        ]
        if failed:
            # Without every track, there is no album to decide on.
            for index, track in enumerate(tracks):
                reason = (
                    track
                    if isinstance(track, str)
                    else "not delivered: the album could not be measured "
                    f"({', '.join(failed)} failed)"
                )
                finished(index, Failure(jobs[index], reason))
            return
        measured = [track for track in tracks if isinstance(track, Track)]
        self.album = _deliver(jobs, measured, self._deliver, finished)


def measure_here(threads: int) -> Callable[[list[Job]], list[Track | str]]:
    """The measuring map on this machine, in `threads` threads."""

    def measure(jobs: list[Job]) -> list[Track | str]:
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(max_workers=max(1, min(threads, len(jobs)))) as pool:
            return list(pool.map(measure_track, jobs))

    return measure


def _deliver(jobs: list[Job], tracks: list[Track], deliver: Process, finished: Finished) -> Album:
    s = jobs[0].settings
    rate = jobs[0].sample_rate
    models = [
        LoudnessModel.from_profile(track.profile, rate, s.attack_ms, s.hold_ms, s.release_ms)
        for track in tracks
    ]
    before = _as_programme(
        pooled_loudness([track.powers for track in tracks], rate),
        [track.before for track in tracks],
    )
    assert s.loudness_lufs is not None  # planning refuses --album without a target
    plan = DeliveryPlan(
        rate,
        s.threshold_dBFS,
        s.loudness_lufs,
        before=before,
        model=AlbumModel(models),
        true_peak=s.true_peak,
        max_limiting_db=s.max_limiting_db,
    )
    album = Album(before)
    gain = plan.first().gain_db
    while True:
        outcomes: list[Outcome | None] = [None] * len(jobs)

        def keep(index: int, outcome: Outcome) -> None:
            outcomes[index] = outcome  # noqa: B023 (called within this round only)

        # From the second round on, the outputs in place are this run's own.
        deliver(
            [
                dataclasses.replace(
                    job,
                    album_gain_db=gain,
                    before=track.before,
                    overwrite=job.overwrite or album.rounds > 0,
                )
                for job, track in zip(jobs, tracks)
            ],
            keep,
        )
        album.rounds += 1
        reports = [outcome for outcome in outcomes if isinstance(outcome, Written)]
        if len(reports) < len(jobs) or any(report.powers is None for report in reports):
            break  # a track failed: the album is what the others are
        powers = [report.powers for report in reports if report.powers is not None]
        album.after = _as_programme(
            pooled_loudness(powers, rate),
            [report.after for report in reports if report.after is not None],
        )
        album.deepest_db = max(reduction_db(report.deepest_gain) for report in reports)
        following = plan.review(Passed(album.after, max_reduction_db=album.deepest_db))
        if following is None or following.gain_db == gain:
            break
        gain = following.gain_db
    album.gain_db = gain
    album.loudness_reached = plan.loudness_reached
    album.note = plan.note
    for index, outcome in enumerate(outcomes):
        assert outcome is not None
        finished(index, outcome)
    return album


def _as_programme(figures: tuple[float, float], tracks: list[Measurement]) -> Measurement:
    """The album as one measurement: its pooled loudness and range, and the
    largest of the tracks' peaks and maxima."""

    def largest(values: list[float]) -> float:
        return max(values, default=-math.inf)

    return Measurement(
        figures[0],
        figures[1],
        largest([track.true_peak_dbtp for track in tracks]),
        largest([track.sample_peak_dbfs for track in tracks]),
        largest([track.max_momentary_lufs for track in tracks]),
        largest([track.max_short_term_lufs for track in tracks]),
    )
