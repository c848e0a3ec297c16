"""The guide (docs/*.md) and README.md against the code they describe.

Every ```python block of a page runs, in order, in one namespace and a
fresh working folder per page, so later blocks use earlier names; a block
marked ``<!-- not run -->`` on the line before it is skipped. Console blocks
marked ``<!-- run -->`` (or ``<!-- run: status N -->`` for commands that
exit with N) run too, where the command line's extra is installed, in the
same folder and order: each ``$`` line in bash, with ``qx-limiter`` and
``python`` this interpreter's, ``examples/`` the repository's and
``example.wav`` the one ``python examples/make_example.py`` writes; the
lines shown under a command must be the lines it prints, numbers aside. A
block with a title (```toml title="house.toml") is written to that file
first. Every ``qx-limiter``
command shown anywhere must parse with the command line's options, every
option of the command line must appear in the guide, the preset table must
be presets.toml's, and the API reference must name every public name.
"""

from __future__ import annotations

import argparse
import importlib.util
import linecache
import os
import re
import shlex
import shutil
import subprocess
import sys
import tomllib
from dataclasses import dataclass
from importlib import resources
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = [ROOT / "README.md", ROOT / "CONTRIBUTING.md", *sorted(DOCS.glob("*.md"))]

if not DOCS.is_dir():  # an installed test tree without the repository around it
    pytest.skip("the guide is not beside the tests", allow_module_level=True)

# Packages that some examples need and the test environments may lack: a
# page that needs one is skipped where it is missing.
OPTIONAL = {
    "soundfile",
    "tqdm",
    "matplotlib",
    "av",
    "mutagen",
    "soxr",
    "scipy",
    "dask",
    "distributed",
}


@dataclass(frozen=True)
class Block:
    language: str
    title: str | None
    text: str
    line: int  # of the first line of code, counted from 1
    marker: str  # the HTML comment on the line before the fence, or ""


_FENCE = re.compile(r"^(`{3,}|~{3,})\s*([\w+-]*)(.*)$")
_TITLE = re.compile(r'title="([^"]+)"')
_MARKER = re.compile(r"^<!--\s*(.*?)\s*-->$")


def blocks(page: Path) -> list[Block]:
    """The fenced code blocks of a page, in order."""
    found = []
    lines = page.read_text(encoding="utf-8").splitlines()
    at = 0
    while at < len(lines):
        opening = _FENCE.match(lines[at])
        if not opening:
            at += 1
            continue
        fence, language, info = opening.groups()
        title = _TITLE.search(info)
        before = lines[at - 1].strip() if at > 0 else ""
        marker = _MARKER.match(before)
        start = at + 1
        end = start
        while end < len(lines) and not lines[end].startswith(fence[0] * len(fence)):
            end += 1
        found.append(
            Block(
                language,
                title.group(1) if title else None,
                "\n".join(lines[start:end]) + "\n",
                start + 1,
                marker.group(1) if marker else "",
            )
        )
        at = end + 1
    return found


def _runs(block: Block) -> bool:
    if block.language == "python":
        return block.marker != "not run"
    return block.language == "console" and block.marker.startswith("run")


RUNNABLE = [page for page in PAGES if any(_runs(block) for block in blocks(page))]


# The command line's extra, qx_limiter[cli]: the console examples use all of it.
CLI_EXTRA = ("soundfile", "tqdm", "matplotlib", "av", "mutagen", "soxr")


def _cli_available() -> bool:
    return all(importlib.util.find_spec(name) is not None for name in CLI_EXTRA)


@pytest.fixture(scope="session")
def example_wav(tmp_path_factory):
    """The example file that the README's first command writes, made once."""
    if not _cli_available():
        return None
    path = tmp_path_factory.mktemp("example") / "example.wav"
    subprocess.run(
        [sys.executable, str(ROOT / "examples" / "make_example.py"), str(path)],
        check=True,
        capture_output=True,
        timeout=300,
    )
    return path


