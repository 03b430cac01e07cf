"""IBM hexadecimal single-precision samples (SEG-Y trace data) to IEEE
binary32, in place, through libibmfloat: byte order taken care of, the
buffer checked, and any length."""

from __future__ import annotations

import array
import ctypes
import operator
import sys
from collections import deque as _drain
from itertools import repeat as _repeat
from typing import Any, Optional

from . import _buffers, _native
from ._buffers import INT_MAX, WORDS, Pointer, pin

Buffer = Any  # any object with the buffer protocol: numpy array, array.array, bytearray, ...

__all__ = ["ibm2ieee"]

_lib = _native.load("ibmfloat")
_ibm2ieee = _native.unconverted(_lib, "ibm2ieee")

# Words swapped per pass when numpy is not at hand: the scratch copy stays
# in the cache and small beside the trace.
_SWAP_WORDS = 1 << 14
_WORD = "I" if array.array("I").itemsize == 4 else "L"
_MOST_BYTES = 4 * INT_MAX
_from_buffer = Pointer.from_buffer
_addressof = ctypes.addressof
_void_p = ctypes.c_void_p
_MACHINE = sys.byteorder
_OTHER = "big" if _MACHINE == "little" else "little"
_ORDERS = {">": "big", "<": "little"}


def ibm2ieee(ibm: Buffer, len: Optional[int] = None, *, byteorder: Optional[str] = None):
    """Converts IBM single-precision samples to IEEE binary32, in place, and
    returns them as float32.

    Each 32-bit word, in the byte order given, is an IBM value
    ``(-1)**s * (f / 2**24) * 16**(e - 64)`` (sign bit s, 7-bit exponent
    e, 24-bit fraction f, unnormalised fractions included).  It is
    replaced by that value rounded once to the nearest binary32, in the
    machine's byte order, ready to be read as float32.  Values below the
    smallest subnormal become a zero of the word's sign, values of 2**128
    and beyond become infinity, and no word gives a NaN.

    Parameters
    ----------
    ibm : writable buffer of 4-byte elements or of bytes
        The samples: a numpy array of float32, uint32 or int32 (``'>u4'``
        and other byte orders included), an ``array.array('f')``, or raw
        bytes (``bytearray``, a writable ``mmap``, a memoryview of either)
        whose length is a multiple of 4.  It must be C-contiguous and
        aligned to 4 bytes, except for 2-D numpy arrays whose rows are
        contiguous but not adjacent (``block[:, 60:]``, the sample columns
        of a trace block), which are converted row by row.
    len : int, optional
        Number of words to convert from the start of a C-contiguous
        buffer; by default all of them.  Zero or less converts nothing.
        There is no limit of 2**31 - 1: a longer buffer is converted in
        pieces.
    byteorder : {'big', 'little'}, optional
        The order of the bytes of each word as they are in `ibm`.  A buffer
        whose format states an order (numpy ``'>u4'``, ``'<f4'``; struct
        formats ``'>'``, ``'<'``, ``'!'``) is read in that order, and a
        `byteorder` that contradicts it is refused.  Buffers in the
        machine's own format default to 'big', as SEG-Y files are unless
        they say otherwise; words already in the machine's order want
        ``byteorder=sys.byteorder``.  Words not in the machine's order are
        swapped in place first (no copy of the buffer).

    Returns
    -------
    numpy.ndarray or memoryview
        The converted samples, over the same memory: for a numpy array, a
        native float32 array of its shape (the last axis a quarter as long
        for bytes); otherwise a memoryview of format ``'f'``.  With `len`,
        a flat view of the first `len` words.

    Raises
    ------
    TypeError
        `ibm` not a buffer, of elements other than 4-byte words or bytes,
        read-only, or neither C-contiguous nor rows of contiguous words;
        `len` not an integer.
    ValueError
        A `byteorder` other than 'big' or 'little', or one that contradicts
        the buffer's own; a byte buffer whose length is not a multiple of
        4; `len` beyond the buffer, or given for rows that are not
        adjacent; a buffer misaligned for 4-byte words.

    Notes
    -----
    Nothing is written unless every check passes.  The GIL is released
    while the kernel runs, so threads converting separate buffers run in
    parallel.

    Examples
    --------
    >>> from seiskernels import ibm2ieee
    >>> trace = bytearray.fromhex("41100000 c276a000")   # as read from a file
    >>> ibm2ieee(trace).tolist()
    [1.0, -118.625]
    """
    if len is None and byteorder == _MACHINE and type(ibm) is _buffers._ndarray:
        # The common call, a whole numpy array of words in the machine's
        # order, checked here: the general path costs more than the kernel.
        nbytes = ibm.nbytes
        if ibm.dtype in WORDS.dtypes and 0 < nbytes <= _MOST_BYTES and not nbytes & 3:
            try:
                pointer = _from_buffer(ibm)  # refuses read-only, non-contiguous
            except TypeError:
                pass
            else:
                if not _addressof(pointer) & 3:
                    _ibm2ieee(pointer, nbytes >> 2)
                    return ibm if ibm.dtype is _buffers.FLOAT32 else ibm.view(_buffers.FLOAT32)
    if byteorder is not None and byteorder != _MACHINE and byteorder != _OTHER:
        raise ValueError(f"byteorder: expected 'big' or 'little', got {byteorder!r}")
    stated = _stated_order(ibm)
    if stated is not None:
        if byteorder is not None and byteorder != stated:
            raise ValueError(f"byteorder: {byteorder!r} contradicts ibm, whose elements are "
                             f"{stated}-endian")
        byteorder = stated
    elif byteorder is None:
        byteorder = "big"
    numpy = sys.modules.get("numpy")
    is_array = numpy is not None and isinstance(ibm, numpy.ndarray)
    if is_array and ibm.ndim == 2 and not ibm.flags.c_contiguous:
        if len is not None:
            raise ValueError("len: only for C-contiguous buffers; slice the rows of ibm instead")
        return _convert_rows(ibm, byteorder == _OTHER)
    native = ibm if stated is None or stated == _MACHINE else _native_view(ibm, is_array)
    pointer, nbytes, _ = pin(native, "ibm", WORDS, True)
    if nbytes & 3:
        raise ValueError(f"ibm: expected a whole number of 4-byte words, got {nbytes} bytes")
    n = nbytes >> 2
    if len is not None:
        try:
            wanted = operator.index(len)
        except TypeError:
            raise TypeError(f"len: expected an integer, got {type(len).__name__}") from None
        if wanted > n:
            raise ValueError(f"len: {wanted} words asked for, but ibm holds {n}")
        n = max(wanted, 0)
    if n and byteorder == _OTHER:
        _swap(native, n)
    if n <= INT_MAX:
        if n:
            _ibm2ieee(pointer, n)
    else:
        # The kernel counts in a C int: convert 2^31 - 1 words at a time.
        for start in range(0, n, INT_MAX):
            _ibm2ieee(Pointer.from_buffer(native, 4 * start), min(INT_MAX, n - start))
    return _as_float32(native, None if len is None else n, is_array)


