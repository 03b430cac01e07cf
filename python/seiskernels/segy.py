"""SEG-Y files as numpy users read them: the textual and binary headers, the
trace headers as a structured array, and the samples of any range of traces
as a float32 (traces, samples) array, read in one pass and converted in
place; as a dask.array for surveys larger than memory.

Not a full SEG-Y library (segyio is one): fixed-length traces of 4-byte
samples, formats 1 (IBM float) and 5 (IEEE float).  Needs numpy.
"""

from __future__ import annotations

import os
import struct
from typing import Optional

import numpy as np

from .ibmfloat import ibm2ieee

TEXT_BYTES, BINARY_BYTES, TRACE_HEADER_BYTES = 3200, 400, 240
HEADERS_BYTES = TEXT_BYTES + BINARY_BYTES
FORMATS = {1: "4-byte IBM float", 5: "4-byte IEEE float"}
OTHER_FORMATS = {
    2: "4-byte two's complement integer", 3: "2-byte two's complement integer",
    4: "4-byte fixed point with gain", 6: "8-byte IEEE float", 7: "3-byte two's complement integer",
    8: "1-byte two's complement integer", 9: "8-byte two's complement integer",
    10: "4-byte unsigned integer", 11: "2-byte unsigned integer", 12: "8-byte unsigned integer",
    15: "3-byte unsigned integer", 16: "1-byte unsigned integer"}
_SUPPORTED = "formats 1 (4-byte IBM float) and 5 (4-byte IEEE float)"

# Byte offsets in the file of the binary header fields read here.
_INTERVAL, _SAMPLES, _FORMAT, _BYTE_ORDER = 3216, 3220, 3224, 3296
_EXT_SAMPLES, _REVISION, _EXT_HEADERS, _TRACE_COUNT, _FIRST_TRACE = 3268, 3500, 3504, 3512, 3520
_ORDER_MARK = 0x01020304

# The standard trace header fields: (name, first byte counted from 1, bytes).
_FIELDS = """
    trace_sequence_line 1 4      trace_sequence_file 5 4     field_record 9 4
    trace_number 13 4            energy_source_point 17 4    cdp 21 4
    cdp_trace 25 4               trace_id 29 2               summed_traces 31 2
    stacked_traces 33 2          data_use 35 2               offset 37 4
    receiver_elevation 41 4      source_elevation 45 4       source_depth 49 4
    receiver_datum 53 4          source_datum 57 4           source_water_depth 61 4
    group_water_depth 65 4       elevation_scalar 69 2       coordinate_scalar 71 2
    source_x 73 4                source_y 77 4               group_x 81 4
    group_y 85 4                 coordinate_units 89 2       weathering_velocity 91 2
    subweathering_velocity 93 2  source_uphole_time 95 2     group_uphole_time 97 2
    source_static 99 2           group_static 101 2          total_static 103 2
    lag_time_a 105 2             lag_time_b 107 2            delay_time 109 2
    mute_start 111 2             mute_end 113 2              samples 115 2
    sample_interval 117 2        gain_type 119 2             gain_constant 121 2
    initial_gain 123 2           correlated 125 2            sweep_start 127 2
    sweep_end 129 2              sweep_length 131 2          sweep_type 133 2
    sweep_taper_start 135 2      sweep_taper_end 137 2       taper_type 139 2
    alias_frequency 141 2        alias_slope 143 2           notch_frequency 145 2
    notch_slope 147 2            low_cut 149 2               high_cut 151 2
    low_cut_slope 153 2          high_cut_slope 155 2        year 157 2
    day 159 2                    hour 161 2                  minute 163 2
    second 165 2                 time_basis 167 2            weighting_factor 169 2
    group_roll 171 2             group_first 173 2           group_last 175 2
    gap_size 177 2               overtravel 179 2            cdp_x 181 4
    cdp_y 185 4                  inline 189 4                crossline 193 4
    shot_point 197 4             shot_point_scalar 201 2     measurement_unit 203 2
    transduction_mantissa 205 4  transduction_exponent 209 2 transduction_unit 211 2
    device_id 213 2              time_scalar 215 2           source_type 217 2
    source_direction_v 219 2     source_direction_x 221 2    source_direction_y 223 2
    source_mantissa 225 4        source_exponent 229 2       source_unit 231 2
"""
_WORDS = _FIELDS.split()
TRACE_FIELDS = [(_WORDS[i], int(_WORDS[i + 1]), int(_WORDS[i + 2]))
                for i in range(0, len(_WORDS), 3)]