@pytest.fixture
def workspace(tmp_path, monkeypatch, example_wav):
    """A working folder with the repository's examples/ and the example
    file in it, and a bin/ folder whose qx-limiter and python are this
    interpreter's."""
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    if example_wav is not None:
        shutil.copyfile(example_wav, tmp_path / "example.wav")
    tools = tmp_path.parent / f"{tmp_path.name}-bin"
    tools.mkdir()
    (tools / "python").symlink_to(sys.executable)
    launcher = tools / "qx-limiter"
    launcher.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} -m qx_limiter_cli "$@"\n')
    launcher.chmod(0o755)
    monkeypatch.chdir(tmp_path)
    env = dict(os.environ, PATH=f"{tools}{os.pathsep}{os.environ.get('PATH', '')}", COLUMNS="80")
    env.pop("PYTHONSTARTUP", None)
    return tmp_path, env


@pytest.mark.parametrize("page", RUNNABLE, ids=[page.name for page in RUNNABLE])
def test_examples_run(page, workspace):
    folder, env = workspace
    page_blocks = blocks(page)
    if any(_runs(b) and b.language == "console" for b in page_blocks) and not _cli_available():
        pytest.skip("the command line's extra (qx_limiter[cli]) is not installed")
    namespace: dict[str, object] = {"__name__": "__guide__"}
    for block in page_blocks:
        if block.title is not None and block.language != "python":
            (folder / block.title).write_text(block.text, encoding="utf-8")
        if not _runs(block):
            continue
        if block.language == "python":
            # Named for where it starts on the page, so that a traceback
            # shows the block and points into the page.
            name = f"{page.relative_to(ROOT)}, the block from line {block.line}"
            linecache.cache[name] = (len(block.text), None, block.text.splitlines(True), name)
            code = compile(block.text, name, "exec")
            try:
                exec(code, namespace)
            except ModuleNotFoundError as error:
                if error.name and error.name.split(".")[0] in OPTIONAL:
                    pytest.skip(f"{page.name} needs {error.name}")
                raise
        else:
            _run_console(page, block, env)


def _commands(block: Block) -> list[tuple[str, list[str], int]]:
    """Each `$` command of a console block, the lines shown under it, and
    its line on the page."""
    commands: list[tuple[str, list[str], int]] = []
    for number, line in enumerate(block.text.splitlines(), block.line):
        if line.startswith("$ "):
            commands.append((line[2:], [], number))
        elif commands:
            commands[-1][1].append(line)
    return commands


def _shape(line: str) -> str:
    """A printed line with its numbers (figures and times) taken out."""
    line = line.replace("\u2212", "-")
    line = re.sub(r"[-+]?\d+(?:\.\d+)?", "#", line)
    return re.sub(r"\bpasses\b", "pass", line)


def _run_console(page: Path, block: Block, env: dict[str, str]) -> None:
    wanted = re.match(r"run(?::\s*status\s+(\d+))?$", block.marker)
    assert wanted, f"{page.name}:{block.line}: unknown marker <!-- {block.marker} -->"
    status = int(wanted.group(1) or 0)
    for command, shown, number in _commands(block):
        done = subprocess.run(
            ["bash", "-c", command], env=env, capture_output=True, text=True, timeout=300
        )
        where = f"{page.name}:{number}: {command}"
        printed = (done.stdout + done.stderr).splitlines()
        assert done.returncode == status, (
            f"{where}\nexited {done.returncode}, not {status}:\n" + "\n".join(printed)
        )
        if shown:
            # Standard error and output arrive in their own order: compare
            # the lines, not their order.
            assert sorted(map(_shape, printed)) == sorted(map(_shape, shown)), (
                f"{where}\nprints:\n"
                + "\n".join(printed)
                + "\nthe page shows:\n"
                + "\n".join(shown)
            )


def _shown_commands() -> list[tuple[str, int, list[str]]]:
    """Every qx-limiter command in a console block of any page: its page,
    line and arguments (up to a shell operator)."""
    found = []
    for page in PAGES:
        for block in blocks(page):
            if block.language != "console":
                continue
            for command, _, number in _commands(block):
                lexer = shlex.shlex(command, posix=True, punctuation_chars="|&;<>()")
                lexer.whitespace_split = True
                words = list(lexer)
                for at, word in enumerate(words):
                    if word == "qx-limiter":
                        args = []
                        for arg in words[at + 1 :]:
                            if arg and set(arg) <= set("|&;<>()"):
                                break
                            args.append(arg)
                        found.append((page.name, number, args))
    return found


