"""Writing SEG-Y: new files of IBM or IEEE samples from numpy arrays, and
trace header fields updated in place."""

from __future__ import annotations

import operator
import os
import queue
import threading
from typing import Optional

import numpy as np

from ._segy_fields import (BINARY_FIELDS, TEXT_BYTES, TRACE_HEADER_BYTES, field_key,
                           fields_dtype)
from ._segy_ibm import _CHUNK, Converter

# Bytes of traces built per write: two such buffers, one filled while a
# thread writes the other.
_WRITE_BYTES = 1 << 20
_BINARY_BY_NAME = {name: (at, n, kind) for name, at, n, kind in BINARY_FIELDS}
# Set by write() itself from its arguments.
_DERIVED = {"sample_interval", "samples", "format", "byte_order", "revision_major",
            "revision_minor", "fixed_length", "extended_headers", "ext_samples",
            "ext_sample_interval", "trace_count", "first_trace", "extra_trace_headers",
            "trailer_records"}


def _text_header(text, encoding):
    if text is None:
        text = "C 1 SEG-Y written by seiskernels"
    if not isinstance(text, str):
        try:
            lines = [str(line) for line in text]
        except TypeError:
            raise TypeError(f"text: expected a str or a list of lines, got "
                            f"{type(text).__name__}") from None
    elif "\n" in text or len(text) <= 80:
        lines = text.split("\n")
    else:
        lines = [text[i:i + 80] for i in range(0, len(text), 80)]
    if len(lines) > 40 or any(len(line) > 80 for line in lines):
        raise ValueError(f"text: expected at most 40 lines of at most 80 characters, got "
                         f"{len(lines)} lines, the longest {max(map(len, lines))}")
    codec = {"ebcdic": "cp037", "ascii": "ascii"}.get(encoding)
    if codec is None:
        raise ValueError(f"encoding: expected 'ebcdic' or 'ascii', got {encoding!r}")
    body = "".join(line.ljust(80) for line in lines).ljust(TEXT_BYTES)
    try:
        return body.encode(codec)
    except UnicodeEncodeError as e:
        raise ValueError(f"text: {body[e.start]!r} has no {encoding.upper()} code") from None


def _field_values(fields, count, order, argument):
    """[(key, values of the field's type, broadcast to count)], checked."""
    if fields is None:
        return []
    if isinstance(fields, np.ndarray) and fields.dtype.names:
        fields = {name: fields[name] for name in fields.dtype.names}
    if not hasattr(fields, "items"):
        raise TypeError(f"{argument}: expected a dict of field -> values or a structured "
                        f"array, got {type(fields).__name__}")
    out, taken = [], {}
    for key, value in fields.items():
        k = field_key(key, argument)
        span = set(range(k[1], k[1] + int(k[2][1:])))
        clash = [other for other, s in taken.items() if s & span]
        if clash:
            raise ValueError(f"{argument}: {k[0]} overlaps {clash[0]} (bytes {k[1]}-"
                             f"{max(span)})")
        taken[k[0]] = span
        v = np.asarray(value)
        kind = np.dtype(k[2])
        if v.dtype.kind not in "biuf":
            raise TypeError(f"{argument}: {k[0]}: expected numbers, got dtype {v.dtype}")
        try:
            v = np.broadcast_to(v, (count,))
        except ValueError:
            raise ValueError(f"{argument}: {k[0]}: expected {count} values (one a trace) or "
                             f"one, got shape {v.shape}") from None
        if kind.kind in "iu":
            if v.dtype.kind == "f" and v.size and not (v == np.round(v)).all():
                bad = v[v != np.round(v)][0]
                raise ValueError(f"{argument}: {k[0]}: expected integers, got {bad}")
            info = np.iinfo(kind)
            if v.size and (v.min() < info.min or v.max() > info.max):
                bad = v[(v < info.min) | (v > info.max)][0]
                raise ValueError(f"{argument}: {k[0]}: {bad} does not fit bytes {k[1]}-"
                                 f"{max(span)} ({kind.name}: {info.min} to {info.max})")
        out.append((k, v))
    return out