# Rows read and converted at a time: small enough to stay in the cache
# between the read and the conversion.
_CHUNK_BYTES = 1 << 20


_UNSIGNED = {"samples", "sample_interval"}


def trace_header_dtype(byteorder: str = "big") -> np.dtype:
    """The structured dtype of a 240-byte trace header: the standard fields
    as integers (signed but for the sample count and interval), and
    ``raw``, the 240 bytes themselves."""
    order = ">" if byteorder == "big" else "<"
    names = [name for name, _, _ in TRACE_FIELDS] + ["raw"]
    formats = [f"{order}{'u' if name in _UNSIGNED else 'i'}{size}"
               for name, _, size in TRACE_FIELDS] + [("u1", TRACE_HEADER_BYTES)]
    offsets = [at - 1 for _, at, _ in TRACE_FIELDS] + [0]
    return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                     "itemsize": TRACE_HEADER_BYTES})


def _text(raw: bytes) -> str:
    """A textual header as text: EBCDIC (code page 037) unless its bytes read
    as ASCII, in lines of 80 characters."""
    ascii_like = sum(32 <= b < 127 for b in raw) >= 0.9 * len(raw) and \
        raw.count(0x20) >= raw.count(0x40)
    text = raw.decode("ascii" if ascii_like else "cp037", errors="replace")
    return "\n".join(text[i:i + 80].rstrip() for i in range(0, len(text), 80))


