"""The host's view of ibm2ieee: a SEG-Y reader takes big-endian IBM samples
from a file, puts them in host byte order, and converts them in place through
ctypes.  Results are compared bit for bit with a model written here in plain
Python."""
import array
import ctypes
import math
import os
import random
import struct
import sys
import unittest

SIGN = 0x80000000
INFINITY = 0x7F800000


def load_kernel():
    lib = ctypes.CDLL(os.environ["IBMFLOAT_LIBRARY"])
    kernel = lib.ibm2ieee
    kernel.argtypes = [ctypes.POINTER(ctypes.c_float), ctypes.c_int]
    kernel.restype = None
    return kernel


def binary32_bits(x):
    """x rounded to the nearest binary32, ties to even, as its bit pattern;
    beyond binary32's range, infinity."""
    try:
        return struct.unpack("<I", struct.pack("<f", x))[0]
    except OverflowError:
        return INFINITY | (SIGN if x < 0 else 0)


def binary32(x):
    return struct.unpack("<f", struct.pack("<I", binary32_bits(x)))[0]


def fields(word):
    return word >> 31, (word >> 24) & 0x7F, word & 0xFFFFFF


def literal_bits(word):
    """The formula step by step, binary32 rounding after each step.  Products
    of binary32 values are exact in double, so rounding the double product
    once is the binary32 multiplication."""
    s, e, f = fields(word)
    sign_factor = binary32(1 - 2 * s)
    fraction = binary32(binary32(f) * binary32(2.0 ** -24))
    scale = binary32(math.pow(16.0, e - 64))
    return binary32_bits(binary32(sign_factor * fraction) * scale)


def exact_bits(word):
    """The exact value, rounded once; a zero fraction keeps the sign."""
    s, e, f = fields(word)
    if f == 0:
        return SIGN if s else 0
    value = math.ldexp(f, 4 * (e - 64) - 24)  # exact in double for every word
    return binary32_bits(-value if s else value)


def expected_bits(word):
    return literal_bits(word) if fields(word)[1] < 96 else exact_bits(word)


def ibm_word(x):
    """IBM encoding of x, which must be representable exactly."""
    if x == 0:
        return SIGN if math.copysign(1.0, x) < 0 else 0
    m, q = math.frexp(abs(x))
    k = -((-q) // 4)  # ceil(q / 4)
    f = math.ldexp(m, q - 4 * k + 24)
    assert f == int(f) and 0 <= k + 64 <= 127, x
    return (SIGN if x < 0 else 0) | (k + 64) << 24 | int(f)


def segy_bytes(words):
    return b"".join(struct.pack(">I", w) for w in words)


def read_samples(data):
    """What a SEG-Y reader does: binary32 slots, put in host byte order."""
    samples = array.array("f")
    samples.frombytes(data)
    if sys.byteorder == "little":
        samples.byteswap()
    return samples


def bits(samples):
    return list(struct.unpack("=%dI" % len(samples), samples.tobytes()))


def interesting_words():
    words = [0x41100000, 0x42640000, 0xC276A000, 0x3F100000, 0x60100000, 0x60000000,
             0x7FFFFFFF, 0x5FFFFFFF, 0x1B100000, 0x42010000, 0x60FFFFFF, 0x1BC00000]
    for s in (0, SIGN):
        for e in range(128):
            for f in (0, 1, 0x0FFFFF, 0x100000, 0x400000, 0x400001, 0xC00000, 0xFFFFFF):
                words.append(s | e << 24 | f)
    rng = random.Random(2024)
    words += [rng.getrandbits(32) for _ in range(2000)]
    return words


class HostConversion(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.kernel = load_kernel()

    def convert(self, samples):
        buffer = (ctypes.c_float * len(samples)).from_buffer(samples)
        self.kernel(buffer, len(samples))

    def test_file_samples_match_the_model(self):
        words = interesting_words()
        samples = read_samples(segy_bytes(words))
        self.assertEqual(bits(samples), words)  # host order now
        self.convert(samples)
        got = bits(samples)
        for word, result in zip(words, got):
            self.assertEqual(result, expected_bits(word), "word %08x" % word)

    def test_trace_round_trip(self):
        # A damped wavelet with zeros, every sample exactly representable.
        trace = [math.floor(1000.0 * math.exp(-i / 80.0) * math.sin(i / 5.0)) / 64.0
                 for i in range(500)] + [0.0] * 12 + [-0.0, 2.0 ** -140, -(2.0 ** 120)]
        samples = read_samples(segy_bytes([ibm_word(x) for x in trace]))
        self.convert(samples)
        for x, y in zip(trace, samples):
            self.assertEqual(struct.pack("=f", x), struct.pack("=f", y), x)


if __name__ == "__main__":
    unittest.main()
