"""The layer checker on small trees: what it must find, and what it must let pass."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check-layers.py"
module_source = importlib.util.spec_from_file_location("check_layers", SCRIPT)
check_layers = importlib.util.module_from_spec(module_source)
sys.modules["check_layers"] = check_layers
module_source.loader.exec_module(check_layers)

# low <- middle <- high, and a test folder that sees everything.
TABLE = {
    "lib/low": [],
    "lib/middle": ["lib/low"],
    "lib/high": ["lib/middle", "lib/low"],
    "tests/**": [check_layers.ANY],
}

BASE = {
    "lib/low/errors.h": "",
    "lib/low/errors.cpp": '#include "errors.h"\n',
    "lib/middle/box.h": '#include "errors.h"\n',
    "lib/middle/box.cpp": '#include "box.h"\n#include "errors.h"\n',
    "lib/high/window.cpp": '#include "box.h"\n#include "errors.h"\n',
    "tests/unit/tst_box.cpp": '#include "box.h"\n#include "window.cpp"\n#include "tst_box.moc"\n',
}


def make_tree(root: Path, files: dict[str, str]) -> None:
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


@pytest.mark.parametrize(
    "extra, expected",
    [
        pytest.param({"lib/low/errors.cpp": '#include "box.h"\n'}, "'lib/low' may not include \"box.h\"",
                     id="lower layer includes a higher one"),
        pytest.param({"lib/middle/box.cpp": '#include "window.h"\n', "lib/high/window.h": ""},
                     "'lib/middle' may not include \"window.h\"", id="middle includes the top"),
        pytest.param({"lib/low/errors.cpp": '#include "tests/unit/helper.h"\n', "tests/unit/helper.h": ""},
                     "may not include", id="library includes a test"),
        pytest.param({"lib/other/thing.cpp": ""}, "folder 'lib/other' is not in the table", id="unknown folder"),
        pytest.param({"lib/middle/errors.h": ""}, "names more than one header", id="bare name twice"),
        pytest.param({"lib/high/window.cpp": '#include "missing.h"\n'}, "is no header of the tree",
                     id="unresolved include"),
        pytest.param({"lib/low/sub/errors2.h": ""}, "folder 'lib/low/sub' is not in the table",
                     id="subfolder of an exact key"),
    ],
)
def test_finds_violation(tmp_path: Path, extra: dict[str, str], expected: str) -> None:
    make_tree(tmp_path, {**BASE, **extra})
    problems, _, _ = check_layers.check(tmp_path, TABLE)
    assert any(expected in problem for problem in problems), problems


def test_layered_tree_passes(tmp_path: Path) -> None:
    make_tree(tmp_path, {**BASE, "build/lib/low/junk.cpp": '#include "nowhere.h"\n'})
    problems, files, includes = check_layers.check(tmp_path, TABLE)
    assert problems == []
    assert (files, includes) == (6, 8)


@pytest.mark.parametrize(
    "table, cycle",
    [
        pytest.param({"a": ["b"], "b": ["a"]}, ["a", "b", "a"], id="two folders"),
        pytest.param({"a": ["b"], "b": ["c"], "c": ["a"]}, ["a", "b", "c", "a"], id="three folders"),
        pytest.param({"a": ["b", "c"], "b": ["c"], "c": []}, None, id="diamond, no cycle"),
    ],
)
def test_cycles_of_the_table(table: dict[str, list[str]], cycle: list[str] | None) -> None:
    assert check_layers.table_cycle(table) == cycle


def test_cycle_of_includes_in_a_permissive_table(tmp_path: Path) -> None:
    # A table that allows both directions still may not let the folders include each other.
    table = {"lib/a": ["lib/b"], "lib/b": ["lib/a"]}
    make_tree(tmp_path, {"lib/a/a.h": '#include "b.h"\n', "lib/b/b.h": '#include "a.h"\n'})
    problems, _, _ = check_layers.check(tmp_path, table)
    assert any("the table of layers has a cycle" in problem for problem in problems), problems
    assert any("include each other in a cycle" in problem for problem in problems), problems


def test_repository_table_has_no_cycle() -> None:
    assert check_layers.table_cycle(check_layers.LAYERS) is None
