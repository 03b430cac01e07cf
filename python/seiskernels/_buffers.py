"""Checks the buffers, counts and scalars handed to a kernel, and pins each
buffer for the call: nothing reaches C before every check has passed."""

import array
import ctypes
import operator
import struct
import sys

INT_MIN, INT_MAX = -(2 ** 31), 2 ** 31 - 1

# A ctypes array of no elements, made over a buffer, passes as its address.
Pointer = ctypes.c_char * 0

_NATIVE = "<" if sys.byteorder == "little" else ">"


class Kind:
    """An element type: the struct codes that spell it (`fast` the ones whose
    size never varies, `codes` all of them), its size, and the words an error
    message uses for it."""

    def __init__(self, fast, codes, itemsize, what):
        self.fast, self.codes = frozenset(fast), frozenset(codes)
        self.itemsize, self.mask, self.what = itemsize, itemsize - 1, what
        self.dtypes = ()  # numpy dtypes of the fast codes, once numpy is seen


DOUBLES = Kind("d", "d", 8, "float64 (C double)")
INTS = Kind("i", "il", 4, "int32 (C int)")  # 'i' is a 4-byte C int on every Linux
# IBM samples: any 4-byte element, or raw bytes taken four at a time.
WORDS = Kind("fiIBbc", "fiIlLBbc", 4, "32-bit words (float32, int32, uint32) or bytes")
_BYTES = frozenset("Bbc")
_KINDS = (DOUBLES, INTS, WORDS)
_ndarray = None  # numpy.ndarray, once numpy has been seen
FLOAT32 = None  # numpy's native float32 dtype, likewise

_array = array.array
_memoryview = memoryview
_from_buffer = Pointer.from_buffer
_addressof = ctypes.addressof


def pin(obj, name, kind, writable):
    """(pointer, nbytes, shape) of a buffer of `kind` elements that is
    C-contiguous, aligned for them, and writable if `writable`.  The pointer
    passes the buffer's address to a kernel and holds an export of it, so
    that a bytearray or array.array cannot be resized, and its memory moved,
    while the caller keeps the pointer: past the end of the call.

    The common case costs a C call or two: ctypes' from_buffer rejects
    read-only and non-contiguous buffers itself.  Anything else goes the
    long way, which explains what is wrong."""
    try:
        kind_of = type(obj)
        if kind_of is _ndarray:
            if obj.dtype in kind.dtypes:
                pointer = _from_buffer(obj)
                if not _addressof(pointer) & kind.mask:
                    return pointer, obj.nbytes, obj.shape
        elif kind_of is _array:
            if obj.typecode in kind.fast:
                pointer = _from_buffer(obj)
                if not _addressof(pointer) & kind.mask:
                    n = len(obj)
                    return pointer, n * obj.itemsize, (n,)
        else:
            if _ndarray is None and "numpy" in sys.modules:
                _note_numpy()
                return pin(obj, name, kind, writable)
            view = _memoryview(obj)
            if view.format in kind.fast:
                pointer = _from_buffer(view)
                if not _addressof(pointer) & kind.mask:
                    return pointer, view.nbytes, view.shape
    except TypeError:
        pass
    return _pin_checked(obj, name, kind, writable)