def write(path, samples, *, format: int = 1, sample_interval=4000, headers=None, text=None,
          endian: str = "big", revision=1, binary: Optional[dict] = None,
          encoding: str = "ebcdic") -> None:
    """Writes a new SEG-Y file of fixed-length traces.

    Parameters
    ----------
    path : str or os.PathLike
        The file, created or replaced once every argument has been checked.
    samples : array_like, (traces, samples)
        The samples, real numbers (cast to float32).
    format : {1, 5}
        1: IBM floats, each the nearest to its float32 (ties to even; see
        `ieee2ibm`); 5: IEEE floats, as they are.
    sample_interval : int or float
        Microseconds (or the domain's unit) between samples, in bytes
        3217-3218 and every trace header; a value that does not fit two
        bytes needs revision 2, which has an extended interval.
    headers : dict or structured numpy array, optional
        Trace header fields: field (a name, a first byte, or (first byte,
        type), as `SegyFile.field` takes) -> one value or one per trace.
        Each trace header's sample count and interval are filled in.
    text : str or list of str, optional
        The textual header: up to 40 lines of up to 80 characters.
    endian : {'big', 'little'}
        Byte order of every field and sample.
    revision : {0, 1, 2} or (major, minor)
        Written in bytes 3501-3502 (a byte each).  Revision 2 also writes
        the byte-order mark, the trace count and the first trace's offset,
        and takes more than 65,535 samples (the extended count).
    binary : dict, optional
        Other binary header fields by name (`BINARY_FIELDS`), e.g.
        ``{"job_id": 7, "sorting": 2}``.
    encoding : {'ebcdic', 'ascii'}
        Of the textual header.

    Raises
    ------
    ValueError, TypeError
        An argument out of what SEG-Y can hold (NaN samples in format 1,
        header values that overflow their bytes, too long a text, ...);
        the file is then not touched.
    """
    data = np.asarray(samples)
    if data.ndim != 2 or data.dtype.kind not in "biuf":
        raise ValueError(f"samples: expected a 2-D array (traces, samples) of real numbers, "
                         f"got shape {data.shape} of {data.dtype}")
    if format not in (1, 5):
        raise ValueError(f"format: expected 1 (IBM float) or 5 (IEEE float), got {format!r}")
    if endian not in ("big", "little"):
        raise ValueError(f"endian: expected 'big' or 'little', got {endian!r}")
    major, minor = (revision, 0) if not isinstance(revision, tuple) else revision
    if major not in (0, 1, 2) or not 0 <= minor <= 255:
        raise ValueError(f"revision: expected 0, 1 or 2, or (major, minor), got {revision!r}")
    data = data.astype(np.float32, copy=False)
    traces, ns = data.shape
    if ns == 0 or ns > (0x7FFFFFFF if major == 2 else 0xFFFF):
        raise ValueError(f"samples: {ns} samples per trace; expected 1 to "
                         f"{'2**31 - 1' if major == 2 else '65,535 (more need revision 2)'}")
    if format == 1 and data.size and np.isnan(np.min(data)):
        at = np.unravel_index(np.flatnonzero(np.isnan(data.reshape(-1)))[0], data.shape)
        raise ValueError(f"samples: NaN at {tuple(int(i) for i in at)}; IBM floats have no "
                         f"NaN (replace NaNs first, e.g. with np.nan_to_num)")
    interval = float(sample_interval)
    short_interval = interval == int(interval) and 0 <= interval <= 0xFFFF
    if not short_interval and (major != 2 or not interval > 0):
        raise ValueError(f"sample_interval: {sample_interval!r} does not fit bytes 3217-3218 "
                         f"(0 to 65,535); a positive non-integral or larger one needs "
                         f"revision 2")
    order = ">" if endian == "big" else "<"
    text_bytes = _text_header(text, encoding)
    values = _field_values(headers, traces, order, "headers")
    for k, v in values:
        if k[1] == 115 and (v != min(ns, 0xFFFF)).any():
            raise ValueError(f"headers: samples must be {ns}, the samples' shape, or absent")
    head = np.zeros(1, np.dtype({"names": [n for n, *_ in BINARY_FIELDS],
                                 "formats": [(f"{kind}{n}" if n == 1 else
                                              f"{order}{kind}{n}")
                                             for _, _, n, kind in BINARY_FIELDS],
                                 "offsets": [at - 3201 for _, at, _, _ in BINARY_FIELDS],
                                 "itemsize": 400}))
    for name, value in (binary or {}).items():
        if name not in _BINARY_BY_NAME:
            raise ValueError(f"binary: no binary header field is named {name!r}")
        if name in _DERIVED:
            raise ValueError(f"binary: {name} is set by write() from its arguments")
        kind = head.dtype[name]
        if kind.kind in "iu" and not np.iinfo(kind).min <= operator.index(value) <= \
                np.iinfo(kind).max:
            raise ValueError(f"binary: {name}: {value} does not fit its "
                             f"{kind.itemsize} bytes")
        head[name] = value
    head["format"], head["fixed_length"] = format, 1 if major >= 1 else 0
    head["samples"] = ns if ns <= 0xFFFF else 0
    head["sample_interval"] = int(interval) if short_interval else 0
    head["revision_major"], head["revision_minor"] = major, minor
    if major == 2:
        head["byte_order"] = 0x01020304
        head["ext_samples"] = ns
        head["ext_sample_interval"] = interval
        head["trace_count"], head["first_trace"] = traces, TEXT_BYTES + 400
    tb = TRACE_HEADER_BYTES + 4 * ns
    keys = [k for k, _ in values] + [field_key(115), field_key(117)]
    fields = values + [(keys[-2], np.broadcast_to(np.uint16(min(ns, 0xFFFF)), (traces,))),
                       (keys[-1], np.broadcast_to(np.uint16(int(interval) if short_interval
                                                            else 0), (traces,)))]
    if any(k[1] == 115 for k, _ in values):
        fields = values + fields[-1:] if not any(k[1] == 117 for k, _ in values) else values
    elif any(k[1] == 117 for k, _ in values):
        fields = values + fields[-2:-1]
    record = fields_dtype([k for k, _ in fields], endian, tb)
    rows = max(1, _WRITE_BYTES // tb)
    sample_type = np.dtype(order + ("u4" if format == 1 else "f4"))
    to_ibm = Converter()

    def fill(buf, at):
        k = min(rows, traces - at)
        block = buf[:k * tb].reshape(k, tb)
        block[:, :TRACE_HEADER_BYTES] = 0
        heads = block.view(record)[:, 0]
        for (key, _, _), v in fields:
            heads[key] = v[at:at + k]
        out = block[:, TRACE_HEADER_BYTES:].view(sample_type)
        if format == 1:
            step = max(1, _CHUNK // ns)
            for r in range(0, k, step):
                to_ibm(data[at + r:at + min(k, r + step)], out[r:r + step])
        else:
            out[...] = data[at:at + k]
        return block

    with open(path, "wb") as f:
        f.write(text_bytes)
        f.write(head.tobytes())
        _pipelined(f, fill, range(0, traces, rows), rows * tb)


def _pipelined(f, fill, starts, nbytes):
    """Fills buffers and writes them, a thread writing one while the next
    is filled: the conversion and the copy into the page cache overlap."""
    free, full = queue.Queue(), queue.Queue(maxsize=1)
    for _ in range(2):
        free.put(np.empty(nbytes, np.uint8))
    failed = []

    def writer():
        while True:
            item = full.get()
            if item is None:
                return
            buf, block = item
            try:
                if not failed:
                    f.write(memoryview(block).cast("B"))
            except BaseException as e:  # handed to the caller below
                failed.append(e)
            free.put(buf)

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    try:
        for at in starts:
            if failed:
                break
            buf = free.get()
            full.put((buf, fill(buf, at)))
    finally:
        full.put(None)
        thread.join()
    if failed:
        raise failed[0]


def update_headers(path, fields, start: Optional[int] = None, stop: Optional[int] = None, *,
                   traces=None, endian: Optional[str] = None) -> None:
    """Writes trace header fields of an existing SEG-Y file in place: only
    their bytes, nothing else of the file.

    Parameters
    ----------
    path : str or os.PathLike
        The file, read and checked first as `SegyFile` does.
    fields : dict or structured numpy array
        Field -> one value or one per trace updated (as `write` takes).
    start, stop : int, optional
        The traces, as in a slice; or `traces`: any traces as
        `SegyFile.__getitem__` takes them.
    endian : {'big', 'little'}, optional
        As for `SegyFile`.

    Raises
    ------
    ValueError, TypeError
        A bad file, field or value; nothing is written then.  The sample
        count (bytes 115-116) may only be written with its present value.
    """
    from .segy import SegyFile

    with SegyFile(path, endian=endian) as f:
        sel, order, scalar = f._selection(slice(start, stop) if traces is None else traces)
        if order is not None:
            raise ValueError("traces: expected distinct traces")
        values = _field_values(fields, len(sel), None, "fields")
        for k, v in values:
            span = range(k[1], k[1] + int(k[2][1:]))
            if 115 in span or 116 in span:
                if k[1:] != (115, "u2") or (v != f.samples).any():
                    raise ValueError(f"fields: {k[0]} would change the traces' sample count "
                                     f"(bytes 115-116), which the file's layout depends on")
        if not values or not len(sel):
            return
        record = fields_dtype([k for k, _ in values], f.byteorder, f.trace_bytes)
        data_start, count = f.data_start, f.traces
    mm = np.memmap(path, record, mode="r+", offset=data_start, shape=(count,))
    try:
        where = slice(sel.start, sel.stop) if isinstance(sel, range) else sel
        for (key, _, _), v in values:
            mm[key][where] = v
        mm.flush()
    finally:
        del mm
    os.utime(path)
