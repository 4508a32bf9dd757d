"""What the module binds, and how its callables present themselves."""
import ast
import importlib
import inspect
import pathlib
import pydoc
import subprocess
import sys
import types
import typing

import pytest

from conftest import PYPY, TP_NAME, make

MODULE_NAMES = [
    "SimpleImage", "struct", "zlib", "BytesIO", "Path", "List", "Sequence", "Tuple", "Union",
    "PNG_SIGNATURE", "ImageInput", "_readChunk", "_makeChunk", "_writePng", "_split_idat_payload",
    "_writePngWithChunks", "_writeBmp",
]

# name -> (where, qualname, parameters as (name, default or inspect._empty), annotations)
E = inspect.Parameter.empty
CALLABLES = {
    "_readChunk": ("module", "_readChunk", [("stream", E)], {"return": "Tuple[bytes, bytes]"}),
    "_makeChunk": ("module", "_makeChunk", [("chunkType", E), ("data", E)],
                   {"chunkType": "bytes", "data": "bytes", "return": "bytes"}),
    "_writePng": ("module", "_writePng",
                  [("path", E), ("width", E), ("height", E), ("pixels", E), ("alpha", None), ("filter_types", None)],
                  {"return": "None"}),
    "_split_idat_payload": ("module", "_split_idat_payload", [("data", E), ("lengths", E)], {}),
    "_writePngWithChunks": ("module", "_writePngWithChunks",
                            [("path", E), ("width", E), ("height", E), ("pixels", E), ("alpha", E), ("chunks", E),
                             ("filter_types", None)], {}),
    "_writeBmp": ("module", "_writeBmp",
                  [("path", E), ("width", E), ("height", E), ("pixels", E), ("meta", None)], {"return": "None"}),
    "_streamToImage": ("static", "SimpleImage._streamToImage", [("stream", E)], {}),
    "open": ("class", "SimpleImage.open", [("source", E)], {"source": "ImageInput", "return": "SimpleImage"}),
    "getPixel": ("method", "SimpleImage.getPixel", [("coords", E)],
                 {"coords": "Tuple[int, int]", "return": "Tuple[int, int, int]"}),
    "putPixel": ("method", "SimpleImage.putPixel", [("coords", E), ("value", E)],
                 {"coords": "Tuple[int, int]", "value": "Sequence[int]", "return": "None"}),
    "copy": ("method", "SimpleImage.copy", [], {"return": "SimpleImage"}),
    "save": ("method", "SimpleImage.save", [("path", E)], {"path": "str", "return": "None"}),
    "saveBmp": ("method", "SimpleImage.saveBmp", [("path", E)], {"path": "str", "return": "None"}),
    "__reduce__": ("method", "SimpleImage.__reduce__", [], {}),
    "__setstate__": ("method", "SimpleImage.__setstate__", [("state", E)], {}),
}


# On PyPy the pixel methods are Python functions the JIT runs, falling back
# to the module's own for everything but the plainest calls.
JIT_METHODS = {"getPixel", "putPixel"} if PYPY else set()
# So is open, a class method still, whose plainest case is a PNG from bytes.
JIT_FUNCTIONS = JIT_METHODS | {"open"} if PYPY else set()


def function_of(m, name):
    where = CALLABLES[name][0]
    if where == "module":
        return getattr(m, name)
    member = m.SimpleImage.__dict__[name]
    if name in JIT_METHODS:
        assert getattr(m.SimpleImage, name) is member
        return member
    if where == "method" and PYPY:
        # PyPy keeps instance methods in the host's instancemethod, which binds
        # them without a call into C; the class still sees the function itself.
        assert type(member).__name__ == "cinstancemethod" and getattr(m.SimpleImage, name) is member.__func__
        return member.__func__
    return member.__func__ if where in ("static", "class") else member


def test_namespace_order(m):
    names = [n for n in vars(m) if not (n.startswith("__") and n.endswith("__"))]
    assert names == MODULE_NAMES


def test_bound_objects(m):
    import io
    import struct
    import zlib

    assert m.struct is struct and m.zlib is zlib
    assert m.BytesIO is io.BytesIO and m.Path is pathlib.Path
    assert (m.List, m.Sequence, m.Tuple, m.Union) == (typing.List, typing.Sequence, typing.Tuple, typing.Union)
    assert m.PNG_SIGNATURE == b"\x89PNG\r\n\x1a\n" and type(m.PNG_SIGNATURE) is bytes
    assert m.ImageInput == typing.Union[str, pathlib.Path, bytes, bytearray, "SimpleImage"]
    assert m.__doc__ is None


