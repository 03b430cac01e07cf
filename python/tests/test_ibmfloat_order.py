"""ibm2ieee's byte order over repeated calls, the words past `len`, and the
path taken without numpy on buffers of many words, against an oracle that
decodes IBM words by exact float64 arithmetic."""
import array
import os
import subprocess
import sys

import numpy as np
import pytest

import seiskernels as sk
from at_once import at_once

RNG = np.random.default_rng(25)
WORDS = RNG.integers(0, 2 ** 32, 40000, dtype=np.uint64).astype(np.uint32)


def oracle(words):
    """float32 of IBM words given as values: F 16**(E-64) 2**-24 exact in
    float64, then rounded once."""
    w = words.astype(np.uint64)
    value = np.ldexp((w & 0xFFFFFF).astype(np.float64),
                     4 * (((w >> 24) & 0x7F).astype(np.int64) - 64) - 24)
    with np.errstate(over="ignore"):
        return np.where(w >> 31, -value, value).astype(np.float32)


KINDS = {  # a buffer of words as they lie in a file of the given byte order
    "bytearray": lambda w, order: bytearray(w.astype(order + "u4").tobytes()),
    "array.array": lambda w, order: array.array("I", w.astype(order + "u4").tobytes()),
    "numpy host uint32": lambda w, order: np.frombuffer(
        bytearray(w.astype(order + "u4").tobytes()), np.uint32),
    "numpy host float32": lambda w, order: np.frombuffer(
        bytearray(w.astype(order + "u4").tobytes()), np.float32),
}


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_the_default_byte_order_stays_big_after_any_call(kind):
    make = KINDS[kind]
    words = WORDS[:300]
    want = oracle(words).tobytes()
    calls = [({}, ">"), (dict(byteorder="little"), "<"), ({}, ">"),
             (dict(byteorder=sys.byteorder), "<" if sys.byteorder == "little" else ">"),
             ({}, ">"), (dict(byteorder="big"), ">"), ({}, ">")]
    for kwargs, order in calls:
        got = sk.ibm2ieee(make(words, order), **kwargs)
        assert bytes(memoryview(got).cast("B")) == want, (kwargs, order)


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("order", [">", "<"])
@pytest.mark.parametrize("n", [0, 1, 7, 299])
def test_the_words_past_len_are_untouched(kind, order, n):
    buf = KINDS[kind](WORDS[:300], order)
    before = bytes(memoryview(buf).cast("B"))
    got = sk.ibm2ieee(buf, n, byteorder="big" if order == ">" else "little")
    after = bytes(memoryview(buf).cast("B"))
    assert after[4 * n:] == before[4 * n:]
    assert bytes(memoryview(got).cast("B")) == oracle(WORDS[:n]).tobytes()


CHILD = """
import sys
import seiskernels as sk
data = bytearray(open(sys.argv[1], "rb").read())
n = int(sys.argv[3])
got = sk.ibm2ieee(data, n if n >= 0 else None, byteorder=sys.argv[2])
assert "numpy" not in sys.modules
open(sys.argv[4], "wb").write(bytes(got) + bytes(data))
"""


@pytest.mark.parametrize("order, n", [(">", -1), ("<", -1), (">", 20001), ("<", 4097)])
def test_without_numpy_many_words_convert(tmp_path, order, n):
    source, result = tmp_path / "words", tmp_path / "out"
    raw = WORDS.astype(order + "u4").tobytes()
    source.write_bytes(raw)
    # A numpy that cannot be imported, first on the path: as where numpy
    # is not installed.
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("raise ImportError('no numpy here')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    subprocess.run([sys.executable, "-c", CHILD, str(source),
                    "big" if order == ">" else "little", str(n), str(result)],
                   check=True, env=env, timeout=60)
    count = len(WORDS) if n < 0 else n
    out = result.read_bytes()
    got, data = out[:4 * count], out[4 * count:]
    assert got == oracle(WORDS[:count]).tobytes()
    assert data[4 * count:] == raw[4 * count:]


def test_threads_converting_at_once_match_the_oracle():
    """The kernel runs without the GIL: four threads swapping and converting
    buffers of their own at once each get the oracle's floats."""
    expected = oracle(WORDS).view(np.uint32)

    def convert():
        return all(np.array_equal(sk.ibm2ieee(WORDS.astype(">u4")).view(np.uint32), expected)
                   for _ in range(10))
    assert all(at_once(convert, [()] * 4))
