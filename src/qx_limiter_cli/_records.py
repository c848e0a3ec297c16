"""The report file of a run (--report): one record per file, in the order
the files were named, as JSON (a list of objects) or CSV (a header and one
row per file, nested fields named with a dot: ``after.true_peak_dbtp``).

Figures that are undefined (the loudness of silence, -inf) are JSON null
and empty CSV cells; other numbers are written in full, so that they read
back as the values the run computed. The file is written like the audio:
into a temporary file beside it, renamed over it once complete.
"""

from __future__ import annotations

import csv
import dataclasses
import io
import json
import math
from pathlib import Path
from typing import TYPE_CHECKING

from qx_limiter_tools import Measurement

from ._reporting import Failure, Outcome, Written, reduction_db

if TYPE_CHECKING:
    from ._album import Album
from ._writing import replacing

Value = str | int | float | bool | None
Record = dict[str, Value | dict[str, Value]]

_MEASUREMENT_FIELDS = [field.name for field in dataclasses.fields(Measurement)]


def record(outcome: Outcome) -> Record:
    """The record of one file, written or failed."""
    job = outcome.job
    s = job.settings
    settings: dict[str, Value] = {
        "preset": s.preset,
        "loudness_lufs": s.loudness_lufs,
        "threshold_dBFS": s.threshold_dBFS,
        "true_peak": s.true_peak,
        "attack_ms": s.attack_ms,
        "hold_ms": s.hold_ms,
        "release_ms": s.release_ms,
        "format": job.output.format,
        "subtype": job.output.subtype,
        "dither": s.dither,
        "max_limiting_db": s.max_limiting_db,
        "dual_mono": s.dual_mono,
        "album": job.album_gain_db is not None,
    }
    fields: Record = {
        "input": job.shown,
        "output": job.shown_target,
        "sample_rate": job.sample_rate,
        "channels": job.channels,
    }
    if isinstance(outcome, Failure):
        return {
            **fields,
            "frames": None,
            "settings": settings,
            "before": None,
            "after": None,
            "gain_db": None,
            "max_gain_reduction_db": None,
            "passes": None,
            "loudness_reached": None,
            "status": outcome.line(),
            "note": None,
            "limiter_threshold_dBFS": None,
            "after_codec": None,
        }
    report: Written = outcome
    return {
        **fields,
        "frames": report.frames,
        "settings": settings,
        "before": figures(report.before),
        "after": figures(report.after),
        "gain_db": report.gain_db,
        "max_gain_reduction_db": _finite(reduction_db(report.deepest_gain)),
        "passes": report.passes,
        "loudness_reached": report.loudness_reached,
        "status": "ok",
        "note": report.note or None,
        "limiter_threshold_dBFS": report.threshold_dBFS,
        "after_codec": figures(report.after_codec),
    }


def _finite(value: float) -> float | None:
    return value if math.isfinite(value) else None


def figures(measurement: Measurement | None) -> dict[str, Value] | None:
    if measurement is None:
        return None
    return {name: _finite(getattr(measurement, name)) for name in _MEASUREMENT_FIELDS}


def report_text(path: Path, outcomes: list[Outcome], album: Album | None = None) -> str:
    records = [record(outcome) for outcome in outcomes]
    if album is not None and records:
        records.append(album_record(album, records[0]))
    return records_text(path, records)


def album_record(album: Album, first: Record) -> Record:
    """The album's record, after its tracks', with their fields: its
    figures as one programme, the gain, the rounds, what was reached."""
    return {
        **first,
        "input": "album",
        "output": None,
        "channels": None,
        "frames": None,
        "before": figures(album.before),
        "after": figures(album.after),
        "gain_db": album.gain_db,
        "max_gain_reduction_db": album.deepest_db,
        "passes": album.rounds,
        "loudness_reached": album.loudness_reached,
        "status": "ok",
        "note": album.note or None,
        "limiter_threshold_dBFS": None,
    }


def records_text(path: Path, records: list[Record]) -> str:
    """Records as JSON or CSV, by the extension of `path`."""
    if path.suffix.lower() == ".json":
        return json.dumps(records, indent=2, allow_nan=False) + "\n"
    rows = [_flat(entry) for entry in records]
    if not rows:
        return ""
    text = io.StringIO()
    # Every record has the same fields, in the same order.
    writer = csv.DictWriter(text, list(rows[0]), lineterminator="\n")
    writer.writeheader()
    writer.writerows({name: _cell(value) for name, value in row.items()} for row in rows)
    return text.getvalue()


def _flat(entry: Record) -> dict[str, Value]:
    flat: dict[str, Value] = {}
    for name, value in entry.items():
        if name in ("settings", "before", "after", "after_codec", "measured"):
            nested = value if isinstance(value, dict) else {}
            keys = _MEASUREMENT_FIELDS if name != "settings" else list(nested)
            for key in keys:
                flat[f"{name}.{key}"] = nested.get(key)
        else:
            assert not isinstance(value, dict)
            flat[name] = value
    return flat


def _cell(value: Value) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value) if isinstance(value, float) else str(value)


def write_report(
    path: Path, outcomes: list[Outcome], overwrite: bool, album: Album | None = None
) -> None:
    """Writes the report file atomically (the album's record last, where
    there is one); raises OSError where it cannot (where a file appeared at
    `path` meanwhile too, unless `overwrite`)."""
    write_text(path, report_text(path, outcomes, album), overwrite)


def write_text(path: Path, text: str, overwrite: bool) -> None:
    """Writes a report's text atomically, as write_report does."""
    with replacing(path, overwrite) as temporary:
        temporary.write_text(text, encoding="utf-8")
