"""The Python surface of _qor_cpp: registration, signatures, argument conversion, ownership."""

import ast
import gc
import glob
import os
import pydoc
import re
import shutil
import subprocess
from fractions import Fraction

import pytest

import _qor_cpp as q
from conftest import MOTIF_PROPS

ABC = [[-1.0, 0.0, 1.0]]  # one series whose SAX word (seglen 1, alphabet 3) is "abc"


@pytest.fixture
def motif():
    return q.Miner(1.0, 1, 3).mine(ABC)[0]


def test_registration_order():
    assert [n for n in vars(q) if not n.startswith("_")] == ["Motif", "Miner", "PatternMiner", "sax"]


@pytest.mark.parametrize(
    "cls, members",
    [
        (q.Motif, MOTIF_PROPS + ["__repr__"]),
        (q.Miner, ["__init__", "mine", "motifs"]),
        (q.PatternMiner, ["__init__", "mine", "frequent"]),
    ],
)
def test_class_members_and_their_order(cls, members):
    assert [n for n in vars(cls) if n in members or not n.startswith("_")] == members


SIGNATURES = [
    (q.sax, "sax(ts: List[List[float]], seglen: int, alphabet: int) -> List[List[str]]"),
    (
        q.Miner.__init__,
        "__init__(self: _qor_cpp.Miner, minsup: float, seglen: int, alphabet: int, "
        "min_len: int = 3, max_len: int = 0, max_overlap: float = 0.9, k: int = 0) -> None",
    ),
    (q.Miner.mine, "mine(self: _qor_cpp.Miner, arg0: List[List[float]]) -> List[_qor_cpp.Motif]"),
    (
        q.PatternMiner.__init__,
        "__init__(self: _qor_cpp.PatternMiner, minsup: float, min_len: int = 3, "
        "max_len: int = 0, max_overlap: float = 0.9) -> None",
    ),
    (q.PatternMiner.mine, "mine(self: _qor_cpp.PatternMiner, arg0: List[List[str]]) -> None"),
    (q.Motif.__repr__, "__repr__(self: _qor_cpp.Motif) -> str"),
]


@pytest.mark.parametrize("fn, signature", SIGNATURES, ids=[s.split("(")[0] for _, s in SIGNATURES])
def test_docstring_is_the_generated_signature_only(fn, signature):
    assert fn.__doc__.strip() == signature


@pytest.mark.parametrize(
    "cls, name, result",
    [
        (q.Motif, "pattern", "str"),
        (q.Motif, "indexes", "Dict[int, List[int]]"),
        (q.Motif, "average_occurrences", "Dict[int, List[float]]"),
        (q.Motif, "representative", "List[float]"),
        (q.Motif, "best_matches", "Dict[int, int]"),
        (q.Motif, "length", "int"),
        (q.Motif, "naed", "float"),
        (q.Miner, "motifs", "List[_qor_cpp.Motif]"),
        (q.PatternMiner, "frequent", "Dict[str, _qor_cpp.Motif]"),
    ],
)
def test_property_signature(cls, name, result):
    prop = vars(cls)[name]
    assert isinstance(prop, property) and prop.fset is None and prop.fdel is None
    getter_doc = prop.fget.__doc__.strip()
    assert re.fullmatch(rf"\((?:self|arg0): _qor_cpp\.{cls.__name__}\) -> {re.escape(result)}", getter_doc)
    assert (prop.__doc__ or "").strip() in ("", getter_doc)


@pytest.mark.parametrize("obj", [q, q.Motif, q.Miner, q.PatternMiner])
def test_no_docstrings(obj):
    assert not obj.__doc__


def test_help_shows_signatures():
    text = pydoc.render_doc(q, renderer=pydoc.plaintext)
    for _, signature in SIGNATURES:
        assert signature in text


class Index:
    def __index__(self):
        return 1


@pytest.mark.parametrize(
    "args, expected",
    [
        (([[1, -1]], 1, 2), [["b", "a"]]),  # int samples
        ((((Fraction(1, 2), -0.5),), 1, 2), [["b", "a"]]),  # tuple of objects with __float__
        (([[0.0]], Index(), 2), [["a"]]),  # object with __index__ for an int
        (([[0.0]], 2**31 - 1, 2), [["a"]]),
        (([[0.0]], -(2**31), 2), [[]]),
    ],
)
def test_accepted_conversions(args, expected):
    assert q.sax(*args) == expected


def test_int_accepted_for_float():
    assert [m.pattern for m in q.Miner(1, 1, 3, max_overlap=1).mine([[-1, 0, 1]])] == ["abc"]
    q.PatternMiner(1, max_overlap=0)


