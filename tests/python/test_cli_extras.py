"""The command line's optional extra: declared in the package, and missing
packages reported in one line, while the module itself needs none of them.

Runs everywhere, with or without the extra installed: a missing package is
imitated by blocking its import in a fresh interpreter.
"""

import importlib.metadata
import importlib.util

import pytest
from conftest import run_python


def test_extra_and_console_script_are_declared():
    requires = importlib.metadata.requires("qx_limiter")
    assert {r for r in requires if 'extra == "cli"' in r} == {
        'soundfile>=0.12; extra == "cli"',
        'tqdm>=4.60; extra == "cli"',
        'matplotlib>=3.7; extra == "cli"',
        'av>=14; extra == "cli"',
        'mutagen>=1.47; extra == "cli"',
        'soxr>=0.3; extra == "cli"',
    }
    assert not [r for r in requires if "extra" not in r and not r.startswith("numpy")]
    scripts = importlib.metadata.entry_points(group="console_scripts", name="qx-limiter")
    assert [script.value for script in scripts] == ["qx_limiter_cli:main"]


def installed(package):
    return importlib.util.find_spec(package) is not None


@pytest.mark.parametrize(
    "blocked, plot",
    [
        (["soundfile"], False),
        (["tqdm"], False),
        (["soundfile", "tqdm"], False),
        (["matplotlib"], True),
        (["soundfile", "tqdm", "matplotlib"], True),
    ],
)
def test_missing_extra_is_named_in_one_line(blocked, plot):
    # Where the extra is not installed at all, every package of it is missing.
    needed = ["soundfile", "tqdm"] + ["matplotlib"] * plot
    missing = [name for name in needed if name in blocked or not installed(name)]
    names = {1: "{} is", 2: "{} and {} are", 3: "{}, {} and {} are"}[len(missing)]
    args = ["in.wav", "-o", "out.wav"] + ["--plot", "p.png"] * plot
    code, out, err = run_python(f"""
        import sys
        for name in {blocked!r}:
            sys.modules[name] = None  # makes "import name" fail
        import qx_limiter
        from qx_limiter_cli import main
        sys.exit(main({args!r}))
    """)
    assert (code, out) == (1, "")
    assert err == (
        f"qx-limiter: error: {names.format(*missing)} not installed; the command "
        f"line needs the extra: pip install 'qx_limiter[cli]' (from a clone of the "
        f"repository: pip install '.[cli]')\n"
    )


def test_help_needs_no_extra():
    code, out, err = run_python("""
        import sys
        for name in ("soundfile", "tqdm", "matplotlib"):
            sys.modules[name] = None
        from qx_limiter_cli import main
        main(["--help"])
    """)
    assert (code, err) == (0, "")
    assert out.startswith("usage: qx-limiter [-h]") and "--threshold-dBFS X" in out
