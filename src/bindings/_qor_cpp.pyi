# Types of the extension module _qor_cpp, for editors and type checkers.
from collections.abc import Buffer, Sequence
from typing import Never, SupportsFloat, SupportsIndex, TypeAlias

# A sample is anything float() accepts that is not str or bytes.
_Sample: TypeAlias = SupportsFloat | SupportsIndex
# A series is a sequence of samples; a float64 buffer (a NumPy array) is read block-wise.
_Series: TypeAlias = Sequence[_Sample] | Buffer
_Collection: TypeAlias = Sequence[_Series] | Buffer
# A symbol is a one-character str (code point below 256), or bytes of length 1.
_Symbol: TypeAlias = str | bytes | bytearray
_Words: TypeAlias = Sequence[Sequence[_Symbol]]

class Motif:
    # Motif has no constructor: motifs come from Miner.mine, Miner.motifs and
    # PatternMiner.frequent.
    def __init__(self, *args: Never, **kwargs: Never) -> None: ...
    @property
    def pattern(self) -> str: ...
    @property
    def indexes(self) -> dict[int, list[int]]: ...
    @property
    def average_occurrences(self) -> dict[int, list[float]]: ...
    @property
    def representative(self) -> list[float]: ...
    @property
    def best_matches(self) -> dict[int, int]: ...
    @property
    def length(self) -> int: ...
    @property
    def naed(self) -> float: ...

class Miner:
    def __init__(
        self,
        minsup: float,
        seglen: SupportsIndex,
        alphabet: SupportsIndex,
        min_len: SupportsIndex = 3,
        max_len: SupportsIndex = 0,
        max_overlap: float = 0.9,
        k: SupportsIndex = 0,
    ) -> None: ...
    def mine(self, arg0: _Collection, /) -> list[Motif]: ...
    @property
    def motifs(self) -> list[Motif]: ...

class PatternMiner:
    def __init__(
        self,
        minsup: float,
        min_len: SupportsIndex = 3,
        max_len: SupportsIndex = 0,
        max_overlap: float = 0.9,
    ) -> None: ...
    def mine(self, arg0: _Words, /) -> None: ...
    @property
    def frequent(self) -> dict[str, Motif]: ...

def sax(ts: _Collection, seglen: SupportsIndex, alphabet: SupportsIndex) -> list[list[str]]: ...