class SegyFile:
    """A SEG-Y file of fixed-length traces, its headers read and checked.

    Parameters
    ----------
    path : str or os.PathLike
        The file.  It is only ever opened for reading, and nothing past its
        end is read.

    Attributes
    ----------
    text : list of str
        The textual header and any extended ones, decoded from EBCDIC or
        ASCII.
    sample_interval : int
        Microseconds (or the unit of the survey's domain) between samples.
    samples : int
        Samples per trace.
    format : int
        Sample format code: 1 (IBM float) or 5 (IEEE float).
    revision : tuple of int
        (major, minor) SEG-Y revision.
    extended_headers : int
        Number of extended textual headers.
    byteorder : {'big', 'little'}
        The file's byte order: as it states (revision 2), else big-endian.
    traces : int
        Number of traces.

    Raises
    ------
    ValueError
        A file that its headers do not describe: shorter than they say, a
        trace length that does not divide its trace data, a zero or absurd
        sample count, an unknown or unsupported format code, extended
        textual headers past its end.  The message names the file, the
        byte offset and what was expected.
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        with open(self.path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size < HEADERS_BYTES:
                self._bad(0, f"{HEADERS_BYTES} bytes of textual and binary headers, "
                             f"but the file holds {size} bytes")
            head = f.read(HEADERS_BYTES)
            self.byteorder = self._order(head)
            self._parse_binary(head, size)
            f.seek(TEXT_BYTES + BINARY_BYTES)
            extended = f.read(TEXT_BYTES * self.extended_headers)
        self.size = size
        self.text = [_text(head[:TEXT_BYTES])] + [
            _text(extended[i:i + TEXT_BYTES]) for i in range(0, len(extended), TEXT_BYTES)]

    def _bad(self, offset, expected):
        raise ValueError(f"{self.path}: at byte offset {offset}, expected {expected}")

    def _order(self, head):
        mark = struct.unpack_from(">I", head, _BYTE_ORDER)[0]
        return "little" if mark == 0x04030201 else "big"

    def _field(self, head, offset, code):
        return struct.unpack_from(("<" if self.byteorder == "little" else ">") + code,
                                  head, offset)[0]

    def _parse_binary(self, head, size):
        self.sample_interval = self._field(head, _INTERVAL, "H")
        self.format = self._field(head, _FORMAT, "h")
        self.revision = (head[_REVISION], head[_REVISION + 1]) if self.byteorder == "big" \
            else (head[_REVISION + 1], head[_REVISION])
        self.extended_headers = self._field(head, _EXT_HEADERS, "h")
        # Revision 2's fields lie in bytes older files leave unassigned.
        rev2 = self.revision[0] == 2
        samples_at = _EXT_SAMPLES if rev2 and self._field(head, _EXT_SAMPLES, "I") else _SAMPLES
        samples = self._field(head, samples_at, "I" if samples_at == _EXT_SAMPLES else "H")
        self.samples = samples
        if self.format not in FORMATS:
            what = OTHER_FORMATS.get(self.format)
            found = f"format code {self.format} ({what})" if what else \
                f"format code {self.format}, which is no SEG-Y format"
            self._bad(_FORMAT, f"a sample format this reader reads, {_SUPPORTED}; got {found}")
        if self.extended_headers < 0:
            self._bad(_EXT_HEADERS, "a count of extended textual headers of 0 or more (a "
                                    f"variable count, {self.extended_headers}, is not read here)")
        start = HEADERS_BYTES + TEXT_BYTES * self.extended_headers
        if start > size:
            self._bad(_EXT_HEADERS, f"{self.extended_headers} extended textual headers, "
                                    f"up to byte {start}, but the file ends at byte {size}")
        if rev2:
            start = self._field(head, _FIRST_TRACE, "Q") or start
            if not HEADERS_BYTES <= start <= size:
                self._bad(_FIRST_TRACE, f"the first trace within the file (from byte "
                                        f"{HEADERS_BYTES} to {size}), got byte {start}")
        self.data_start = start
        self.trace_bytes = TRACE_HEADER_BYTES + 4 * samples
        data = size - start
        if samples == 0 or (data and self.trace_bytes > data):
            self._bad(samples_at, f"a sample count that fits the {data} bytes of trace data "
                                  f"from byte {start} (at least 1), got {samples} samples per "
                                  f"trace")
        self.traces, extra = divmod(data, self.trace_bytes)
        if extra:
            self._bad(start, f"whole traces of {self.trace_bytes} bytes (240-byte header and "
                             f"{samples} samples of 4 bytes) up to the end of the file at byte "
                             f"{size}, but {extra} bytes are left over after {self.traces} traces")
        stated = self._field(head, _TRACE_COUNT, "Q") if rev2 else 0
        if stated > self.traces:
            self._bad(_TRACE_COUNT, f"{stated} traces as the binary header says, up to byte "
                                    f"{start + stated * self.trace_bytes}, but the file ends "
                                    f"at byte {size}")

    def _range(self, start, stop):
        first, last, _ = slice(start, stop).indices(self.traces)
        return first, max(first, last)

    def _read_rows(self, first, last):
        """Raw rows of trace words, each a 240-byte header and the samples,
        one buffer for the lot, filled chunk by chunk; each chunk is yielded
        as soon as it is read, while it is still in the cache."""
        order = ">" if self.byteorder == "big" else "<"
        block = np.empty((last - first, self.trace_bytes // 4), order + "u4")
        rows = max(1, _CHUNK_BYTES // self.trace_bytes)
        with open(self.path, "rb", buffering=0) as f:
            if os.fstat(f.fileno()).st_size != self.size:
                raise ValueError(f"{self.path}: changed size since its headers were read")
            f.seek(self.data_start + first * self.trace_bytes)
            for at in range(0, last - first, rows):
                chunk = block[at:at + rows]
                self._fill(f, memoryview(chunk).cast("B"), first + at)
                yield block, chunk

    def _fill(self, f, view, trace):
        while view.nbytes:
            got = f.readinto(view)
            if not got:
                offset = self.data_start + trace * self.trace_bytes
                raise ValueError(f"{self.path}: at byte offset {offset}, expected more trace "
                                 f"data, but the file ended (truncated while being read?)")
            view = view[got:]

    def traces_and_headers(self, start: Optional[int] = None, stop: Optional[int] = None):
        """The samples and the headers of traces ``start:stop`` (as in a
        slice), read once into one buffer.

        Returns
        -------
        samples : numpy.ndarray
            float32, shape (traces, samples): the sample columns of the
            buffer, converted in place (rows not adjacent in memory).
        headers : numpy.ndarray
            The trace headers in the same buffer, of `trace_header_dtype`.
        """
        first, last = self._range(start, stop)
        block = saved = None
        for block, chunk in self._read_rows(first, last):
            if saved is None:
                saved = np.empty((len(chunk), TRACE_HEADER_BYTES // 4), block.dtype)
            self._convert(chunk, saved[:len(chunk)])
        if block is None:
            block = np.empty((0, self.trace_bytes // 4), np.uint32)
        samples = block[:, TRACE_HEADER_BYTES // 4:].view(np.float32)
        headers = np.ndarray((last - first,), trace_header_dtype(self.byteorder), block,
                             strides=(self.trace_bytes,))
        return samples, headers

    def _convert(self, rows, saved):
        """Converts the samples of rows just read, in place.  The buffer is
        the reader's own until it returns, so IBM rows go through one kernel
        call, headers and all, the headers saved before and put back after:
        a call per trace would cost more than the 6% of words converted for
        nothing."""
        heads = rows[:, :TRACE_HEADER_BYTES // 4]
        if self.format == 1:
            np.copyto(saved, heads)
            ibm2ieee(rows, byteorder=self.byteorder)
            np.copyto(heads, saved)
        elif rows.dtype.byteorder not in ("=", "|"):
            rows[:, TRACE_HEADER_BYTES // 4:].byteswap(inplace=True)

    def read(self, start: Optional[int] = None, stop: Optional[int] = None) -> np.ndarray:
        """The samples of traces ``start:stop`` (as in a slice; all of them
        by default) as float32, shape (traces, samples).

        The traces are read once into one buffer and their sample columns
        converted there, chunk by chunk as they arrive: no second copy."""
        return self.traces_and_headers(start, stop)[0]

    def headers(self, start: Optional[int] = None, stop: Optional[int] = None) -> np.ndarray:
        """The trace headers of traces ``start:stop`` as a structured array
        of `trace_header_dtype` (field ``raw`` holds the 240 bytes)."""
        first, last = self._range(start, stop)
        out = np.empty(last - first, trace_header_dtype(self.byteorder))
        at = 0
        for _, chunk in self._read_rows(first, last):
            out.view(np.uint8).reshape(-1, TRACE_HEADER_BYTES)[at:at + len(chunk)] = \
                chunk.view(np.uint8)[:, :TRACE_HEADER_BYTES]
            at += len(chunk)
        return out

    # The array protocol dask.array.from_array needs: one read per chunk.
    @property
    def shape(self):
        return (self.traces, self.samples)

    dtype = np.dtype(np.float32)
    ndim = 2

    def __getitem__(self, key):
        if isinstance(key, tuple) and len(key) == 2 and isinstance(key[0], slice) \
                and key[0].step in (None, 1):
            return self.read(key[0].start, key[0].stop)[:, key[1]]
        return self.read()[key]

    def to_dask(self, traces_per_chunk: Optional[int] = None):
        """The samples as a dask.array, chunked by traces, each chunk read
        and converted as `read` does: a survey larger than memory streams
        through any of Dask's schedulers, the distributed one included.

        Parameters
        ----------
        traces_per_chunk : int, optional
            Traces per chunk; by default chunks of about 64 MB.
        """
        import dask.array as da
        from dask.base import tokenize

        rows = traces_per_chunk or max(1, (64 << 20) // (4 * self.samples))
        stat = os.stat(self.path)
        name = "segy-" + tokenize(os.path.abspath(self.path), stat.st_size, stat.st_mtime_ns)
        return da.from_array(self, chunks=(rows, -1), name=name, lock=False, asarray=False,
                             meta=np.empty((0, 0), np.float32))

    def __repr__(self):
        return (f"SegyFile({self.path!r}: {self.traces} traces of {self.samples} samples, "
                f"format {self.format}, {self.byteorder}-endian)")


def read(path, start: Optional[int] = None, stop: Optional[int] = None) -> np.ndarray:
    """The samples of traces ``start:stop`` of a SEG-Y file, float32, shape
    (traces, samples): ``SegyFile(path).read(start, stop)``."""
    return SegyFile(path).read(start, stop)
