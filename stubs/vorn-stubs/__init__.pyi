# Type information for the extension module `vorn`, installed with it as a stub-only package.
# WD1Event and WD2Event exist only here, for type checkers: import them under
# `if typing.TYPE_CHECKING:`.
from typing import Iterator, Literal, TypeVar, TypedDict, Union, final, overload

import numpy as np
import numpy.typing as npt

__all__ = ["EventReader"]

class WD1Event(TypedDict):
    """One "WD1" record: six signed 32-bit header values, then unsigned 16-bit samples."""

    event_size: int
    board_id: int
    pattern: int
    board_channel: int
    event_counter: int
    timestamp: int
    data: npt.NDArray[np.uint16]

class WD2Event(TypedDict):
    """One "WD2" record; `data` holds `samples` values for each channel, channel after channel."""

    event_counter: int
    timestamp: int
    samples: int
    sampling_period: int
    channels: int
    data: npt.NDArray[np.float32]

_Event = TypeVar("_Event", bound=Union[WD1Event, WD2Event], covariant=True)

@final
class EventReader(Iterator[_Event]):
    """Reads an event file; iterating yields one dict per record until the file ends."""

    @overload
    def __new__(cls, path: str, reader_type: Literal["WD1"]) -> EventReader[WD1Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: Literal["WD2"]) -> EventReader[WD2Event]: ...
    @overload
    def __new__(
        cls, path: str, reader_type: Literal["WD1", "WD2"]
    ) -> EventReader[Union[WD1Event, WD2Event]]: ...
    def __iter__(self) -> EventReader[_Event]: ...
    def __next__(self) -> _Event: ...
