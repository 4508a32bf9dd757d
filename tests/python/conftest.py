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


class Reader:
    """The decoders as one way of reading reaches them: `open` of a file's bytes or of
    its path (the way users read, the module's own walk), or `_streamToImage` over a
    caller's stream (read call for call through _readChunk). Every way gives the same
    loader result, or refuses the data with the same exception."""

    def __init__(self, how, tmp_path):
        self.how, self.tmp_path, self.files = how, tmp_path, 0

    def load(self, data):
        """The loader result for a file's bytes (the open() report swallowed)."""
        import io
        import contextlib
        if self.how == "stream":
            return ext.SimpleImage._streamToImage(io.BytesIO(data))
        source = data
        if self.how == "path":
            self.files += 1
            source = self.tmp_path / ("read-%d" % self.files)
            source.write_bytes(data)
            source = str(source)
        with contextlib.redirect_stdout(io.StringIO()):
            im = ext.SimpleImage.open(source)
        # open() keeps all but the channel count, which the alpha plane tells
        channels = 3 if im._alpha is None else 4
        return (im.width, im.height, im._pixels, channels, im._alpha, im._png_chunks, im._bmp_header, im._png_filters)

    def refusal(self, data, exc=ValueError):
        """The message with which the decoders refuse data."""
        with pytest.raises(exc) as e:
            self.load(data)
        return str(e.value)


READ_WAYS = ["bytes", "path", "stream"]


@pytest.fixture(params=READ_WAYS)
def read(request, tmp_path):
    return Reader(request.param, tmp_path)


def load(data):
    """The loader result through the caller's-stream path alone."""
    return Reader("stream", None).load(data)