@pytest.mark.parametrize(
    "call",
    [
        lambda: q.sax([[0.0]], 1.0, 2),
        lambda: q.sax([[0.0]], 2**31, 2),
        lambda: q.sax([[0.0]], 1, -(2**31) - 1),
        lambda: q.sax([["1.0"]], 1, 2),
        lambda: q.sax(["ab"], 1, 2),
        lambda: q.Miner(0.5, 4.0, 5),
        lambda: q.Miner(0.5, 4, 5, k=2**31),
        lambda: q.Miner(0.5, 4, 5, bogus=1),
        lambda: q.PatternMiner(0.5, 3.0),
        lambda: q.PatternMiner(0.5).mine(["ab", "bc"]),
        lambda: q.PatternMiner(0.5).mine([b"ab"]),
        lambda: q.PatternMiner(0.5).mine([[1]]),
        lambda: q.Miner(0.5, 4, 5).mine(ts=[[1.0, 2.0]]),
        lambda: q.Miner(0.5, 4, 5).mine(arg0=[[1.0, 2.0]]),
        lambda: q.PatternMiner(0.5).mine(words=[["a"]]),
        lambda: q.Motif(),
    ],
)
def test_type_error(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("char", [None, "", "ab", "\u20ac", "\u0100", b"", b"ab"])
def test_bad_character_is_value_error(char):
    with pytest.raises(ValueError):
        q.PatternMiner(0.5).mine([["a", char]])


@pytest.mark.parametrize(
    "char, code",
    [
        ("a", 0x61),
        ("\x00", 0),
        ("\x7f", 0x7F),
        ("\x80", 0x80),
        ("\xe9", 0xE9),
        ("\xff", 0xFF),
        (b"a", 0x61),
        (b"\xe9", 0xE9),
        (bytearray(b"\xff"), 0xFF),
    ],
)
def test_character_round_trip_is_latin1(char, code):
    pm = q.PatternMiner(1.0)
    pm.mine([[char] * 3])
    key = chr(code) * 3
    assert list(pm.frequent) == [key]
    m = pm.frequent[key]
    assert m.pattern == key and repr(m) == f"Motif('{key}')" and m.indexes == {0: [0]}


@pytest.mark.parametrize("name", MOTIF_PROPS)
def test_motif_properties_are_read_only(motif, name):
    with pytest.raises(AttributeError):
        setattr(motif, name, 1.0)
    with pytest.raises(AttributeError):
        delattr(motif, name)


@pytest.mark.parametrize("obj, name", [(q.Miner(1.0, 1, 3), "motifs"), (q.PatternMiner(1.0), "frequent")])
def test_result_properties_are_read_only(obj, name):
    with pytest.raises(AttributeError):
        setattr(obj, name, [])
    for setting in ("minsup", "seglen", "alphabet", "min_len", "max_len", "max_overlap", "k"):
        assert not hasattr(obj, setting)


def test_reads_are_fresh_copies(motif):
    miner = q.Miner(1.0, 1, 3)
    miner.mine(ABC)
    first, second = miner.motifs, miner.motifs
    assert first is not second and first[0] is not second[0]
    assert [m.pattern for m in first] == [m.pattern for m in second] == ["abc"]
    first.clear()
    assert [m.pattern for m in miner.motifs] == ["abc"]
    before = [getattr(motif, n) for n in MOTIF_PROPS]
    assert all(getattr(motif, n) is not getattr(motif, n) for n in MOTIF_PROPS[1:5])
    motif.representative.append(1.0)
    motif.indexes[0].append(7)
    del motif.indexes[0]
    motif.average_occurrences[0].clear()
    motif.best_matches[5] = 5
    assert [getattr(motif, n) for n in MOTIF_PROPS] == before
    pm = q.PatternMiner(1.0)
    pm.mine([list("abc")])
    pm.frequent.clear()
    assert pm.frequent is not pm.frequent and pm.frequent["abc"] is not pm.frequent["abc"]


def test_results_outlive_their_producer():
    miner = q.Miner(1.0, 1, 3)
    result, stored = miner.mine(ABC), miner.motifs
    pm = q.PatternMiner(1.0)
    pm.mine([list("abc")])
    found = pm.frequent["abc"]
    del miner, pm
    gc.collect()
    assert [m.pattern for m in result + stored + [found]] == ["abc"] * 3
    assert result[0].length == stored[0].length == 3 and found.indexes == {0: [0]}


def _interpreter(minor):
    root = shutil.which("pyenv") and subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout
    root = (root or "").strip() or os.path.expanduser("~/.pyenv")
    exes = sorted(glob.glob(f"{root}/versions/{minor}*/bin/python{minor}"))
    return pytest.param(exes[-1] if exes else None, id=minor)


PROBE = """
import os, sys
sys.setdlopenflags(os.RTLD_LAZY | os.RTLD_GLOBAL)
sys.path.insert(0, sys.argv[1])
try:
    import _qor_cpp
except ImportError as e:
    print(repr(("ImportError", str(e), sys.version)))
else:
    print(repr(("loaded", "", sys.version)))
"""


@pytest.mark.parametrize("exe", [_interpreter("3.11"), _interpreter("3.13")])
def test_other_interpreter_is_refused(exe, tmp_path):
    if exe is None:
        pytest.skip("interpreter not installed")
    shutil.copy(q.__file__, tmp_path / "_qor_cpp.so")
    run = subprocess.run([exe, "-I", "-c", PROBE, str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout, run.stderr
    kind, message, version = ast.literal_eval(run.stdout.strip().splitlines()[-1])
    if kind == "ImportError" and "undefined symbol" in message:
        pytest.skip(message)
    assert kind == "ImportError"
    assert message == (
        "Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}."
    )
