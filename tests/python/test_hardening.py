"""Hostile callers of the foundation: code that runs mid-call and frees,
resizes or replaces what the module is holding, objects whose constructor
never ran, and the host limits on PyPy that the README documents.

Cases that crashed the interpreter before their fix run in a subprocess, so
a regression fails one test instead of killing the run."""
import subprocess
import sys
import textwrap
import weakref

import pytest

from conftest import PYPY


def run_isolated(code, timeout=120):
    """Runs code in a fresh interpreter; returns its stdout, failing on a crash."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr[-3000:]}"
    return proc.stdout


# Keyword values are owned while caller code runs: the dict the host passes
# can be emptied from inside an __index__, __len__ or __iter__.
CLEAR_REFERRING_DICTS = """
    import gc
    from Corvane.simpleImage_ext import SimpleImage
    def clear_dicts_holding(obj):
        for d in gc.get_referrers(obj):
            if type(d) is dict and "__builtins__" not in d:
                d.clear()
"""


@pytest.mark.parametrize("call, expected", [
    # __index__ of width, while the constructor binds keywords
    ("""
     class W:
         def __index__(self):
             clear_dicts_holding(self); return 1
     im = SimpleImage(**{'width': W(), 'height': 1, 'pixels': bytearray(b'abc')})
     print(im.size, bytes(im._pixels))
     """, "(1, 1) b'abc'"),
    # __len__ and iteration of pixels, after the dict was emptied
    ("""
     class P:
         def __len__(self):
             clear_dicts_holding(self); return 3
         def __iter__(self):
             clear_dicts_holding(self); return iter([7, 8, 9])
     im = SimpleImage(**{'width': 1, 'height': 1, 'pixels': P()})
     print(im.size, bytes(im._pixels))
     """, "(1, 1) b'\\x07\\x08\\t'"),
    # a method called with keywords: the colour's iterator empties the dict
    ("""
     class V:
         def __iter__(self):
             clear_dicts_holding(self); return iter([1, 2, 3])
     im = SimpleImage(1, 1, bytes(3))
     im.putPixel(**{'coords': (0, 0), 'value': V()})
     print(im.getPixel((0, 0)))
     """, "(1, 2, 3)"),
])
def test_keyword_arguments_survive_the_dict_being_emptied(call, expected):
    out = run_isolated(textwrap.dedent(CLEAR_REFERRING_DICTS) + textwrap.dedent(call))
    assert out.strip() == expected


@pytest.mark.parametrize("field", ["_alpha", "_png_chunks", "_bmp_header"])
def test_freeing_a_long_chain_of_images_does_not_overflow_the_stack(field):
    out = run_isolated(f"""
        from Corvane.simpleImage_ext import SimpleImage
        head = SimpleImage(0, 0, b'')
        for _ in range(10**6):
            n = SimpleImage(0, 0, b''); n.{field} = head; head = n
        del head, n
        print("freed")
        """)
    assert out.strip() == "freed"


def test_put_pixel_index_whose_conversion_grows_the_buffer():
    # Every write lands at the index the key converts to, as on a host whose
    # bytearray converts the key before reading its buffer.
    out = run_isolated("""
        from Corvane.simpleImage_ext import SimpleImage
        im = SimpleImage(2, 2, bytes(12))
        class Index:
            def __index__(self): im._pixels.extend(bytes(1 << 20)); return 0
            def __add__(self, k): return self
        class X:
            def __ge__(self, o): return True
            def __lt__(self, o): return True
            def __radd__(self, o): return self
            def __mul__(self, o): return Index()
        im.putPixel((X(), 0), (1, 2, 3))
        print(im.getPixel((0, 0)), len(im._pixels))
        """)
    assert out.strip() == f"(3, 0, 0) {12 + 3 * (1 << 20)}"


def test_index_conversion_runs_once_per_access_and_keeps_host_errors(S):
    calls = []

    class Index:
        def __init__(self, v): self.v = v
        def __index__(self): calls.append(self.v); return self.v
        def __add__(self, k): return Index(self.v + k)

    class X:
        def __ge__(self, o): return True
        def __lt__(self, o): return True
        def __radd__(self, o): return self
        def __mul__(self, o): return Index(3)

    im = S(2, 1, bytes(range(6)))
    assert im.getPixel((X(), 0)) == (3, 4, 5)
    assert calls == [3, 4, 5]
    im.putPixel((X(), 0), (9, 9, 9))
    assert bytes(im._pixels) == bytes([0, 1, 2, 9, 9, 9]) and calls[3:] == [3, 4, 5]

    class NoIndex(X):
        def __mul__(self, o): return 0.5
    with pytest.raises(TypeError, match="bytearray indices must be integers"):
        im.getPixel((NoIndex(), 0))


def test_object_new_image_reads_as_empty(S):
    try:
        im = object.__new__(S)
    except TypeError:
        assert not PYPY
        return
    assert im.size == (0, 0)
    assert (im._pixels, im._alpha, im._png_chunks, im._png_filters, im._bmp_header) == (None,) * 5
    im.width = im.height = 1
    for call in (lambda: im.getPixel((0, 0)), lambda: im.putPixel((0, 0), (1, 2, 3)), im.copy):
        with pytest.raises(TypeError, match="'NoneType' object"):
            call()
    im._pixels = bytearray(3)
    im.putPixel((0, 0), (4, 5, 6))
    assert im.getPixel((0, 0)) == (4, 5, 6) and im.copy()._pixels == bytearray(b"\x04\x05\x06")


def test_object_new_function_refuses_calls(S):
    F = type(S.copy)
    try:
        f = object.__new__(F)
    except TypeError:
        assert not PYPY
        return
    assert "function" in repr(f)
    with pytest.raises(TypeError, match="cannot be called"):
        f()
    assert f.__signature__ is None


def test_object_new_class_signature_descriptor(S):
    D = type(S.__dict__["__signature__"])
    try:
        d = object.__new__(D)
    except TypeError:
        assert not PYPY
        return
    assert d.__get__(None, S) is None and d.__get__(1) is None


def test_metaclass_int_does_not_make_instances_integers(S):
    class Meta(type):
        def __int__(cls): return 1

    class NoInt(metaclass=Meta):
        pass

    with pytest.raises(TypeError, match="^an integer is required$"):
        S(NoInt(), 1, b"abc")

    class Flag(int, metaclass=type("IntMeta", (type,), {"__int__": lambda cls: 5})):
        pass
    assert S(Flag(1), 1, b"abc").size == (1, 1)  # the instance's own int value counts

    class FromBase:
        def __int__(self): return 2

    class Child(FromBase):
        pass
    assert S(Child(), 1, bytes(6)).size == (2, 1)


# The PyPy host limits the README's "On PyPy" section describes. Each test pins
# what the host does today, so a change in the host shows here.

def test_self_referencing_image_cycle(S):
    import gc
    im = S(0, 0, b"")
    im._alpha = im
    if not PYPY:
        return  # CPython collects such cycles; test_image covers it
    ref = weakref.ref(im)
    del im
    for _ in range(3):
        gc.collect()
    assert ref() is not None, "cpyext now collects cycles through C references: update the README"


def test_instance_dict_and_weakrefs(S):
    im = S(0, 0, b"")
    if PYPY:
        object.__setattr__(im, "extra", 1)
        assert im.extra == 1 and weakref.ref(im)() is im
    else:
        with pytest.raises(AttributeError):
            object.__setattr__(im, "extra", 1)
        with pytest.raises(TypeError):
            weakref.ref(im)


def test_class_assignment_from_a_python_class():
    out = run_isolated("""
        import os
        from Corvane.simpleImage_ext import SimpleImage
        class P: pass
        p = P()
        try:
            p.__class__ = SimpleImage
            print("assigned")
        except TypeError:
            print("refused")
        os._exit(0)  # the object must not be touched again, not even freed
        """)
    assert out.strip() == ("assigned" if PYPY else "refused")


def test_memoryview_arguments_keep_memory_only_on_pypy(S):
    """cpyext keeps the C copy it makes of every memoryview that crosses into
    C code, about 0.8 KB each; on CPython nothing is kept."""
    from test_leaks import growth, malloc_in_use

    def call():
        try:
            S.open(memoryview(b"\x89PNG"))
        except TypeError:
            pass

    if PYPY and malloc_in_use() is None:
        pytest.skip("no glibc allocator figures")
    rounds = 20000
    grown = growth(call, rounds)
    if PYPY:
        assert grown > rounds * 400, "cpyext now frees memoryviews passed to C: update the README"
    else:
        assert grown < 30
