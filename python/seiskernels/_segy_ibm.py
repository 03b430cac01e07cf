"""IEEE binary32 to IBM hexadecimal single precision, vectorised in numpy,
for writing SEG-Y format 1 samples."""

from __future__ import annotations

import numpy as np

# Values converted per pass: the scratch arrays of a pass stay in the
# cache, and the ufunc calls' overhead stays small beside their work.
_CHUNK = 1 << 16
_LARGEST = 0x7FFFFFFF  # (1 - 2**-24) * 16**63, IBM's largest magnitude


def ieee2ibm(samples, byteorder: str = "big", out=None) -> np.ndarray:
    """IBM single-precision words of float32 samples, each the IBM value
    nearest to the sample.

    An IBM word is a sign bit, a 7-bit exponent of 16 in excess 64 and a
    24-bit fraction whose first hexadecimal digit is not zero: 21 to 24
    significant bits, depending on the value's binary exponent.  Every
    float32 lies within IBM's range, so each is rounded once, to the nearest
    IBM value, ties to the even fraction (a float32's 24 significant bits
    rounded to IBM's 21 to 24 never carry into the next exponent).
    float32 values with no more significant bits than IBM holds at their
    exponent are converted exactly, and `seiskernels.ibm2ieee` gives them
    back bit for bit.

    Special values: zeros keep their sign (``0x80000000`` is minus zero);
    subnormals are rounded as any other value is (IBM's range goes far
    below them); +inf and -inf become IBM's largest magnitude of their
    sign, ``0x7FFFFFFF`` and ``0xFFFFFFFF``, which `ibm2ieee` turns back into
    infinities.  IBM has no NaN, so a NaN is refused.

    Parameters
    ----------
    samples : array_like of float32
        Any shape.  Other real dtypes are first cast to float32 (rounded
        there to nearest, ties to even).
    byteorder : {'big', 'little'}
        The byte order of the words returned: SEG-Y files are big-endian
        unless they state otherwise.
    out : numpy.ndarray, optional
        Where to write the words: 4-byte elements of `samples`' shape (such
        as the sample columns of a block of traces).  Written only after
        every check has passed.

    Returns
    -------
    numpy.ndarray
        uint32 words of `byteorder` (``'>u4'`` or ``'<u4'``), or `out`.

    Raises
    ------
    ValueError
        A NaN among the samples (its index is named), a `byteorder` other
        than 'big' or 'little', or an `out` of another shape.
    TypeError
        Samples that are not real numbers, or an `out` not of 4-byte
        elements or not writable.
    """
    if byteorder not in ("big", "little"):
        raise ValueError(f"byteorder: expected 'big' or 'little', got {byteorder!r}")
    x = np.asarray(samples)
    if x.dtype.kind not in "fiub":
        raise TypeError(f"samples: expected real numbers, got dtype {x.dtype}")
    x = x.astype(np.float32, copy=False)
    order = ">" if byteorder == "big" else "<"
    if out is None:
        out = np.empty(x.shape, order + "u4")
    else:
        if not isinstance(out, np.ndarray) or out.itemsize != 4 or out.dtype.kind not in "uif":
            raise TypeError("out: expected a numpy array of 4-byte elements")
        if out.shape != x.shape:
            raise ValueError(f"out: expected shape {x.shape}, got {out.shape}")
        if not out.flags.writeable:
            raise TypeError("out: expected a writable array")
    if x.size and np.isnan(np.min(x)):  # min() propagates NaN: one fast pass
        at = np.unravel_index(np.flatnonzero(np.isnan(x.reshape(-1)))[0], x.shape)
        raise ValueError(f"samples: NaN at index {tuple(int(i) for i in at)}; IBM floats "
                         f"have no NaN (replace NaNs first, e.g. with np.nan_to_num)")
    flat = out.reshape(-1) if out.flags.c_contiguous else None
    convert = Converter()
    if flat is not None:
        src = x.reshape(-1)
        for start in range(0, src.size, _CHUNK):
            convert(src[start:start + _CHUNK], flat[start:start + _CHUNK])
    else:  # rows of a block: a few rows at a time
        rows, src = out.reshape(-1, out.shape[-1]), x.reshape(-1, x.shape[-1])
        per = max(1, _CHUNK // max(1, rows.shape[1]))
        for start in range(0, rows.shape[0], per):
            convert(src[start:start + per], rows[start:start + per])
    return out


class Converter:
    """Converts chunks of float32 to IBM words, with scratch arrays of its
    own kept between chunks (numpy's temporaries would be allocated and
    freed for each of the dozen steps).

    The float32 bits of x are sign, 8-bit exponent e (bias 127) and 23-bit
    fraction m: a normal x is M 2**(e - 150), M = 2**23 + m.  As IBM's
    F 16**(E - 64) 2**-24 with F below 2**24: E = (e + 133) // 4 and
    F = M 2**(k - 3), k = (e + 1) % 4, rounded to an integer.  That
    rounding is done by the FPU: the float32 of exponent 147 + k and
    fraction m *is* M 2**(k - 3), and rint() rounds it to nearest, ties to
    even.  No rounding carries out of the fraction: for k = 3 there is
    nothing to round, and below it F stays under 2**23.  Zeros, subnormals
    and infinities are put right afterwards, where present."""

    def __init__(self, chunk=_CHUNK):
        self.scratch = [np.empty(chunk, np.uint32) for _ in range(3)]

    def __call__(self, x, out):
        x = np.ascontiguousarray(x, np.float32).reshape(-1)
        n = x.size
        if n > self.scratch[0].size:
            self.scratch = [np.empty(n, np.uint32) for _ in range(3)]
        u = x.view(np.uint32)
        a, y, f = (s[:n] for s in self.scratch)
        np.bitwise_and(u, np.uint32(0x7FFFFFFF), out=a)
        special = n and (a.max() >= 0x7F800000 or a.min() < 0x00800000)
        np.add(a, np.uint32(1 << 23), out=f)              # k in bits 23-24
        np.bitwise_and(f, np.uint32(3 << 23), out=f)
        np.add(f, np.uint32(147 << 23), out=f)
        np.bitwise_and(a, np.uint32(0x7FFFFF), out=y)
        np.bitwise_or(y, f, out=y)
        yf = y.view(np.float32)
        np.rint(yf, out=yf)
        np.copyto(f, yf, casting="unsafe")                # F
        np.add(a, np.uint32(133 << 23), out=a)            # E << 24
        np.right_shift(a, np.uint32(25), out=a)
        np.left_shift(a, np.uint32(24), out=a)
        np.add(a, f, out=a)
        np.bitwise_and(u, np.uint32(0x80000000), out=f)
        np.bitwise_or(a, f, out=a)
        if special:
            _specials(x, a)
        out[...] = a.reshape(out.shape)


def _specials(x, words):
    """Zeros, subnormals and infinities of a chunk, put right in `words`."""
    bits = x.view(np.uint32)
    e = (bits >> np.uint32(23)) & np.uint32(0xFF)
    at = np.flatnonzero((e == 0) | (e == 255))
    sign = bits[at] & np.uint32(0x80000000)
    mag = np.abs(x[at]).astype(np.float64)
    fixed = sign.copy()
    sub = np.flatnonzero(mag != 0)
    if sub.size:
        m, ex = np.frexp(mag[sub])                 # mag = m 2**ex, 1/2 <= m < 1
        big = (ex + 3) // 4                        # mag < 16**big
        f = np.rint(np.ldexp(m, 24 + ex - 4 * big))   # exact scaling; ties to even
        carry = f >= 1 << 24
        f = np.where(carry, 1 << 20, f)
        big = big + carry
        fixed[sub] |= ((big + 64).astype(np.uint32) << np.uint32(24)) | f.astype(np.uint32)
    fixed[np.isinf(mag)] = sign[np.isinf(mag)] | np.uint32(_LARGEST)
    words[at] = fixed