def test_second_import_is_same_module(m):
    assert importlib.import_module("Corvane.simpleImage_ext") is m
    assert importlib.reload(m) is m


def test_class_identity(S):
    assert S.__name__ == "SimpleImage" and S.__module__ == "Corvane.simpleImage_ext"
    assert S.__qualname__ == "SimpleImage"
    doc = S.__doc__
    assert isinstance(doc, str) and "\n" not in doc.strip() and "RGB image" in doc


@pytest.mark.parametrize("name", CALLABLES)
def test_introspection(m, name):
    where, qualname, params, annotations = CALLABLES[name]
    f = function_of(m, name)
    assert type(f) is (types.FunctionType if name in JIT_FUNCTIONS else type(m._readChunk))
    assert f.__name__ == name and f.__qualname__ == qualname
    assert f.__module__ == "Corvane.simpleImage_ext"
    assert f.__doc__ is None
    defaults = tuple(d for _, d in params if d is not E)
    assert f.__defaults__ == (defaults or None)
    assert f.__annotations__ == annotations
    # inspect.signature sees the parameters as an ordinary function's.
    sig = inspect.signature(f)
    lead = {"method": ["self"], "class": ["cls"]}.get(where, [])
    assert list(sig.parameters) == lead + [p for p, _ in params]
    for p, d in params:
        par = sig.parameters[p]
        assert par.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert par.default is d or par.default == d
        assert par.annotation == annotations.get(p, E)
    assert sig.return_annotation == annotations.get("return", E)
    # newer pydoc wraps long signatures over several lines
    text = "".join(pydoc.render_doc(f, renderer=pydoc.plaintext).split())
    assert "".join((name + str(sig)).split()) in text


def test_bound_signatures(S):
    im = make()
    assert str(inspect.signature(im.putPixel)) == \
        "(coords: 'Tuple[int, int]', value: 'Sequence[int]') -> 'None'"
    assert str(inspect.signature(S.open)) == "(source: 'ImageInput') -> 'SimpleImage'"
    assert str(inspect.signature(im.open)) == "(source: 'ImageInput') -> 'SimpleImage'"
    assert str(inspect.signature(S._streamToImage)) == "(stream)"


def test_class_signature_is_the_constructors(S):
    assert str(inspect.signature(S)) == \
        "(width, height, pixels, alpha=None, png_chunks=None, bmp_header=None, png_filters=None)"

    class Sub(S):
        def __init__(self, a, b, c, *rest):
            pass

    # a subclass's own __init__ is not hidden behind the base's signature
    assert str(inspect.signature(Sub)) == "(a, b, c, *rest)"


def test_help_on_class_lists_members(S):
    # newer pydoc wraps long signatures, continuing them after the "|" margin
    text = "".join(pydoc.render_doc(S, renderer=pydoc.plaintext).replace("|", " ").split())
    for line in ["getPixel(self, coords: 'Tuple[int, int]') -> 'Tuple[int, int, int]'",
                 "open(source: 'ImageInput') -> 'SimpleImage'", "copy(self) -> 'SimpleImage'",
                 "SimpleImage(width, height, pixels, alpha=None, png_chunks=None, bmp_header=None, png_filters=None)"]:
        assert "".join(line.split()) in text


def test_binding_kinds(S):
    im = make()
    assert isinstance(S.__dict__["_streamToImage"], staticmethod)
    assert isinstance(S.__dict__["open"], classmethod)
    # open binds the class, from the class and from an instance alike.
    assert S.open.__self__ is S and im.open.__self__ is S
    # _streamToImage binds nothing: the same function object both ways.
    assert S._streamToImage is im._streamToImage is S.__dict__["_streamToImage"].__func__
    # instance methods bind through the descriptor protocol like Python functions.
    f = S.getPixel
    assert S.__dict__["getPixel"] is f if "getPixel" in JIT_METHODS else \
        type(f) is type(S.copy) and (PYPY or S.__dict__["getPixel"] is f)
    bound = im.getPixel
    assert bound.__self__ is im and bound.__func__ is f
    assert f.__get__(im, S)((1, 1)) == (9, 10, 11)
    assert f.__get__(None, S) is f
    assert S.getPixel(im, (1, 1)) == (9, 10, 11)


