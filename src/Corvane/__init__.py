"""Corvane: a small image type with structure-preserving PNG and BMP round trips.

The native extension is ``Corvane.simpleImage_ext``.
"""

__version__ = "0.1.0"
