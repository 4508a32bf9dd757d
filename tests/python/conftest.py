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


def refuse_without_touching(path, old, call, exc, message=None, prefix=False):
    """call() must raise exc (with message, or a message starting with it) and
    leave path as it was: holding old, or absent when old is None."""
    if old is not None:
        path.write_bytes(old)
    with pytest.raises(exc) as e:
        call()
    if message is not None:
        text = str(e.value)
        assert text.startswith(message) if prefix else text == message
    assert path.read_bytes() == old if old is not None else not path.exists()


def load(data):
    """The loader result for a file's bytes, without the open() report."""
    import io
    return ext.SimpleImage._streamToImage(io.BytesIO(data))


def refusal(data, exc=ValueError):
    """The message with which the decoders refuse data."""
    with pytest.raises(exc) as e:
        load(data)
    return str(e.value)
