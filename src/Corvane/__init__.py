"""Corvane: a small image type with structure-preserving PNG and BMP round trips.

The native extension is ``Corvane.simpleImage_ext``.

``inflater`` names what the extension inflates PNG data with: ``"isa-l"``
(ISA-L's igzip, where the build found it) or ``"zlib"``. Both give the same
images and the same errors; ISA-L opens files faster.
"""

from ._build import inflater

__version__ = "0.1.0"
__all__ = ["inflater"]
