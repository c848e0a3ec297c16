"""The platforms' delivery targets as data (presets.toml beside this file,
and any file of the same form a user names), and what a measurement is
judged by against one of them."""

from __future__ import annotations

import json
import math
import tomllib
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import Any

from qx_limiter_tools import Measurement


class PresetError(Exception):
    """A preset file that cannot be used: the message says why."""


@dataclass(frozen=True)
class Preset:
    """A platform's delivery target, the limits it states and its source."""

    name: str
    loudness_lufs: float
    tolerance_lu: float
    ceiling_dbtp: float
    source: str
    max_short_term_lufs: float | None = None
    max_momentary_lufs: float | None = None
    loudness_range_lu: tuple[float, float] | None = None
    # The codec and bit rate the platform transcodes to ("aac:256k"), where
    # the ceiling is to be verified after it (as --verify-codec).
    codec: str | None = None

    def summary(self) -> str:
        """The figures in a few words, as --help lists them."""
        extra = []
        if self.max_short_term_lufs is not None:
            extra.append(f"short-term at most {self.max_short_term_lufs:g} LUFS")
        if self.max_momentary_lufs is not None:
            extra.append(f"momentary at most {self.max_momentary_lufs:g} LUFS")
        if self.loudness_range_lu is not None:
            low, high = self.loudness_range_lu
            extra.append(f"loudness range {low:g} to {high:g} LU")
        if self.codec:
            extra.append(f"verified after {self.codec}")
        more = "".join(f", {item}" for item in extra)
        return (
            f"{self.loudness_lufs:g} LUFS within {self.tolerance_lu:g} LU, "
            f"{self.ceiling_dbtp:g} dBTP{more}"
        )

    def failures(self, measured: Measurement) -> list[str]:
        """What `measured` misses of this preset, each with by how much;
        none when it passes."""
        missed = []
        loudness = measured.integrated_lufs
        off = loudness - self.loudness_lufs
        if not math.isfinite(loudness):
            missed.append("no integrated loudness (silence, or under 400 ms)")
        elif abs(off) > self.tolerance_lu:
            missed.append(
                f"integrated {loudness:.2f} LUFS, {off:+.2f} LU from "
                f"{self.loudness_lufs:g} (within {self.tolerance_lu:g} allowed)"
            )
        over = measured.true_peak_dbtp - self.ceiling_dbtp
        if over > 0.0:
            missed.append(
                f"true peak {measured.true_peak_dbtp:+.2f} dBTP, {over:.2f} dB over "
                f"{self.ceiling_dbtp:g}"
            )
        for figure, limit, what in (
            (measured.max_short_term_lufs, self.max_short_term_lufs, "short-term"),
            (measured.max_momentary_lufs, self.max_momentary_lufs, "momentary"),
        ):
            if limit is not None and figure > limit:
                missed.append(
                    f"maximum {what} {figure:.2f} LUFS, {figure - limit:.2f} LU over {limit:g}"
                )
        if self.loudness_range_lu is not None:
            low, high = self.loudness_range_lu
            lra = measured.loudness_range_lu
            if not low <= lra <= high:
                shown = f"{lra:.2f} LU" if math.isfinite(lra) else "none (under 3 s)"
                missed.append(f"loudness range {shown}, outside {low:g} to {high:g} LU")
        return missed


_NUMBERS = ("loudness_lufs", "tolerance_lu", "ceiling_dbtp")
_OPTIONAL = ("max_short_term_lufs", "max_momentary_lufs")


def builtin_presets() -> dict[str, Preset]:
    """The presets that come with the command line, in their file's order."""
    text = resources.files(__package__).joinpath("presets.toml").read_text(encoding="utf-8")
    return _presets(tomllib.loads(text), "presets.toml")


def preset_file(path: Path) -> dict[str, Preset]:
    """The presets of a user's TOML or JSON file (its extension chooses)."""
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise PresetError(
            f"cannot read the preset file {path} ({error.strerror or error})"
        ) from None
    try:
        data = json.loads(text) if path.suffix.lower() == ".json" else tomllib.loads(text)
    except (ValueError, tomllib.TOMLDecodeError) as error:
        raise PresetError(
            f"the preset file {path} is not valid "
            f"{'JSON' if path.suffix.lower() == '.json' else 'TOML'} "
            f"({error})"
        ) from None
    if not isinstance(data, dict) or not data:
        raise PresetError(
            f"the preset file {path} holds no presets (tables of figures, one per name)"
        )
    return _presets(data, str(path))


def _presets(data: dict[str, Any], where: str) -> dict[str, Preset]:
    presets = {}
    for name, table in data.items():
        if not isinstance(table, dict):
            raise PresetError(f"{where}: {name} must be a table of figures")
        missing = [key for key in (*_NUMBERS, "source") if key not in table]
        unknown = sorted(
            set(table) - {*_NUMBERS, *_OPTIONAL, "loudness_range_lu", "source", "codec"}
        )
        if missing or unknown:
            problem = (
                f"lacks {', '.join(missing)}"
                if missing
                else f"has unknown figures {', '.join(unknown)}"
            )
            raise PresetError(f"{where}: preset {name} {problem}")
        values = {key: _number(where, name, key, table[key]) for key in _NUMBERS}
        optional = {key: _number(where, name, key, table[key]) for key in _OPTIONAL if key in table}
        lra = table.get("loudness_range_lu")
        if lra is not None:
            if not (isinstance(lra, list) and len(lra) == 2):
                raise PresetError(
                    f"{where}: preset {name}: loudness_range_lu must be [lowest, highest]"
                )
            lra = (
                _number(where, name, "loudness_range_lu", lra[0]),
                _number(where, name, "loudness_range_lu", lra[1]),
            )
        if not (
            -70.0 <= values["loudness_lufs"] <= 0.0
            and values["ceiling_dbtp"] <= 0.0
            and values["tolerance_lu"] >= 0.0
        ):
            raise PresetError(
                f"{where}: preset {name}: loudness_lufs must be from -70 to 0, "
                f"ceiling_dbtp at most 0 and tolerance_lu at least 0"
            )
        presets[name] = Preset(
            name,
            values["loudness_lufs"],
            values["tolerance_lu"],
            values["ceiling_dbtp"],
            str(table["source"]),
            optional.get("max_short_term_lufs"),
            optional.get("max_momentary_lufs"),
            lra,
            str(table["codec"]) if "codec" in table else None,
        )
    return presets


def _number(where: str, name: str, key: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise PresetError(f"{where}: preset {name}: {key} must be a number, got {value!r}")
    return float(value)
