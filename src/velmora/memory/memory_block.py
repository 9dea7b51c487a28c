"""A block of a memory pool: a byte range given by its offset and size.

The free-block index stores these opaquely and compares them only with
``==``; pools use the small range helpers below to split a block on
allocation and to merge neighbours on release.  Blocks are immutable
values: two blocks are equal when they describe the same range of the same
pool, and equal blocks hash alike.
"""

from typing import Any, Hashable, Optional, Tuple

__all__ = ["MemoryBlock"]


def _as_offset(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be non-negative, got {value}")
    return int(value)


class MemoryBlock:
    """Range ``[offset, offset + size)`` of the pool identified by ``pool_id``."""

    __slots__ = ("_offset", "_size", "_pool_id")
    _offset: int
    _size: int
    _pool_id: Optional[Hashable]

    def __init__(self, offset: int, size: int, pool_id: Optional[Hashable] = None) -> None:
        object.__setattr__(self, "_offset", _as_offset("offset", offset))
        object.__setattr__(self, "_size", _as_offset("size", size))
        hash(pool_id)  # a block must stay hashable
        object.__setattr__(self, "_pool_id", pool_id)

    # -- value ----------------------------------------------------------------
    @property
    def offset(self) -> int:
        return self._offset

    @property
    def size(self) -> int:
        return self._size

    @property
    def pool_id(self) -> Optional[Hashable]:
        return self._pool_id

    @property
    def end(self) -> int:
        """First offset past the block."""
        return self._offset + self._size

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("MemoryBlock is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("MemoryBlock is immutable")

    def _key(self) -> Tuple[Any, int, int]:
        return (self._pool_id, self._offset, self._size)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, MemoryBlock):
            return NotImplemented
        return self._key() == other._key()

    def __ne__(self, other: object) -> bool:
        result = self.__eq__(other)
        return result if result is NotImplemented else not result

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        pool = "" if self._pool_id is None else f", pool_id={self._pool_id!r}"
        return f"MemoryBlock(offset={self._offset}, size={self._size}{pool})"

    def __reduce__(self) -> Tuple[Any, Tuple[int, int, Optional[Hashable]]]:
        return (MemoryBlock, (self._offset, self._size, self._pool_id))

    # -- range helpers used by pools -----------------------------------------
    def contains(self, offset: int) -> bool:
        """True when ``offset`` lies inside the block."""
        return self._offset <= offset < self.end

    def is_adjacent(self, other: "MemoryBlock") -> bool:
        """True when the two blocks of one pool touch without overlapping."""
        return self._pool_id == other._pool_id and (
            self.end == other._offset or other.end == self._offset
        )

    def merge(self, other: "MemoryBlock") -> "MemoryBlock":
        """The block covering two adjacent blocks of the same pool."""
        if not self.is_adjacent(other):
            raise ValueError(f"{self!r} and {other!r} are not adjacent")
        start = min(self._offset, other._offset)
        return MemoryBlock(start, self._size + other._size, self._pool_id)

    def split(self, size: int) -> Tuple["MemoryBlock", Optional["MemoryBlock"]]:
        """Cut the first ``size`` bytes off; the rest is ``None`` when nothing remains."""
        size = _as_offset("size", size)
        if size > self._size:
            raise ValueError(f"cannot split {size} bytes off a block of {self._size}")
        head = MemoryBlock(self._offset, size, self._pool_id)
        if size == self._size:
            return head, None
        return head, MemoryBlock(self._offset + size, self._size - size, self._pool_id)
