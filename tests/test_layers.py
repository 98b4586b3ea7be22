"""The C++ sources include one way, from each layer of src/ down to those
below it (scripts/check_layers.py), and the check itself catches the faults
it is there for."""

import importlib.util
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("check_layers", ROOT / "scripts" / "check_layers.py")
check_layers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_layers)


def test_sources_follow_the_layers():
    assert check_layers.check(ROOT) == []


def make_tree(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


BASE = {
    "src/core/a.hpp": "#pragma once\n#include <vector>\n",
    "src/sax/s.hpp": '#include "core/a.hpp"\n',
    "src/patterns/p.hpp": '#include "core/a.hpp"\n#include "sax/s.hpp"\n',
    "src/bindings/m.cpp": '#include <pybind11/pybind11.h>\n#include "patterns/p.hpp"\n',
    "tests/cpp/check.hpp": "",
    "tests/cpp/t.cpp": '#include "check.hpp"\n#include "patterns/p.hpp"\n',
    "bench/b.cpp": '#include "sax/s.hpp"\n',
}


def test_a_clean_tree_passes(tmp_path):
    make_tree(tmp_path, BASE)
    assert check_layers.check(tmp_path) == []


@pytest.mark.parametrize(
    "changes, expected",
    [
        (
            {"src/core/a.hpp": '#include "sax/s.hpp"\n'},
            'layer core includes "sax/s.hpp" of the higher layer sax',
        ),
        ({"src/sax/s.hpp": '#include "../core/a.hpp"\n'}, '"../core/a.hpp" is not a path from src/'),
        ({"src/sax/s.cpp": '#include "s.hpp"\n'}, '"s.hpp" is not a path from src/'),
        ({"src/sax/s.cpp": '#include "sax/gone.hpp"\n'}, '"sax/gone.hpp" is not a file under src/'),
        ({"src/extra/x.hpp": ""}, "folder 'extra' is not one of the layers"),
        ({"src/sax/t.hpp": "#include <pybind11/stl.h>\n"}, "only src/bindings/ may include <pybind11/stl.h>"),
        (
            {"src/sax/t.hpp": '#include "sax/s.hpp"\n', "src/sax/s.hpp": '#include "sax/t.hpp"\n'},
            "include cycle",
        ),
        ({"tests/cpp/u.cpp": '#include "bindings/m.cpp"\n'}, "belongs to the bindings"),
        ({"bench/c.cpp": '#include "../src/sax/s.hpp"\n'}, "climbs out of its folder"),
    ],
)
def test_faults_are_reported(tmp_path, changes, expected):
    make_tree(tmp_path, {**BASE, **changes})
    problems = check_layers.check(tmp_path)
    assert any(expected in p for p in problems), problems
