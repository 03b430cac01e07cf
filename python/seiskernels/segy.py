"""SEG-Y files as numpy users read them: the textual and binary headers, the
trace headers field by field or whole, the samples of any traces as a
contiguous array, the inline/crossline geometry of 3-D surveys, and Dask
arrays for surveys larger than memory; new files written, and trace headers
updated in place.

Fixed-length traces of sample formats 1 (IBM float), 2, 3, 8 (4-, 2-, 1-byte
integers), 5 (IEEE float) and revision 2's 6, 9, 10, 11, 12 and 16.  A file
that its headers do not describe exactly is refused with the byte positions
and the reason, never read as something else.  Needs numpy.

Byte positions in messages count from 1, as the standard numbers them:
"bytes 3225-3226" is the format code.
"""

from __future__ import annotations

import errno
import os
import stat
import struct
import sys
import threading
from collections import namedtuple
from typing import Optional

import numpy as np

from ._segy_fields import (BINARY_BYTES, BINARY_FIELDS, SCALED_BY, SEGYIO_BINARY_NAMES,
                           SEGYIO_TRACE_NAMES, TEXT_BYTES, TRACE_FIELDS, TRACE_HEADER_BYTES,
                           field_key, trace_header_dtype)
from ._segy_geometry import Geometry
from ._segy_ibm import ieee2ibm
from ._segy_write import update_headers, write
from .ibmfloat import ibm2ieee

__all__ = ["SegyFile", "read", "write", "update_headers", "ieee2ibm", "trace_header_dtype",
           "TRACE_FIELDS", "BINARY_FIELDS", "SEGYIO_TRACE_NAMES", "SEGYIO_BINARY_NAMES",
           "FORMATS", "OTHER_FORMATS", "Geometry", "Cube"]

HEADERS_BYTES = TEXT_BYTES + BINARY_BYTES
# Sample formats read: code -> what it is, and the dtype of a sample in the
# file (without its byte order; format 1's IBM words are read as float32).
FORMATS = {1: "4-byte IBM float", 2: "4-byte two's complement integer",
           3: "2-byte two's complement integer", 5: "4-byte IEEE float",
           6: "8-byte IEEE float", 8: "1-byte two's complement integer",
           9: "8-byte two's complement integer", 10: "4-byte unsigned integer",
           11: "2-byte unsigned integer", 12: "8-byte unsigned integer",
           16: "1-byte unsigned integer"}
_DTYPES = {1: "u4", 2: "i4", 3: "i2", 5: "f4", 6: "f8", 8: "i1", 9: "i8", 10: "u4", 11: "u2",
           12: "u8", 16: "u1"}
# SEG-Y's other format codes, refused by name.
OTHER_FORMATS = {4: "4-byte fixed point with gain", 7: "3-byte two's complement integer",
                 15: "3-byte unsigned integer"}
_FORMAT_LIST = ", ".join(f"{c} ({w})" for c, w in FORMATS.items())

# Byte offsets, counted from 0, of the binary header fields the reader needs.
_INTERVAL, _SAMPLES, _FORMAT, _EXT_SAMPLES, _EXT_INTERVAL, _BYTE_ORDER = \
    3216, 3220, 3224, 3268, 3272, 3296
_REVISION, _EXT_HEADERS, _EXTRA_HEADERS, _TRACE_COUNT, _FIRST_TRACE, _TRAILER = \
    3500, 3504, 3506, 3512, 3520, 3528
# Trace header fields the reader checks (offsets from the trace's start).
_TR_SAMPLES, _TR_INTERVAL, _TR_DELAY, _TR_TIME_SCALAR = 114, 116, 108, 214

# Bytes read into the cache-sized scratch buffer at a time.
_CHUNK_BYTES = 1 << 20
# Header fields are read through a smaller buffer: beside a field of a few
# bytes a trace, a megabyte would be most of the memory the read takes.
_HEADER_CHUNK_BYTES = 1 << 18
# A trace read on its own costs a system call, about what copying 20 kB
# costs: traces closer than that are read together with what lies between.
_GAP_BYTES = 20000

_OPEN_FLAGS = (os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
               | getattr(os, "O_CLOEXEC", 0))

Cube = namedtuple("Cube", "data inlines crosslines offsets time")
Cube.__doc__ = """A regular 3-D survey's samples and their coordinates, as
`SegyFile.cube` and `SegyFile.cube_to_dask` give them.

Attributes
----------
data : numpy.ndarray or dask.array.Array
    (inlines, crosslines, samples), or (inlines, crosslines, offsets,
    samples) when the survey has several offsets and none was chosen.
inlines, crosslines, offsets : numpy.ndarray
    The line numbers and offsets along the axes, ascending.
time : numpy.ndarray
    The time (or depth) of each sample: `SegyFile.time_axis()`."""


def _bytes(at, n):
    """Bytes at..at+n-1 (counted from 0) in the standard's numbering from 1."""
    return f"bytes {at + 1}-{at + n}"


def _text(raw: bytes) -> str:
    """A textual header as text, in lines of 80 characters: EBCDIC (code
    page 037) unless more of its bytes read as ASCII letters, digits,
    spaces and punctuation than as EBCDIC ones.  NUL bytes, which pad many
    headers, count for neither and read as spaces; a blank EBCDIC header
    (all 0x40, '@' in ASCII) stays blank."""
    counts = np.bincount(np.frombuffer(raw, np.uint8), minlength=256)
    ascii_like = counts[_ASCII_TEXT].sum() > counts[_EBCDIC_TEXT].sum()
    text = raw.decode("ascii" if ascii_like else "cp037", errors="replace").replace("\x00", " ")
    return "\n".join(text[i:i + 80].rstrip() for i in range(0, len(text), 80))


