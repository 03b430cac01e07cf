"""ibm2ieee on the layouts a SEG-Y reader meets (stated byte orders, memory
maps, the sample columns of a trace block), and seiskernels.segy against
segyio or raw bytes: samples, headers, bad files and the Dask form."""
import ctypes
import os
import sys

import numpy as np
import pytest

import seiskernels as sk

IBM = ctypes.CDLL(os.environ["IBMFLOAT_LIBRARY"])
IBM.ibm2ieee.argtypes = [ctypes.POINTER(ctypes.c_float), ctypes.c_int]
IBM.ibm2ieee.restype = None
OTHER = ">" if sys.byteorder == "little" else "<"
RNG = np.random.default_rng(19)
# Words of every kind: signs, zeros, subnormal and infinite results, unnormalised.
WORDS = np.concatenate([RNG.integers(0, 2 ** 32, 2000, dtype=np.uint32),
                        np.array([0, 0x80000000, 0x41100000, 0x60000000, 0x1B100000,
                                  0x42010000, 0x5FFFFFFF, 0x21000001], np.uint32)])


def converted(words):
    """The kernel's float32 of host-order words, called directly."""
    out = words.astype(np.uint32).view(np.float32).copy()
    IBM.ibm2ieee(out.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), out.size)
    return out


def block(dtype, rows=6, cols=40, head=3):
    b = np.zeros((rows, head + cols), dtype)
    b[:, :head] = 7
    b[:, head:] = WORDS[:rows * cols].reshape(rows, cols)
    return b


def memmapped(tmp_path, words):
    path = tmp_path / "words"
    words.astype(">u4").tofile(path)
    return np.memmap(path, ">u4", mode="r+")


# (layout, byteorder argument): each holds WORDS' values, as its dtype says.
LAYOUTS = {
    ">u4": (lambda t: WORDS.astype(">u4"), None),
    ">i4": (lambda t: WORDS.astype(">u4").view(">i4"), None),
    ">f4": (lambda t: WORDS.astype(">u4").view(">f4"), "big"),
    "host u4, little": (lambda t: WORDS.astype("<u4").view(np.uint32), "little"),
    "memmap >u4": (lambda t: memmapped(t, WORDS), None),
    "block >u4 columns": (lambda t: block(">u4")[:, 3:], None),
    "block host u4 columns": (lambda t: block(np.uint32)[:, 3:], sys.byteorder),
    "block bytes columns": (lambda t: block(">u4").view(np.uint8)[:, 12:], None),
    "2-D >f4": (lambda t: WORDS[:240].astype(">u4").view(">f4").reshape(6, 40), None),
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_stated_byte_orders_and_strided_rows_convert_in_place(layout, tmp_path):
    make, byteorder = LAYOUTS[layout]
    ibm = make(tmp_path)
    base = ibm.base if isinstance(ibm.base, np.ndarray) else ibm
    before = np.array(base, copy=True)
    got = sk.ibm2ieee(ibm, byteorder=byteorder)
    want = converted(WORDS[:got.size])
    assert got.dtype == np.float32 and got.dtype.isnative
    assert np.shares_memory(got, ibm) and got.shape == (ibm.shape[:-1] + (ibm.shape[-1] *
                                                                     ibm.itemsize // 4,))
    assert got.tobytes() == want.reshape(got.shape).tobytes()
    if base.ndim == 2:  # the trace headers between the rows are untouched
        assert (np.asarray(base)[:, :3] == before[:, :3]).all()


@pytest.mark.parametrize("ibm, kwargs, error, words", [
    (WORDS.astype(">u4"), dict(byteorder="little"), ValueError, "contradicts ibm"),
    (block(">u4")[:, 3:], dict(len=4), ValueError, "len: only for C-contiguous"),
    (block(">u4")[:, ::2], {}, TypeError, "rows of contiguous words"),
    (block(">u4")[::-1, 3:], {}, TypeError, "rows of contiguous words"),
    (block(np.uint8, cols=42)[:, 3:], {}, ValueError, "whole 4-byte words"),
    (np.frombuffer(bytearray(4 * 43 * 6 + 1), ">u4", offset=1).reshape(6, 43)[:, 3:], {},
     ValueError, "not aligned"),
])
def test_bad_layouts_raise_and_write_nothing(ibm, kwargs, error, words):
    ibm.flags.writeable = True
    before = np.array(ibm, copy=True)
    with pytest.raises(error, match=words):
        sk.ibm2ieee(ibm, **kwargs)
    assert (np.asarray(ibm) == before).all()


def test_plain_buffers_return_a_float_memoryview():
    trace = bytearray.fromhex("41100000 c276a000 42640000")
    assert sk.ibm2ieee(trace).tolist() == [1.0, -118.625, 100.0]
    assert sk.ibm2ieee(bytearray.fromhex("41100000 c276a000"), 1).tolist() == [1.0]
