"""Which layout a file's first records fit: the headers of up to 16 records within its first MiB,
read as each layout in turn, by decoders over an input already open."""
from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from . import _native
from ._layouts import DESCRIPTIONS

RECORDS = 16  # headers looked at per layout
SPAN = 1 << 20  # only records whose header starts in the first MiB count

NOT_ONE = "not one whole"
# A layout's verdict on the first records: how many fit (0 where they do not), why not, and
# how many whole records chained as it, fitting or not.
Verdict = Tuple[int, str, int]


def _increasing(counters: np.ndarray) -> bool:
    return bool(np.all(np.diff(counters.astype(np.int64)) > 0))


def _agree(layout: str, columns: Any) -> Optional[str]:
    """Why the header values of consecutive records do not look like one recording's, or None."""
    d = DESCRIPTIONS[layout]
    block = columns[d.block_field]
    small = np.flatnonzero(block < d.plausible_from)
    if len(small):
        if d.block_rule == "record_size":
            return f"record {small[0]} has an {d.block_field} of {block[small[0]]}"
        # Records without samples are header-long runs that any bytes chain into.
        return f"a record has no {d.block_field}"
    for name in d.constant:
        if len(np.unique(columns[name])) > 1:
            return f"their {name} differ"
    if not _increasing(columns[d.counter]):
        return f"their {d.counter} does not increase"
    return None


def verdict(layout: str, scan_first: Callable[[int], Tuple[Any, Any, bool]]) -> Verdict:
    """How many of the first records fit `layout`. `scan_first(n)` gives the header columns and
    positions of up to n records and whether the walk stopped at a record that cannot be read;
    a record cut by the end of the input ends the walk quietly and counts as fitting."""
    columns, positions, corrupt = scan_first(RECORDS)
    n = int(np.searchsorted(positions[:-1], SPAN))  # records whose header starts in the span
    if corrupt and n == len(positions) - 1 and n < 2:
        # A record that cannot be read after a few that fit is a damaged recording; at the
        # start it says the layout is another.
        return 0, f"record {n} at byte offset {int(positions[-1])} cannot be read as {layout}", n
    if n == 0:
        return 0, f"{NOT_ONE} {layout} record", 0
    head = {name: col[:n] for name, col in columns.items()}
    why = _agree(layout, head)
    return (0, why, n) if why else (n, "", n)


def decide(name: str, verdicts: List[Tuple[str, Verdict]]) -> str:
    """The one layout the first records fit; ValueError saying why when none or both do, or when
    too little is there to tell. Two records or more that fit outweigh one. Where the records
    chained as one layout two or more times without fitting, and as none once, more than a
    record's worth of bytes was there: they fit neither layout."""
    strong = [layout for layout, (n, _, _) in verdicts if n >= 2]
    if len(strong) == 1:
        return strong[0]
    if strong:
        raise ValueError(f"{name}: its first records read as WD1 and as WD2 alike; "
                         "give the layout")
    weak = [layout for layout, (n, _, _) in verdicts if n == 1]
    unknown = [layout for layout, (n, why, _) in verdicts if not n and why.startswith(NOT_ONE)]
    if len(weak) == 1 and not unknown:
        return weak[0]
    if weak or (unknown and all(whole < 2 for _, (_, _, whole) in verdicts)):
        raise ValueError(f"{name}: too short to tell its layout")
    reasons = "; ".join(f"as {layout}, {why}" for layout, (_, why, _) in verdicts)
    raise ValueError(f"{name}: its first records fit neither layout ({reasons})")


def verdicts(filename: Any, again: Callable[[], Any]) -> List[Tuple[str, Verdict]]:
    """Each layout's verdict on the first records of the input that `again()` gives from its
    start, once per layout (the decoder reads it; an input error is raised)."""
    out = []
    for layout in DESCRIPTIONS:
        decoder = _native.Decoder(again(), layout, filename)

        def scan_first(count: int, decoder: Any = decoder) -> Tuple[
                Dict[str, np.ndarray], np.ndarray, bool]:
            scanned = decoder.scan(0, count, True)
            if scanned.outcome == "error":
                scanned.raise_outcome("")
            return scanned.columns, scanned.positions, scanned.outcome == "corrupt"
        out.append((layout, verdict(layout, scan_first)))
    return out


def refuting(filename: Any, layout: str, again: Callable[[], Any],
             length: Optional[int]) -> Optional[str]:
    """The other layout, where `layout` decodes at most one whole record of the input followed
    by an incomplete tail (`length`: the input's bytes, None where not known: no tail is taken
    for incomplete) and the other layout chains two or more whole records that pass the
    plausibility rule (records without samples chain through any bytes), whatever their
    other values; else None. `again()` gives the input from its start."""
    if length is None:
        return None
    mine = _native.Decoder(again(), layout, filename).scan(0, 2, True)
    ends = mine.positions
    if len(mine) >= 2 or mine.outcome or ends is None or int(ends[-1]) >= length:
        return None
    for other, d in DESCRIPTIONS.items():
        if other == layout:
            continue
        try:
            theirs = _native.Decoder(again(), other, filename).scan(0, 2, True)
        except (OSError, ValueError):  # the other layout's probe does not read it either
            continue
        if len(theirs) >= 2 and bool(np.all(theirs.columns[d.block_field] >= d.plausible_from)):
            return other
    return None
