"""Instances whose __init__ never ran are refused by every member; Motif cannot be made at all."""

import copy

import pytest

import _qor_cpp as q

WORDS = [["a", "b"], ["b", "c"]]
SERIES = [[1.0, 2.0, 3.0]]

# Every method and property of the two classes with a constructor, as calls
# on an instance.
MEMBERS = {
    q.Miner: [lambda o: o.mine(SERIES), lambda o: o.motifs],
    q.PatternMiner: [lambda o: o.mine(WORDS), lambda o: o.frequent],
}


class MinerSkippingInit(q.Miner):
    def __init__(self):  # never calls the base's __init__
        pass


class PatternMinerSkippingInit(q.PatternMiner):
    def __init__(self):
        pass


@pytest.mark.parametrize(
    "cls, sub, member",
    [
        (cls, sub, i)
        for cls, sub in [(q.Miner, MinerSkippingInit), (q.PatternMiner, PatternMinerSkippingInit)]
        for i in range(2)
    ],
)
def test_members_of_an_uninitialised_instance_raise_type_error(cls, sub, member):
    for obj in (cls.__new__(cls), sub.__new__(sub)):
        with pytest.raises(
            TypeError,
            match=rf"{type(obj).__name__} object is not initialised: "
            rf"_qor_cpp\.{cls.__name__}\.__init__\(\) was never called",
        ):
            MEMBERS[cls][member](obj)
    # pybind11 itself refuses the subclass whose __init__ skips the base's.
    with pytest.raises(TypeError, match="__init__"):
        sub()


def test_initialising_later_makes_the_instance_usable():
    miner = q.Miner.__new__(q.Miner)
    miner.__init__(1.0, 1, 3)
    assert [m.pattern for m in miner.mine([[-1.0, 0.0, 1.0]])] == ["abc"]


@pytest.mark.parametrize(
    "make",
    [
        lambda: q.Motif(),
        lambda: q.Motif.__new__(q.Motif),
        lambda: object.__new__(q.Motif),
        lambda: type("MotifSub", (q.Motif,), {})(),
        lambda: (lambda sub: sub.__new__(sub))(type("MotifSub", (q.Motif,), {})),
        lambda: copy.copy(q.Miner(1.0, 1, 3).mine([[-1.0, 0.0, 1.0]])[0]),
    ],
)
def test_motif_cannot_be_made_from_python(make):
    with pytest.raises(TypeError, match="Motif"):  # naming Motif or the subclass
        make()