_TEXT_CHARS = ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 "
               ".,:;-_/()=+'\"#*&%")
_ASCII_TEXT = np.frombuffer(_TEXT_CHARS.encode("ascii"), np.uint8)
_EBCDIC_TEXT = np.frombuffer(_TEXT_CHARS.encode("cp037"), np.uint8)


def _open_regular(path):
    """A descriptor of a regular file, opened without blocking: a FIFO with
    no writer, a terminal or a device is refused at once."""
    fd = os.open(path, _OPEN_FLAGS)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            kind = ("a FIFO" if stat.S_ISFIFO(st.st_mode) else "a directory"
                    if stat.S_ISDIR(st.st_mode) else "a device" if stat.S_ISCHR(st.st_mode)
                    or stat.S_ISBLK(st.st_mode) else "a socket" if stat.S_ISSOCK(st.st_mode)
                    else "not a regular file")
            raise OSError(errno.EINVAL, f"{path}: expected a regular file, got {kind}")
    except BaseException:
        os.close(fd)
        raise
    return fd, st


class SegyFile:
    """A SEG-Y file of fixed-length traces, its headers read and checked.

    Parameters
    ----------
    path : str or os.PathLike
        The file: a regular file, only ever read, and nothing past its end.
    endian : {'big', 'little'}, optional
        The file's byte order.  By default it is the one the binary header
        states (bytes 3297-3300, revision 2), else the one in which the
        format code is a SEG-Y format (a byte-swapped 1 reads as 256), else
        the one in which the sample count fits the file's size, else big.
    inline, crossline, offset : field, optional
        Where the geometry (`geometry`, `inline`, `crossline`, `cube`, ...)
        reads each trace's inline, crossline and offset: a field name, the
        first byte of a standard field, or (first byte, type) such as
        (17, 'i4').  By default bytes 189, 193 and 37.

    Attributes
    ----------
    text : list of str
        The textual header and any extended ones, decoded from EBCDIC or
        ASCII.
    binary : dict
        Every field of the binary header (revision 2's included) by name,
        as `BINARY_FIELDS` lists them.
    sample_interval : int or float
        Microseconds (or the unit of the survey's domain) between samples:
        revision 2's extended interval where set, else bytes 3217-3218,
        else the first trace header's (bytes 117-118), else 0.
    samples : int
        Samples per trace: revision 2's extended count where set, else
        bytes 3221-3222, else the first trace header's.
    format : int
        Sample format code (see `FORMATS`).
    dtype : numpy.dtype
        The samples' dtype as read by default: float32 for formats 1 and
        5, the format's own for the others.
    revision : tuple of int
        (major, minor) SEG-Y revision, bytes 3501 and 3502.
    extended_headers : int
        Number of extended textual headers.
    byteorder : {'big', 'little'}
        The file's byte order.
    traces : int
        Number of traces.
    data_start, trace_bytes : int
        Byte offset (from 0) of the first trace, and bytes per trace.

    Raises
    ------
    ValueError
        A file its headers do not describe exactly: shorter than they say,
        trace data that is not a whole number of traces (nor traces and
        revision 2's trailer), a sample count of zero, beyond the file, or
        other than the trace headers', a first trace inside the headers, an
        unknown or unread format code, extra trace headers, extended
        textual headers past the end.  The message names the file, the
        bytes (counted from 1) and what was expected.
    OSError
        A path that cannot be opened, or is not a regular file (a FIFO is
        refused at once, never waited on).

    Notes
    -----
    ``with SegyFile(path) as s:`` closes the file at the end; a SegyFile
    also opens it again where it is used after being pickled (Dask's
    workers).  ``len(s)`` is the number of traces; ``np.asarray(s)`` and
    ``s[...]`` give samples as numpy does.
    """

    def __init__(self, path, *, endian: Optional[str] = None, inline=189, crossline=193,
                 offset=37):
        try:
            self.path = os.fspath(path)
        except TypeError:
            raise TypeError(f"path: expected a str or os.PathLike, got "
                            f"{type(path).__name__}") from None
        if endian not in (None, "big", "little"):
            raise ValueError(f"endian: expected 'big', 'little' or None, got {endian!r}")
        self._keys = tuple(field_key(k, name) for k, name in
                           ((inline, "inline"), (crossline, "crossline"), (offset, "offset")))
        self._key_args = (inline, crossline, offset)
        self._fd, self._lock, self._closed, self._geometry = None, threading.Lock(), False, None
        fd, st = _open_regular(self.path)
        self._fd, self._identity = fd, (st.st_dev, st.st_ino, st.st_size)
        try:
            self.size = size = st.st_size
            if size < HEADERS_BYTES:
                self._bad(0, HEADERS_BYTES, f"the {TEXT_BYTES}-byte textual and "
                          f"{BINARY_BYTES}-byte binary headers, but the file holds {size} bytes")
            head = self._pread(HEADERS_BYTES, 0)
            self.byteorder = self._order(head, endian, size)
            self._parse(head, size)
            extended = self._pread(TEXT_BYTES * self.extended_headers, HEADERS_BYTES)
        except BaseException:
            self.close()
            raise
        self.text = [_text(head[:TEXT_BYTES])] + [
            _text(extended[i:i + TEXT_BYTES]) for i in range(0, len(extended), TEXT_BYTES)]

    # -- the headers --------------------------------------------------------

    def _bad(self, at, n, expected):
        where = _bytes(at, n) if n else f"byte offset {at} (counted from 0)"
        raise ValueError(f"{self.path}: at {where}, expected {expected}")

    def _order(self, head, endian, size):
        if endian is not None:
            return endian
        mark = head[_BYTE_ORDER:_BYTE_ORDER + 4]
        if mark in (b"\x01\x02\x03\x04", b"\x04\x03\x02\x01"):
            return "big" if mark[0] == 1 else "little"
        # No mark: the format code is a small number in the file's order,
        # 256 times one in the other.
        codes = {o: struct.unpack_from(c + "h", head, _FORMAT)[0]
                 for o, c in (("big", ">"), ("little", "<"))}
        known = [o for o in codes if codes[o] in FORMATS or codes[o] in OTHER_FORMATS]
        if len(known) == 1:
            return known[0]
        fits = []
        for o, c in (("big", ">"), ("little", "<")):
            ns = struct.unpack_from(c + "H", head, _SAMPLES)[0]
            if ns and (size - HEADERS_BYTES) % (TRACE_HEADER_BYTES + 4 * ns) == 0:
                fits.append(o)
        return fits[0] if len(fits) == 1 else "big"

    def _value(self, head, at, code):
        return struct.unpack_from(("<" if self.byteorder == "little" else ">") + code,
                                  head, at)[0]

    def _parse(self, head, size):
        self.binary = {}
        order = "<" if self.byteorder == "little" else ">"
        for name, at, n, kind in BINARY_FIELDS:
            code = {"i": "bhiq", "u": "BHIQ", "f": "   d"}[kind][{1: 0, 2: 1, 4: 2, 8: 3}[n]]
            self.binary[name] = struct.unpack_from(order + code, head, at - 1)[0]
        # Revision 2 gives major and minor a byte each, in any byte order;
        # revision 1 a 16-bit word, 0x0100, that a little-endian writer
        # leaves as 00 01.
        major, minor = head[_REVISION], head[_REVISION + 1]
        if self.byteorder == "little" and major == 0 and minor in (1, 2):
            major, minor = minor, 0
        self.revision = (major, minor)
        self.binary["revision_major"], self.binary["revision_minor"] = major, minor
        rev2 = major == 2
        self.format = fmt = self.binary["format"]
        if fmt not in FORMATS:
            other = struct.unpack_from(("<" if order == ">" else ">") + "h", head, _FORMAT)[0]
            what = OTHER_FORMATS.get(fmt)
            found = f"format code {fmt} ({what}), which this reader does not read" if what \
                else f"format code {fmt}, which is no SEG-Y format (read {self.byteorder}-" \
                     f"endian; {other} the other way)"
            self._bad(_FORMAT, 2, f"a sample format this reader reads, one of {_FORMAT_LIST}; "
                                  f"got {found}")
        kind = _DTYPES[fmt]
        self._file_dtype = np.dtype(kind if kind[1] == "1" else order + kind)
        self.sample_bytes = self._file_dtype.itemsize
        self.dtype = np.dtype(np.float32 if fmt in (1, 5) else kind)
        self.extended_headers = self.binary["extended_headers"]
        if self.extended_headers < 0:
            self._bad(_EXT_HEADERS, 2, "a count of extended textual headers of 0 or more (a "
                                       f"variable count, {self.extended_headers}, is not read "
                                       f"here)")
        start = HEADERS_BYTES + TEXT_BYTES * self.extended_headers
        if start > size:
            self._bad(_EXT_HEADERS, 2, f"{self.extended_headers} extended textual headers, up "
                                       f"to byte offset {start}, but the file ends at byte "
                                       f"offset {size}")
        if rev2 and self.binary["extra_trace_headers"]:
            self._bad(_EXTRA_HEADERS, 4, f"no additional trace headers (this reader reads "
                                         f"traces of one 240-byte header); got "
                                         f"{self.binary['extra_trace_headers']} per trace")
        if rev2 and self.binary["first_trace"]:
            first = self.binary["first_trace"]
            if not start <= first <= size:
                self._bad(_FIRST_TRACE, 8, f"the first trace at a byte offset from {start} "
                                           f"(past the textual and binary headers) to {size} "
                                           f"(the file's end); got {first}")
            start = first
        self.data_start = start
        ns_at, ns = _SAMPLES, self.binary["samples"]
        if rev2 and self.binary["ext_samples"]:
            ns_at, ns = _EXT_SAMPLES, self.binary["ext_samples"]
            if ns < 0:
                self._bad(ns_at, 4, f"a sample count of 0 or more, got {ns}")
        # The first trace header: its sample count must agree, and it gives
        # what the binary header leaves at zero.
        first_header = self._pread(TRACE_HEADER_BYTES, start) \
            if size - start >= TRACE_HEADER_BYTES else None
        trace_ns = self._value(first_header, _TR_SAMPLES, "H") if first_header else 0
        if ns == 0 and trace_ns:
            ns_at, ns = start + _TR_SAMPLES, trace_ns
        self.samples = ns
        self.trace_bytes = tb = TRACE_HEADER_BYTES + self.sample_bytes * ns
        data = size - start
        if (ns == 0 and data) or tb > data > 0:
            self._bad(ns_at, 4 if ns_at == _EXT_SAMPLES else 2,
                      f"a sample count that fits the {data} bytes of trace data from byte "
                      f"offset {start} (at least 1), got {ns} samples per trace")
        trailer = 0
        if rev2 and self.binary["trailer_records"] > 0:
            trailer = TEXT_BYTES * self.binary["trailer_records"]
        stated = self.binary["trace_count"] if rev2 else 0
        if stated:
            end = start + stated * tb
            if end > size:
                self._bad(_TRACE_COUNT, 8, f"{stated} traces as the binary header says, up to "
                                           f"byte offset {end}, but the file ends at byte "
                                           f"offset {size}")
            left = size - end
            if left != trailer and not (rev2 and self.binary["trailer_records"] < 0):
                self._bad(_TRACE_COUNT, 8, f"{stated} traces, then {trailer // TEXT_BYTES} "
                                           f"trailer records (bytes 3529-3532) of 3200 bytes, "
                                           f"but {left} bytes follow the last trace")
            self.traces = stated
        else:
            if trailer > data:
                self._bad(_TRAILER, 4, f"{trailer // TEXT_BYTES} trailer records of 3200 "
                                       f"bytes within the {data} bytes after the headers")
            self.traces, extra = divmod(data - trailer, tb) if tb else (0, 0)
            if extra:
                self._bad(start, 0, f"whole traces of {tb} bytes (240-byte header and {ns} "
                                    f"samples of {self.sample_bytes} bytes) up to the end of "
                                    f"the file at byte offset {size - trailer}, but {extra} "
                                    f"bytes are left over after {self.traces} traces")
        self.trailer_bytes = size - start - self.traces * tb
        # Every trace header that states a sample count states this one.
        ends = [0] if self.traces < 2 else [0, self.traces - 1]
        for t in ends if self.traces else []:
            header = first_header if t == 0 else self._pread(TRACE_HEADER_BYTES,
                                                             start + t * tb)
            count = self._value(header, _TR_SAMPLES, "H")
            if count and ns <= 0xFFFF and count != ns:
                where = start + t * tb + _TR_SAMPLES
                self._bad(where, 2, f"{ns} samples per trace, as the binary header says "
                                    f"({_bytes(ns_at, 4 if ns_at == _EXT_SAMPLES else 2)}); "
                                    f"trace {t}'s header says {count}")
        interval = self.binary["sample_interval"]
        if rev2 and self.binary["ext_sample_interval"] > 0 and \
                np.isfinite(self.binary["ext_sample_interval"]):
            interval = self.binary["ext_sample_interval"]
            interval = int(interval) if interval == int(interval) else interval
        if not interval and first_header:
            interval = self._value(first_header, _TR_INTERVAL, "H")
        self.sample_interval = interval
        self._first_header = first_header

    # -- reading ------------------------------------------------------------

    def _handle(self):
        if self._closed:
            raise ValueError(f"{self.path}: I/O operation on a closed SegyFile")
        if self._fd is None:
            with self._lock:
                if self._fd is None:
                    fd, st = _open_regular(self.path)
                    if (st.st_dev, st.st_ino, st.st_size) != self._identity:
                        os.close(fd)
                        raise ValueError(f"{self.path}: is no longer the file whose headers "
                                         f"were read (replaced or resized)")
                    self._fd = fd
        return self._fd

    def _pread(self, n, offset, into=None):
        """n bytes at `offset` (from 0), or into the writable buffer `into`."""
        buf = bytearray(n) if into is None else into
        view = memoryview(buf).cast("B")
        fd = self._handle()
        done = 0
        while done < view.nbytes:
            if hasattr(os, "preadv"):
                got = os.preadv(fd, [view[done:]], offset + done)
            else:
                with self._lock:
                    os.lseek(fd, offset + done, os.SEEK_SET)
                    got = os.readv(fd, [view[done:]]) if hasattr(os, "readv") else \
                        _read_into(fd, view[done:])
            if not got:
                raise ValueError(f"{self.path}: at byte offset {offset + done} (counted from "
                                 f"0), expected more data, but the file ended (truncated "
                                 f"while being read?)")
            done += got
        return buf

    def _pread_each(self, flat, width, offsets):
        """width bytes at each offset, one after the other into `flat`: the
        system call per trace is the cost, so the loop does little else."""
        fd, at = self._handle(), 0
        preadv = getattr(os, "preadv", None)
        for offset in offsets:
            view = flat[at:at + width]
            if preadv is None or preadv(fd, [view], offset) != width:
                self._pread(width, offset, view)  # short: again, the careful way
            at += width

    def close(self):
        """Closes the file; reading afterwards raises ValueError."""
        self._closed = True
        fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        fd = getattr(self, "_fd", None)
        if fd is not None:
            os.close(fd)

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_fd"], state["_lock"] = None, None
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._lock = threading.Lock()

    def __len__(self):
        return self.traces

    def _chunks(self, sel, lo, hi, chunk_bytes=None):
        """Bytes lo:hi of each trace of `sel` (a range of step 1, or an
        ascending array of distinct trace numbers), as (position in sel,
        uint8 rows) pairs, the rows read a chunk at a time: traces close
        together in one read with what lies between them, the others one by
        one, only their bytes lo:hi."""
        tb, width, base = self.trace_bytes, hi - lo, self.data_start
        chunk_bytes = chunk_bytes or _CHUNK_BYTES
        rows = max(1, chunk_bytes // tb)
        if isinstance(sel, range):
            if tb - width <= _GAP_BYTES:
                scratch = np.empty((rows, tb), np.uint8)
                for at in range(0, len(sel), rows):
                    k = min(rows, len(sel) - at)
                    self._pread(k * tb, base + (sel.start + at) * tb, scratch[:k])
                    yield at, scratch[:k, lo:hi]
                return
            sel = np.arange(sel.start, sel.stop, dtype=np.int64)
        n = len(sel)
        scratch = alone = None
        apart = max(1, chunk_bytes // max(width, 1))
        i = 0
        while i < n:
            j = int(np.searchsorted(sel, sel[i] + rows, "left"))
            window = int(sel[j - 1] - sel[i]) + 1
            if j - i > 1 and window * tb - (j - i) * width <= (j - i) * _GAP_BYTES:
                if scratch is None or scratch.size < window * tb:
                    scratch = np.empty(rows * tb if window > 1 else tb, np.uint8)
                block = scratch[:window * tb].reshape(window, tb)
                self._pread(window * tb, base + int(sel[i]) * tb, block)
                picked = sel[i:j] - sel[i]
                yield i, (block[:, lo:hi] if window == j - i else block[picked, lo:hi])
                i = j
                continue
            # A trace far from the next: each on its own, as many as the
            # buffer holds before the next dense run, then converted at once.
            far = np.diff(sel[i:i + apart + 1]) * tb - width > _GAP_BYTES
            j = i + 1 + (int(np.argmin(far)) if not far.all() else len(far))
            j = min(j, n, i + apart)
            if alone is None or len(alone) < j - i:
                alone = np.empty((j - i, width), np.uint8)
                flat = memoryview(alone).cast("B")
            self._pread_each(flat, width, (sel[i:j] * tb + (base + lo)).tolist())
            yield i, alone[:j - i]
            i = j

    def _decode(self, raw, out):
        """Samples of the file's format, (rows, n) uint8 -> out (rows, n / size)."""
        words = raw.view(self._file_dtype)
        if self.format != 1:
            np.copyto(out, words, casting="unsafe")
        elif out.dtype == np.float32 and out.flags.c_contiguous:
            target = out.view(np.uint32)
            np.copyto(target, words)  # into the machine's byte order as it is copied
            ibm2ieee(target, byteorder=sys.byteorder)
        else:
            target = np.empty(out.shape, np.uint32)
            np.copyto(target, words)
            np.copyto(out, ibm2ieee(target, byteorder=sys.byteorder), casting="unsafe")

    def _selection(self, key, argument="traces"):
        """A trace key as (range of step 1 or ascending distinct array, the
        order to put the rows read back in or None, whether it was a scalar)."""
        n = self.traces
        if isinstance(key, slice):
            r = range(*key.indices(n))
            if r.step == 1:
                return r, None, False
            if r.step > 0 or not len(r):
                return np.arange(r.start, r.stop, r.step, dtype=np.int64), None, False
            return np.arange(r[-1], r.start + 1, -r.step, dtype=np.int64), \
                np.arange(len(r) - 1, -1, -1), False
        if isinstance(key, (int, np.integer)):
            t = int(key)
            if not -n <= t < n:
                raise IndexError(f"{argument}: trace {t} is out of range for {n} traces")
            t %= n
            return range(t, t + 1), None, True
        idx = np.asarray(key)
        if idx.size == 0 and not isinstance(key, np.ndarray):
            idx = idx.astype(np.int64)  # [] is an empty list of traces, as in numpy
        if idx.dtype == bool:
            if idx.shape != (n,):
                raise IndexError(f"{argument}: a boolean mask of {n} traces expected, got "
                                 f"shape {idx.shape}")
            return np.flatnonzero(idx).astype(np.int64), None, False
        if idx.dtype.kind not in "iu":
            raise IndexError(f"{argument}: expected an integer, a slice, or an array of "
                             f"integers or booleans, got {idx.dtype} {type(key).__name__}")
        idx = idx.astype(np.int64).reshape(-1)
        if idx.size and (idx.min() < -n or idx.max() >= n):
            bad = idx[(idx < -n) | (idx >= n)][0]
            raise IndexError(f"{argument}: trace {bad} is out of range for {n} traces")
        idx = np.where(idx < 0, idx + n, idx)
        if idx.size < 2 or (np.diff(idx) > 0).all():
            return idx, None, False
        unique, inverse = np.unique(idx, return_inverse=True)
        return unique, inverse, False

    def _samples(self, sel, order=None, columns=None, dtype=None):
        """The samples of the traces of `sel` (see _selection), of sample
        columns `columns` (a range of step 1, all by default), as a
        C-contiguous array of `dtype`."""
        dtype = self.dtype if dtype is None else np.dtype(dtype)
        columns = range(self.samples) if columns is None else columns
        size = self.sample_bytes
        out = np.empty((len(sel), len(columns)), dtype)
        if len(columns) and len(sel):
            lo = TRACE_HEADER_BYTES + size * columns.start
            for at, rows in self._chunks(sel, lo, lo + size * len(columns)):
                self._decode(rows, out[at:at + len(rows)])
        return out if order is None else out[order]

    def read(self, start: Optional[int] = None, stop: Optional[int] = None, *,
             dtype=None) -> np.ndarray:
        """The samples of traces ``start:stop`` (as in a slice; all of them
        by default), shape (traces, samples).

        Parameters
        ----------
        start, stop : int, optional
            The traces, as in a slice.
        dtype : numpy dtype, optional
            The samples' dtype: by default `dtype` (float32 for formats 1
            and 5, the integer formats' own type); float32 turns integer
            samples into floats, exactly up to 2**24.

        Returns
        -------
        numpy.ndarray
            C-contiguous, holding the samples alone: the traces are read a
            megabyte at a time into a buffer that stays in the cache, and
            each trace's samples converted from there into its row.
        """
        return self._samples(self._selection(slice(start, stop))[0], dtype=dtype)

    def __array__(self, dtype=None):
        return self.read(dtype=dtype)

    def traces_and_headers(self, start: Optional[int] = None, stop: Optional[int] = None):
        """The samples (as `read`) and the headers (as `headers`) of
        traces ``start:stop``, from one read of the file."""
        sel = self._selection(slice(start, stop))[0]
        samples = np.empty((len(sel), self.samples), self.dtype)
        headers = np.zeros(len(sel), trace_header_dtype(self.byteorder))
        raw = headers.view(np.uint8).reshape(-1, TRACE_HEADER_BYTES)
        for at, rows in self._chunks(sel, 0, self.trace_bytes):
            raw[at:at + len(rows)] = rows[:, :TRACE_HEADER_BYTES]
            self._decode(rows[:, TRACE_HEADER_BYTES:], samples[at:at + len(rows)])
        return samples, headers

    def headers(self, start: Optional[int] = None, stop: Optional[int] = None) -> np.ndarray:
        """The trace headers of traces ``start:stop`` as a structured array
        of `trace_header_dtype` (field ``raw`` holds the 240 bytes), read
        without the samples' memory: 240 bytes a trace."""
        sel = self._selection(slice(start, stop))[0]
        out = np.empty(len(sel), trace_header_dtype(self.byteorder))
        raw = out.view(np.uint8).reshape(-1, TRACE_HEADER_BYTES)
        for at, rows in self._chunks(sel, 0, TRACE_HEADER_BYTES):
            raw[at:at + len(rows)] = rows
        return out

    def fields(self, keys, start: Optional[int] = None, stop: Optional[int] = None, *,
               traces=None, scale: bool = False) -> np.ndarray:
        """Trace header fields of all traces, or a range, without the
        samples: a structured array of the fields, in memory only what the
        fields take (the file is read through a one-megabyte buffer; traces
        of more than 20 kB have their header bytes read alone).

        Parameters
        ----------
        keys : list of field
            Each a name (``'offset'``, or segyio's ``'INLINE_3D'``), the
            first byte of a standard field (189, as segyio.TraceField), or
            (first byte, type) such as (233, 'i4') or (17, 'f4') for other
            bytes; the file's byte order is applied.
        start, stop : int, optional
            The traces, as in a slice.
        traces : int, slice or array of int, optional
            Instead of start and stop: any traces, as `__getitem__` takes.
        scale : bool
            Apply the standard scalars: coordinates by bytes 71-72,
            elevations and depths by bytes 69-70, the shot point by
            201-202, times by 215-216 (positive multiplies, negative
            divides, 0 counts as 1).  Scaled fields come as float64.

        Returns
        -------
        numpy.ndarray
            Structured, one record per trace, native byte order; fields
            named by their name, or ``byte<N>_<type>`` for byte positions.
        """
        keys = [field_key(k, "keys") for k in keys]
        names = [k[0] for k in keys]
        if len(set(names)) != len(names):
            raise ValueError(f"keys: a field given twice among {names}")
        values, order = self._fields(keys, slice(start, stop) if traces is None else traces,
                                     scale)
        out = np.empty(len(values[names[0]]), [(n, values[n].dtype) for n in names])
        for name in names:
            out[name] = values[name]
        return out if order is None else out[order]

    def _fields(self, keys, traces, scale):
        """{name: 1-D array} of fields (and the order to put them back in),
        each read straight into its own array."""
        sel, order, _ = self._selection(traces)
        need = list(keys)
        if scale:
            for k in keys:
                s = SCALED_BY.get(k[0])
                if s and s not in [n[0] for n in need]:
                    need.append(field_key(s))
        lo = min(k[1] for k in need) - 1
        hi = max(k[1] - 1 + int(k[2][1:]) for k in need)
        raw = {k[0]: np.empty(len(sel), k[2]) for k in need}
        order_char = ">" if self.byteorder == "big" else "<"
        for at, rows in self._chunks(sel, lo, hi, _HEADER_CHUNK_BYTES):
            for name, byte, code in need:
                a = byte - 1 - lo
                words = rows[:, a:a + int(code[1:])]
                raw[name][at:at + len(rows)] = words.view(
                    code if code[1:] == "1" else order_char + code)[:, 0]
        if scale:
            for name, _, _ in keys:
                if name in SCALED_BY:
                    s = raw[SCALED_BY[name]].astype(np.float64)
                    raw[name] = np.where(s > 0, raw[name] * s,
                                         raw[name] / np.where(s < 0, -s, 1.0))
        return {k[0]: raw[k[0]] for k in keys}, order

    def field(self, key, start: Optional[int] = None, stop: Optional[int] = None, *,
              traces=None, scale: bool = False) -> np.ndarray:
        """One trace header field of all traces, or a range: a 1-D array,
        read as `fields` reads, straight into the array returned, in memory
        the field's size and a quarter of a megabyte (field names are listed
        beside segyio's in `TRACE_FIELDS` and `SEGYIO_TRACE_NAMES`)."""
        k = field_key(key, "key")
        values, order = self._fields([k], slice(start, stop) if traces is None else traces,
                                     scale)
        out = values[k[0]]
        return out if order is None else out[order]

    def time_axis(self) -> np.ndarray:
        """The time (or depth) of each sample, float64, in milliseconds for
        time: the first trace's delay (bytes 109-110, scaled by bytes
        215-216) plus the sample interval in microseconds / 1000."""
        delay = 0.0
        if self._first_header:
            delay = float(self._value(self._first_header, _TR_DELAY, "h"))
            scalar = self._value(self._first_header, _TR_TIME_SCALAR, "h")
            delay = delay * scalar if scalar > 0 else delay / -scalar if scalar < 0 else delay
        return delay + np.arange(self.samples) * (self.sample_interval / 1000.0)

    # -- numpy's indexing -----------------------------------------------------

    @property
    def shape(self):
        """(traces, samples): the shape of the array `read` gives."""
        return (self.traces, self.samples)

    ndim = 2

    def __getitem__(self, key):
        """Samples as numpy would index an array of shape (traces, samples):
        integers, slices (any step), integer or boolean arrays of traces,
        then any index of the samples.  Only the traces asked for are read,
        and only the sample columns asked for where traces are large."""
        if not isinstance(key, tuple):
            key = (key,)
        if any(k is Ellipsis for k in key):
            at = [i for i, k in enumerate(key) if k is Ellipsis][0]
            key = key[:at] + (slice(None),) * (3 - len(key)) + key[at + 1:]
        if len(key) > 2:
            raise IndexError(f"too many indices: a SegyFile has 2 dimensions, got {len(key)}")
        sel, order, scalar = self._selection(key[0])
        columns, rest = None, key[1] if len(key) == 2 else None
        if isinstance(rest, slice) and rest.step in (None, 1):
            columns, rest = range(*rest.indices(self.samples)), None
            columns = columns if len(columns) else range(0)
        elif isinstance(rest, (int, np.integer)):
            c = int(rest)
            if not -self.samples <= c < self.samples:
                raise IndexError(f"samples: index {c} is out of range for {self.samples} "
                                 f"samples")
            columns, rest = range(c % self.samples, c % self.samples + 1), 0
        out = self._samples(sel, order, columns)
        if scalar:
            out = out[0]
        if rest is not None:
            out = out[(slice(None),) * (out.ndim - 1) + (rest,)]
        return np.ascontiguousarray(out) if isinstance(out, np.ndarray) else out

    # -- Dask -----------------------------------------------------------------

    def to_dask(self, traces_per_chunk: Optional[int] = None, *, dtype=None):
        """The samples as a dask.array, chunked by traces, each chunk read
        and converted as `read` does, holding its samples alone (memory
        Dask counts): a survey larger than memory streams through any of
        Dask's schedulers, the distributed one included.

        Parameters
        ----------
        traces_per_chunk : int, optional
            Traces per chunk; by default chunks of about 32 MB.
        dtype : numpy dtype, optional
            As for `read`.
        """
        import dask.array as da
        from dask.base import tokenize

        dtype = self.dtype if dtype is None else np.dtype(dtype)
        rows = traces_per_chunk or max(1, (32 << 20) // max(1, dtype.itemsize * self.samples))
        name = "segy-" + tokenize(*self._token(), dtype.str)
        source = self if dtype == self.dtype else _Recast(self, dtype)
        return da.from_array(source, chunks=(rows, -1), name=name, lock=False, asarray=False,
                             meta=np.empty((0, 0), dtype))

    def field_to_dask(self, key, traces_per_chunk: int = 1 << 20, *, scale: bool = False):
        """One trace header field of every trace as a 1-D dask.array, each
        chunk read as `field` reads it."""
        import dask.array as da
        from dask.base import tokenize

        k = field_key(key, "key")
        view = _Field(self, k, scale)
        name = "segy-field-" + tokenize(*self._token(), k, scale)
        return da.from_array(view, chunks=(traces_per_chunk,), name=name, lock=False,
                             asarray=False, meta=np.empty(0, view.dtype))

    def _token(self):
        st = os.stat(self.path)
        return (os.path.abspath(self.path), st.st_size, st.st_mtime_ns, self.byteorder,
                self._keys)

    # -- geometry -------------------------------------------------------------

    @property
    def geometry(self) -> Geometry:
        """The survey's 3-D geometry, from each trace's inline, crossline and
        offset (read once, as `fields` reads): the line numbers, the sorting,
        and where each (inline, crossline, offset) lies.  A ValueError names
        the first trace that breaks a regular grid."""
        if self._geometry is None:
            unique = list(dict.fromkeys(k[0] for k in self._keys))
            args = [self._key_args[[k[0] for k in self._keys].index(u)] for u in unique]
            values = self.fields(args)
            il, xl, off = (values[k[0]] for k in self._keys)
            self._geometry = Geometry(il, xl, off, self.path, [k[1] for k in self._keys])
        return self._geometry

    def _lines(self, index, dtype=None):
        flat = index.reshape(-1)
        sel, order, _ = self._selection(flat)
        if isinstance(sel, np.ndarray) and len(sel) and sel[-1] - sel[0] + 1 == len(sel):
            sel = range(int(sel[0]), int(sel[-1]) + 1)
        return self._samples(sel, order, dtype=dtype).reshape(index.shape + (self.samples,))

    def inline(self, number, offset=None) -> np.ndarray:
        """The samples of one inline, (crosslines, samples), or (crosslines,
        offsets, samples) where the survey has several offsets and `offset`
        is None; read in one pass over the traces it needs."""
        return self._lines(self.geometry.traces(inline=number, offset=offset))

    def crossline(self, number, offset=None) -> np.ndarray:
        """The samples of one crossline, (inlines, samples) (or with an
        offset axis, as `inline`): its traces read in one pass, each alone
        where they lie far apart."""
        return self._lines(self.geometry.traces(crossline=number, offset=offset))

    def depth_slice(self, sample: int, offset=None) -> np.ndarray:
        """The samples at one time or depth index, (inlines, crosslines) (or
        with an offset axis): only that sample of each trace is read."""
        if not -self.samples <= sample < self.samples:
            raise IndexError(f"sample: index {sample} is out of range for {self.samples} "
                             f"samples")
        index = self.geometry.traces(offset=offset)
        c = sample % self.samples
        sel, order, _ = self._selection(index.reshape(-1))
        return self._samples(sel, order, range(c, c + 1)).reshape(index.shape)

    def cube(self, offset=None, *, dtype=None) -> Cube:
        """The whole survey as a regular cube with its coordinates (`Cube`):
        inline by crossline (by offset) by sample.  The file is read once,
        in file order, and the traces put in place."""
        g = self.geometry
        index = g.traces(offset=offset)
        flat = index.reshape(-1)
        if len(flat) == self.traces and (flat == np.arange(self.traces)).all():
            data = self.read(dtype=dtype)
        else:
            data = self._lines(index, dtype)
        return Cube(data.reshape(index.shape + (self.samples,)), g.inlines, g.crosslines,
                    g.offsets if offset is None else np.array([offset]), self.time_axis())

    def cube_to_dask(self, inlines_per_chunk: Optional[int] = None, offset=None, *,
                     dtype=None) -> Cube:
        """The cube as a dask.array chunked along inlines (`Cube`, its
        coordinates as numpy arrays), each chunk read as `inline` reads."""
        import dask.array as da
        from dask.base import tokenize

        g = self.geometry
        view = _CubeView(self, g.traces(offset=offset), dtype)
        per_inline = max(1, view.dtype.itemsize * int(np.prod(view.shape[1:])))
        rows = inlines_per_chunk or max(1, (32 << 20) // per_inline)
        name = "segy-cube-" + tokenize(*self._token(), offset, view.dtype.str)
        data = da.from_array(view, chunks=(rows,) + (-1,) * (len(view.shape) - 1), name=name,
                             lock=False, asarray=False, meta=np.empty((0,) * len(view.shape),
                                                                      view.dtype))
        return Cube(data, g.inlines, g.crosslines,
                    g.offsets if offset is None else np.array([offset]), self.time_axis())

    def __repr__(self):
        if not hasattr(self, "traces"):  # its headers being read
            return f"SegyFile({self.path!r})"
        return (f"SegyFile({self.path!r}: {self.traces} traces of {self.samples} samples, "
                f"format {self.format}, {self.byteorder}-endian)")


def _read_into(fd, view):
    data = os.read(fd, view.nbytes)
    view[:len(data)] = data
    return len(data)


class _Recast:
    """A SegyFile's samples as another dtype, for dask.array.from_array."""

    def __init__(self, segy, dtype):
        self.segy, self.dtype = segy, dtype
        self.shape, self.ndim = segy.shape, 2

    def __getitem__(self, key):
        rows, cols = key
        sel, order, _ = self.segy._selection(rows)
        return self.segy._samples(sel, order, dtype=self.dtype)[:, cols]


class _Field:
    """One trace header field of a SegyFile, for dask.array.from_array."""

    def __init__(self, segy, key, scale):
        self.segy, self.key, self.scale = segy, key, scale
        self.dtype = np.dtype(np.float64 if scale and key[0] in SCALED_BY else key[2])
        self.shape, self.ndim = (segy.traces,), 1

    def __getitem__(self, key):
        values, order = self.segy._fields([self.key], key[0] if isinstance(key, tuple)
                                          else key, self.scale)
        out = values[self.key[0]]
        return out if order is None else out[order]


class _CubeView:
    """The cube of a SegyFile, for dask.array.from_array."""

    def __init__(self, segy, index, dtype):
        self.segy, self.index = segy, index
        self.dtype = segy.dtype if dtype is None else np.dtype(dtype)
        self.shape = index.shape + (segy.samples,)
        self.ndim = len(self.shape)

    def __getitem__(self, key):
        key = key if isinstance(key, tuple) else (key,)
        out = self.segy._lines(self.index[key[0]], self.dtype)
        return out[(slice(None),) + tuple(key[1:])]


def read(path, start: Optional[int] = None, stop: Optional[int] = None) -> np.ndarray:
    """The samples of traces ``start:stop`` of a SEG-Y file, shape (traces,
    samples): ``SegyFile(path).read(start, stop)``."""
    with SegyFile(path) as f:
        return f.read(start, stop)