@pytest.mark.parametrize("name", ["_makeChunk", "_writeBmp", "getPixel", "__reduce__", "_streamToImage"])
def test_functions_pickle_and_copy_by_reference(m, name):
    import copy
    import pickle

    f = function_of(m, name)
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_function_attributes_behave_like_python_functions(m):
    f = m._split_idat_payload
    f.extra = 1
    assert f.__dict__ == {"extra": 1}
    del f.extra
    with pytest.raises(TypeError):
        f.__name__ = 3
    with pytest.raises(AttributeError):
        f.__defaults__ = (1,)
    assert f.__kwdefaults__ is None
    assert repr(f).startswith("<function _split_idat_payload at ")


@pytest.mark.parametrize("call, message", [
    (lambda S, im: S.getPixel(), "unbound method SimpleImage.getPixel() needs an argument"),
    (lambda S, im: S.copy(5), "descriptor 'copy' for '{}' objects doesn't apply to a 'int' object"),
    (lambda S, im: S.putPixel(b"x", (0, 0), (1, 2, 3)),
     "descriptor 'putPixel' for '{}' objects doesn't apply to a 'bytes' object"),
])
def test_unbound_methods_check_self(S, call, message):
    with pytest.raises(TypeError) as e:
        call(S, make())
    assert str(e.value) == message.format(TP_NAME)


def test_stub_matches_module(m):
    """The shipped .pyi names exactly the module's public surface, with the same parameters."""
    import Corvane

    stub = pathlib.Path(Corvane.__file__).with_name("simpleImage_ext.pyi")
    assert (stub.parent / "py.typed").exists()
    tree = ast.parse(stub.read_text())
    top = {}
    members = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            top[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            top[node.target.id] = node
        elif isinstance(node, ast.Assign):
            top[node.targets[0].id] = node
        elif isinstance(node, ast.ImportFrom) or isinstance(node, ast.Import):
            for a in node.names:
                if a.asname:
                    top[a.asname] = node
        elif isinstance(node, ast.ClassDef):
            top[node.name] = node
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = item
    assert set(top) == set(MODULE_NAMES)
    for name, (where, *_rest) in CALLABLES.items():
        node = members[name] if where != "module" else top[name]
        stub_params = [a.arg for a in node.args.args]
        sig_params = list(inspect.signature(function_of(m, name)).parameters)
        if where == "static":
            assert [d.id for d in node.decorator_list] == ["staticmethod"]
        if where == "class":
            assert [d.id for d in node.decorator_list] == ["classmethod"]
        assert stub_params == sig_params, name
        # Editors show the stub's docstrings on hover: every public callable has one.
        assert name in ("__reduce__", "__setstate__") or ast.get_docstring(node), name
    init = members["__init__"]
    assert [a.arg for a in init.args.args][1:] == [
        "width", "height", "pixels", "alpha", "png_chunks", "bmp_header", "png_filters"]


LOAD_FAILURE = r"""
import sys
sys.modules["pathlib"] = None        # makes 'from pathlib import Path' fail during load
try:
    import Corvane.simpleImage_ext
except ImportError as e:
    print("ImportError", "Corvane.simpleImage_ext" in sys.modules)
else:
    print("imported")
"""


def test_failed_load_leaves_no_module():
    out = subprocess.run([sys.executable, "-c", LOAD_FAILURE], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["ImportError", "False"]


def test_the_function_type_is_closed_like_a_builtin_type(m):
    import weakref

    fn_type = type(m._makeChunk)
    assert fn_type.__name__ == "function"
    # A type made with PyType_FromSpec finds __module__ in its own dict, where the
    # functions' own __module__ property stands: the stable-ABI build
    # cannot have both.
    if not m.__file__.endswith(".abi3.so"):
        assert fn_type.__module__ == "Corvane.simpleImage_ext"
    if PYPY:
        # cpyext makes instances of any C type, and lets its attributes be
        # set; one made so has no definition, and refuses to be called.
        with pytest.raises(TypeError, match="was not created by the module and cannot be called"):
            fn_type()()
    else:
        with pytest.raises(TypeError, match="cannot create 'Corvane.simpleImage_ext.function' instances"):
            fn_type()
        with pytest.raises(TypeError):
            fn_type.extra = 1
        assert not hasattr(fn_type, "extra")
    ref = weakref.ref(m._makeChunk)
    assert ref() is m._makeChunk