def _stated_order(ibm):
    """'big' or 'little' where the buffer's element format states a byte
    order other than the machine's own format, else None."""
    order = getattr(getattr(ibm, "dtype", None), "byteorder", None)
    if isinstance(order, str):  # a numpy array: its dtype says it all
        return _ORDERS.get(order)
    try:
        code = memoryview(ibm).format[:1]
    except TypeError:
        return None  # pin() names what is wrong
    if code in (">", "!"):
        return "big"
    return "little" if code == "<" else None


def _native_view(ibm, is_array):
    """The same memory as words in the machine's format, for the checks and
    the kernel."""
    if is_array:
        return ibm.view(ibm.dtype.newbyteorder("="))
    view = memoryview(ibm)
    if not view.c_contiguous:
        raise TypeError(f"ibm: expected a C-contiguous buffer, got one with strides "
                        f"{view.strides}")
    if view.itemsize != 4:
        raise TypeError(f"ibm: expected {WORDS.what}, got elements of format "
                        f"{view.format!r} ({view.itemsize} bytes each)")
    return view.cast("B")


def _as_float32(ibm, n, is_array):
    """The converted words as float32 over the same memory: all of them in
    the buffer's shape, or the first n flat."""
    if is_array:
        f32 = _buffers.float32()
        if n is None:
            if ibm.dtype is f32:
                return ibm
            try:
                return ibm.view(f32)
            except ValueError:  # bytes whose last axis is not whole words
                pass
        flat = ibm.reshape(-1).view("u1")
        return flat[:4 * (ibm.nbytes >> 2 if n is None else n)].view(f32)
    raw = memoryview(ibm).cast("B")
    return raw[:4 * (raw.nbytes >> 2 if n is None else n)].cast("f")