SHOWN = _shown_commands()


@pytest.mark.parametrize(
    "page, line, args", SHOWN, ids=[f"{page}:{line}" for page, line, _ in SHOWN]
)
def test_shown_commands_parse(page, line, args):
    pytest.importorskip("soundfile")  # the command line's modules import it
    from qx_limiter_cli import _check, _options

    try:
        if args[:1] == ["check"]:
            parsed = _check.build_parser().parse_args(args[1:])
            _options.chosen_preset(parsed.preset, parsed.presets)
        else:
            files = [arg for at, arg in enumerate(args) if at and args[at - 1] == "--presets"]
            if files:
                # A page's own presets file: only its name matters here.
                pytest.skip("names a presets file of the page")
            _options.parse(args)
    except SystemExit as stop:
        if stop.code not in (0, None):
            pytest.fail(f"{page}:{line}: qx-limiter {shlex.join(args)} does not parse")
    except _options.UsageError as error:
        pytest.fail(f"{page}:{line}: qx-limiter {shlex.join(args)}: {error}")


def _guide_text() -> str:
    return "\n".join(page.read_text(encoding="utf-8") for page in PAGES)


def test_every_option_is_in_the_guide():
    pytest.importorskip("soundfile")
    from qx_limiter_cli import _check, _options

    text = _guide_text()
    missing = []
    for parser, command in (
        (_options.build_parser(), "qx-limiter"),
        (_check.build_parser(), "qx-limiter check"),
    ):
        for action in parser._actions:
            if action.help == argparse.SUPPRESS:
                continue  # not the user's to give
            for option in action.option_strings:
                if (
                    option.startswith("--")
                    and option != "--help"
                    and not re.search(re.escape(option) + r"(?![\w-])", text)
                ):
                    missing.append(f"{command} {option}")
    assert not missing, f"options the guide does not mention: {', '.join(missing)}"


def _minus(text: str) -> float:
    return float(text.replace("\u2212", "-").split()[0])


def test_the_preset_table_is_presets_toml():
    with resources.files("qx_limiter_cli").joinpath("presets.toml").open("rb") as file:
        presets = tomllib.load(file)
    rows = {}
    for line in (DOCS / "deliver.md").read_text(encoding="utf-8").splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) == 6 and re.fullmatch(r"`[\w-]+`", cells[0]):
            rows[cells[0].strip("`")] = cells
    assert list(rows) == list(presets), "the table's presets are not presets.toml's"
    for name, figures in presets.items():
        _, loudness, tolerance, ceiling, also, _ = rows[name]
        assert (_minus(loudness), _minus(tolerance), _minus(ceiling)) == (
            figures["loudness_lufs"],
            figures["tolerance_lu"],
            figures["ceiling_dbtp"],
        ), name
        for key, words in (
            ("max_short_term_lufs", "short-term at most"),
            ("max_momentary_lufs", "momentary at most"),
            ("loudness_range_lu", "loudness range"),
            ("codec", "verified after"),
        ):
            assert (key in figures) == (words in also), f"{name}: {key}"


def test_the_reference_names_every_public_name():
    import qx_limiter

    import qx_limiter_tools

    text = (DOCS / "reference.md").read_text(encoding="utf-8")
    named = set(re.findall(r"^::: ([\w.]+)$", text, re.MULTILINE))
    missing = [
        f"{module.__name__}.{name}"
        for module in (qx_limiter, qx_limiter_tools)
        for name in module.__all__
        if not name.startswith("__") and f"{module.__name__}.{name}" not in named
    ]
    assert not missing, f"the API reference lacks {', '.join(missing)}"


def test_the_readme_links_to_files_that_exist():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text)
    assert targets
    missing = [target for target in targets if "://" not in target and not (ROOT / target).exists()]
    assert not missing, f"README.md links to {', '.join(missing)}"
