"""IBM hexadecimal single-precision samples (SEG-Y trace data) to IEEE
binary32, in place, through libibmfloat: byte order taken care of, the
buffer checked, and any length."""

from __future__ import annotations

import array
import ctypes
import operator
import sys
from typing import Any, Optional

from . import _buffers, _native
from ._buffers import INT_MAX, WORDS, Pointer, pin

Buffer = Any  # any object with the buffer protocol: numpy array, array.array, bytearray, ...

_lib = _native.load("ibmfloat")
_ibm2ieee = _native.unconverted(_lib, "ibm2ieee")

# Words swapped per pass when numpy is not at hand: the scratch copy stays
# in the cache and small beside the trace.
_SWAP_WORDS = 1 << 14
_WORD = "I" if array.array("I").itemsize == 4 else "L"
_MOST_BYTES = 4 * INT_MAX
_from_buffer = Pointer.from_buffer
_addressof = ctypes.addressof
_MACHINE = sys.byteorder
_OTHER = "big" if _MACHINE == "little" else "little"


def ibm2ieee(ibm: Buffer, len: Optional[int] = None, *, byteorder: str = "big") -> None:
    """Converts IBM single-precision samples to IEEE binary32, in place.

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
        The samples: a numpy array of float32, uint32 or int32, an
        ``array.array('f')``, or raw bytes (``bytearray``, a writable
        ``mmap``, a memoryview of either) whose length is a multiple of 4.
        It must be C-contiguous and aligned to 4 bytes.
    len : int, optional
        Number of words to convert from the start; by default all of them.
        Zero or less converts nothing.  There is no limit of 2**31 - 1: a
        longer buffer is converted in pieces.
    byteorder : {'big', 'little'}, default 'big'
        The order of the bytes of each word as they are in `ibm`.  SEG-Y
        files are big-endian unless they say otherwise, so the default takes
        the bytes as read from a file; words already in the machine's order
        want ``byteorder=sys.byteorder``.  Words not in the machine's
        order are swapped in place first (no copy of the buffer).

    Raises
    ------
    TypeError
        `ibm` not a buffer, of elements other than 4-byte words or bytes,
        read-only or not C-contiguous; `len` not an integer.
    ValueError
        A `byteorder` other than 'big' or 'little'; a byte buffer whose
        length is not a multiple of 4; `len` beyond the buffer; a buffer
        misaligned for 4-byte words.

    Notes
    -----
    Nothing is written unless every check passes.  The GIL is released
    while the kernel runs, so threads converting separate buffers run in
    parallel.

    Examples
    --------
    >>> trace = bytearray.fromhex("41100000 c276a000")   # as read from a file
    >>> ibm2ieee(trace)
    >>> memoryview(trace).cast("f").tolist()
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
                    return _ibm2ieee(pointer, nbytes >> 2)
    if byteorder != _MACHINE and byteorder != _OTHER:
        raise ValueError(f"byteorder: expected 'big' or 'little', got {byteorder!r}")
    pointer, nbytes, _ = pin(ibm, "ibm", WORDS, True)
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
        n = wanted
    if n <= 0:
        return
    if byteorder == _OTHER:
        _swap(ibm, n)
    if n <= INT_MAX:
        _ibm2ieee(pointer, n)
        return
    # The kernel counts in a C int: convert 2^31 - 1 words at a time.
    for start in range(0, n, INT_MAX):
        _ibm2ieee(Pointer.from_buffer(ibm, 4 * start), min(INT_MAX, n - start))


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
