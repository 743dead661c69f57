# The batch decoder of src/python/columns_module.cpp, as vorn_columns/__init__.py uses it.
from typing import Any, Callable, Dict, Literal, Optional, Tuple, overload

import numpy as np
import numpy.typing as npt

from . import Batch

# (stop, detail): the reason a walk ended, and the corrupt record's offset or the
# errno of an input error, else None.
_Stop = Tuple[int, Any]
_Columns = Tuple[npt.NDArray[Any], ...]

class Decoder:
    def __new__(cls, path: bytes, layout: str, filename: Any) -> Decoder: ...
    @property
    def position(self) -> int: ...
    @property
    def channels(self) -> int: ...
    def decode(self, max_events: int, max_bytes: int, pooled: bool, /
               ) -> Tuple[_Columns, npt.NDArray[Any], npt.NDArray[np.int64], _Stop]: ...
    @overload
    def scan(self, max_events: int, store: Literal[True], /
             ) -> Tuple[int, _Columns, npt.NDArray[np.int64], _Stop]: ...
    @overload
    def scan(self, max_events: int, store: Literal[False], /) -> Tuple[int, None, None, _Stop]: ...
    def seek(self, position: int, /) -> None: ...
    def iterate(self, start: int, stop: int, max_events: int, max_bytes: int, /) -> None: ...
    def next_batch(self) -> Batch: ...

def register(batch_type: type, fields: Dict[str, Tuple[str, ...]],
             failure: Callable[[_Stop, Any, str, int], Optional[BaseException]], /) -> None: ...

class ColumnMemory:
    """The owner of a batch's memory: the base of its arrays."""