def _pin_checked(obj, name, kind, writable):
    try:
        view = memoryview(obj)
    except TypeError:
        raise TypeError(f"{name}: expected a buffer of {kind.what} (a numpy array, "
                        f"array.array, memoryview, ...), got {type(obj).__name__}") from None
    code = view.format
    if code[:1] in "@=" or code[:1] == _NATIVE:
        code = code[1:]
    elif code[:1] in "<>!":
        raise TypeError(f"{name}: expected {kind.what} in the machine's byte order "
                        f"({sys.byteorder}-endian), got format {view.format!r}")
    if not (code in kind.codes and (view.itemsize == kind.itemsize or code in _BYTES)):
        raise TypeError(f"{name}: expected {kind.what}, got elements of format "
                        f"{view.format!r} ({view.itemsize} bytes each)")
    if not view.c_contiguous:
        raise TypeError(f"{name}: expected a C-contiguous buffer, got one with strides "
                        f"{view.strides}")
    if not view.readonly:
        pointer = Pointer.from_buffer(view)
        address = ctypes.addressof(pointer)
    elif writable:
        raise TypeError(f"{name}: expected a writable buffer, got a read-only "
                        f"{type(obj).__name__}")
    else:
        # ctypes maps only writable buffers: ask Python's buffer interface for
        # the address, and keep the view, which pins the memory, with it.
        address = _read_only_address(view)
        pointer = _ReadOnly.from_address(address)
        pointer.view = view
    if address & kind.mask and view.nbytes:  # an empty buffer is never read
        raise ValueError(f"{name}: its memory at {address:#x} is not aligned to the "
                         f"{kind.itemsize} bytes of {kind.what}")
    return pointer, view.nbytes, view.shape


class _ReadOnly(Pointer):
    """A pointer into a read-only buffer, with the view that pins it."""


def _note_numpy():
    """Teaches the fast path numpy's array type and dtypes once the caller
    has imported numpy: the package never imports it itself."""
    global _ndarray, FLOAT32
    numpy = sys.modules["numpy"]
    for kind in _KINDS:
        kind.dtypes = tuple(numpy.dtype(c) for c in kind.fast)
    FLOAT32 = numpy.dtype("f")
    _ndarray = numpy.ndarray


def float32():
    """numpy's native float32 dtype (numpy being in use)."""
    if FLOAT32 is None:
        _note_numpy()
    return FLOAT32


class _PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int),
                ("ndim", ctypes.c_int), ("format", ctypes.c_char_p),
                ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(_PyBuffer)]
_release_buffer.restype = None


def _read_only_address(view):
    buf = _PyBuffer()
    _get_buffer(view, ctypes.byref(buf), 0)  # PyBUF_SIMPLE; raises on failure
    address = buf.buf or 0
    _release_buffer(ctypes.byref(buf))
    return address


def int_count(value, name):
    """A count or flag as given by the caller: an integer that fits a C int."""
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__}") from None
    if not INT_MIN <= n <= INT_MAX:
        raise ValueError(f"{name}: {n} does not fit in a C int")
    return n


def real(value, name):
    """A double scalar from a real number (int, float, numpy scalar, ...)."""
    if isinstance(value, (str, bytes)) or not hasattr(value, "__float__"):
        raise TypeError(f"{name}: expected a real number, got {type(value).__name__}")
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError) as e:
        raise TypeError(f"{name}: expected a real number, got {value!r} ({e})") from None


def rows(nbytes, shape, name, what):
    """Number of four-double rows in a flat or (rows, 4) buffer."""
    if len(shape) == 2 and shape[1] == 4:
        return shape[0]
    if len(shape) <= 1 and not nbytes & 31:
        return nbytes >> 5
    raise ValueError(f"{name}: expected {what} rows of four doubles (a flat buffer of 4*n "
                     f"doubles, or shape (n, 4)), got shape {tuple(shape)}")


def length(nbytes, name, wanted, exact, what):
    """Checks that a buffer of doubles holds `wanted` of them: exactly, when
    the count was taken from the buffers themselves, or at least."""
    have = nbytes >> 3
    if have != wanted and (exact or have < wanted):
        raise ValueError(f"{name}: expected {'' if exact else 'at least '}{wanted} {what}, "
                         f"got {have}")


def disjoint(outputs, inputs):
    """Checks that no output overlaps another output or an input, each given
    as (name, pointer, bytes the kernel touches): a kernel would otherwise
    read what it had just written, or write one result over another."""
    spans = [(_addressof(pointer), used, name) for name, pointer, used in outputs + inputs]
    for k in range(len(outputs)):
        start, used, name = spans[k]
        for other, other_used, other_name in spans[k + 1:]:
            if start < other + other_used and other < start + used and used and other_used:
                raise ValueError(f"{name} and {other_name} overlap in memory")


assert struct.calcsize("i") == 4, "a C int of other than 4 bytes"
