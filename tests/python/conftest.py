import platform

import pytest

import Corvane.simpleImage_ext as ext

PYPY = platform.python_implementation() == "PyPy"
# The class as the host names it in its own messages (cpyext drops the module part).
TP_NAME = "SimpleImage" if PYPY else "Corvane.simpleImage_ext.SimpleImage"


@pytest.fixture
def m():
    return ext


@pytest.fixture
def S():
    return ext.SimpleImage


def make(width=2, height=2, **kw):
    """An image whose pixel bytes are 0, 1, 2, ... so every byte is distinguishable."""
    return ext.SimpleImage(width, height, bytes(i % 256 for i in range(width * height * 3)), **kw)