def _convert_rows(ibm, swap):
    """Converts a 2-D numpy array whose rows are each contiguous, but not
    adjacent, one kernel call per row: the memory between the rows (trace
    headers, other columns) is never touched, not even for a moment, so
    threads may convert other columns of the same block at once."""
    rows, cols = ibm.shape
    step, item = ibm.strides
    row_bytes = cols * ibm.itemsize
    if item != ibm.itemsize or step < row_bytes or ibm.itemsize not in (1, 4):
        raise TypeError(f"ibm: expected a C-contiguous buffer, or rows of contiguous words, "
                        f"got {ibm.dtype} with strides {ibm.strides}")
    if not ibm.flags.writeable:
        raise TypeError("ibm: expected a writable buffer, got a read-only ndarray")
    if row_bytes & 3:
        raise ValueError(f"ibm: expected rows of whole 4-byte words, got {row_bytes} bytes")
    start = ibm.__array_interface__["data"][0]
    if (start | step) & 3:
        raise ValueError(f"ibm: its rows at {start:#x}, {step} bytes apart, are not aligned to "
                         f"the 4 bytes of {WORDS.what}")
    words = row_bytes >> 2
    if rows and words:
        if words > INT_MAX:
            raise ValueError(f"ibm: rows of {words} words, more than a C int counts")
        # Swap a few hundred kilobytes of rows, then convert them while
        # they are still in the cache.
        chunk = max(1, (1 << 18) // row_bytes)
        native = ibm.view(ibm.dtype.newbyteorder("=")) if swap else ibm
        for first in range(0, rows, chunk):
            last = min(first + chunk, rows)
            if swap:
                part = native[first:last]
                (part if ibm.itemsize == 4 else part.view("u4")).byteswap(inplace=True)
            addresses = range(start + first * step, start + last * step, step)
            # map() keeps the loop in C: a ctypes call per row is the cost.
            _drain(map(_ibm2ieee, map(_void_p, addresses), _repeat(words)), 0)
    return _as_float32(ibm, None, True)


def _swap(ibm, n):
    """Reverses the bytes of each of the first n words of a writable,
    C-contiguous buffer, in place."""
    numpy = sys.modules.get("numpy")
    if numpy is not None:
        if type(ibm) is numpy.ndarray and ibm.itemsize == 4 and ibm.size == n:
            ibm.byteswap(inplace=True)  # the whole array, without a view
        else:
            numpy.frombuffer(ibm, numpy.uint32, n).byteswap(inplace=True)
        return
    # Without numpy: array.array swaps in C, a slice at a time.
    raw = memoryview(ibm).cast("B")
    for start in range(0, 4 * n, 4 * _SWAP_WORDS):
        stop = min(start + 4 * _SWAP_WORDS, 4 * n)
        scratch = array.array(_WORD)
        scratch.frombytes(raw[start:stop])
        scratch.byteswap()
        raw[start:stop] = memoryview(scratch).cast("B")
