# Type information for the native module Corvane.simpleImage_ext.
import struct as struct
import zlib as zlib
from io import BytesIO as BytesIO
from pathlib import Path as Path
from typing import Any, Dict, Iterable, List as List, Optional, Sequence as Sequence, Tuple as Tuple, Union as Union

PNG_SIGNATURE: bytes
ImageInput = Union[str, Path, bytes, bytearray, "SimpleImage"]

class SimpleImage:
    """A minimal RGB image helper with optional alpha and format memory."""

    def __init__(
        self,
        width: int,
        height: int,
        pixels: Any,
        alpha: Any = None,
        png_chunks: Optional[Iterable[Tuple[bytes, Optional[bytes], int]]] = None,
        bmp_header: Any = None,
        png_filters: Any = None,
    ) -> None:
        """An image of width x height pixels from RGB bytes (3 a pixel, rows top to bottom).

        Every buffer and container given is copied. Raises ValueError when a buffer's
        length does not match the dimensions, OverflowError for dimensions outside a
        signed 32-bit int or a size beyond 2**31 - 1 bytes.

            SimpleImage(2, 1, bytes([255, 0, 0, 0, 0, 255]))
        """
    @property
    def size(self) -> Tuple[int, int]:
        """(width, height)."""
    width: int
    height: int
    _pixels: Optional[bytearray]
    _alpha: Any
    _png_chunks: Any
    _png_filters: Any
    _bmp_header: Any
    @staticmethod
    def _streamToImage(stream: Any) -> Any:
        """Decodes the PNG or BMP at the start of a seekable byte stream into the 8-tuple loader result."""
    @classmethod
    def open(cls, source: ImageInput) -> "SimpleImage":
        """Opens a PNG (8-bit RGB or RGBA, not interlaced) or a 24-bit BMP from a path or a file's bytes.

        The image keeps how its file was built (PNG chunks and row filters, BMP header
        values). Prints one line, "[SimpleImage] Opened image: WxH, channels=N".
        Raises ValueError for data it does not support or that is damaged, zlib.error
        for a broken compressed stream, OSError for a file that cannot be read.

            img = SimpleImage.open("photo.png")
        """
    def getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]:
        """The (r, g, b) of pixel (x, y); coords must be a tuple. ValueError outside the image."""
    def putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None:
        """Sets pixel (x, y) to (r, g, b); each component is taken modulo 256."""
    def copy(self) -> "SimpleImage":
        """A new image that shares no buffer with this one."""
    def save(self, path: str) -> None:
        """Saves as PNG, in the shape of the file it was read from (as BMP if it was read from BMP).

        Every check runs before the file is opened: a refused save leaves an existing
        file untouched.
        """
    def saveBmp(self, path: str) -> None:
        """Saves as an uncompressed 24-bit BMP (the alpha plane is dropped)."""
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any) -> None: ...

def _readChunk(stream: Any) -> Tuple[bytes, bytes]:
    """The next PNG chunk of a stream as (type, data), its CRC checked; (b"", b"") at a clean end."""
def _makeChunk(chunkType: bytes, data: bytes) -> bytes:
    """One PNG chunk: length, type, data and CRC."""
def _writePng(
    path: Any, width: int, height: int, pixels: Any, alpha: Any = None, filter_types: Any = None
) -> None:
    """Writes a PNG of signature, IHDR, one IDAT and IEND, each row filtered with its filter type (0 without)."""
def _split_idat_payload(data: Optional[bytes], lengths: Optional[List[int]]) -> Any:
    """Cuts a compressed stream into pieces whose sizes follow recorded IDAT lengths."""
def _writePngWithChunks(
    path: Any, width: int, height: int, pixels: Any, alpha: Any, chunks: Any, filter_types: Any = None
) -> Any:
    """Writes a PNG that reproduces a kept chunk list around newly compressed image data."""
def _writeBmp(path: Any, width: int, height: int, pixels: Any, meta: Optional[Dict[str, int]] = None) -> None:
    """Writes an uncompressed 24-bit BMP, bottom-up, with the resolution and colour counts of `meta`."""
