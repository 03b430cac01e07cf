#!/usr/bin/env python3
"""A SEG-Y style trace read through libibmfloat.

    cmake --workflow --preset release
    python3 examples/segy_trace.py

Writes one trace of big-endian IBM floating-point samples (a 240-byte
header, then the samples) into a temporary folder, reads it back as a
trace reader does, with the samples converted in place by
seiskernels.ibm2ieee, and compares them with the signal written.

Only the Python standard library is needed for that.  Where numpy is
installed, the same signal then goes into a small 3-D survey written by
seiskernels.segy.write, and comes back through the survey's geometry: a
crossline and a time slice.  The program exits with status 1 if a
recovered sample is less accurate than an IBM single allows.
"""

import math
import os
import struct
import sys
import tempfile

import checkout  # noqa: F401  (lets the example run from a built checkout)
import seiskernels


def ibm_word(x):
    """The IBM single-precision word nearest to x: sign bit, base-16 exponent
    in excess 64, 24-bit fraction; rounded to nearest, ties to even."""
    sign = 0x80000000 if math.copysign(1.0, x) < 0.0 else 0
    if x == 0.0:
        return sign
    m, e = math.frexp(abs(x))              # |x| = m 2^e, 1/2 <= m < 1
    exponent = (e + 3) // 4                # |x| < 16^exponent, first hex digit nonzero
    fraction = round(math.ldexp(m, 24 + e - 4 * exponent))   # in [2^20, 2^24]
    if fraction == 1 << 24:                # rounding carried into a new hex digit
        fraction, exponent = 1 << 20, exponent + 1
    if exponent + 64 > 127:
        raise OverflowError(f"{x} is beyond the IBM single-precision range")
    if exponent + 64 < 0:
        return sign                        # below the range: a zero
    return sign | (exponent + 64) << 24 | fraction


def ricker(t, peak_time, frequency):
    a = (math.pi * frequency * (t - peak_time)) ** 2
    return (1.0 - 2.0 * a) * math.exp(-a)


def seismic_signal(n_samples, dt):
    """A muted trace (exact zeros) with two Ricker wavelets: a direct
    arrival and a weaker reflection of opposite polarity."""
    signal = []
    for i in range(n_samples):
        t = i * dt
        x = 0.0
        if abs(t - 0.200) <= 0.1:
            x += 1500.0 * ricker(t, 0.200, 25.0)
        if abs(t - 0.520) <= 0.1:
            x -= 420.0 * ricker(t, 0.520, 30.0)
        signal.append(x)
    return signal


def write_trace(path, samples, dt):
    """One trace: a 240-byte header (sample count at byte 115, interval in
    microseconds at byte 117) then the samples as big-endian IBM singles."""
    header = bytearray(240)
    struct.pack_into(">i", header, 0, 1)                         # trace sequence number
    struct.pack_into(">HH", header, 114, len(samples), round(dt * 1e6))
    with open(path, "wb") as f:
        f.write(header)
        f.write(struct.pack(f">{len(samples)}I", *(ibm_word(x) for x in samples)))


def read_trace(path):
    """The samples of a trace file as IEEE floats, and its sample interval.

    The samples are read as raw bytes and converted in place: ibm2ieee
    takes them in the file's (big-endian) byte order, leaves binary32
    values in the machine's, and returns them as a memoryview of floats."""
    with open(path, "rb") as f:
        header = f.read(240)
        n_samples, dt_us = struct.unpack_from(">HH", header, 114)
        samples = bytearray(f.read(4 * n_samples))
    return seiskernels.ibm2ieee(samples, byteorder="big"), dt_us * 1e-6


def main():
    n_samples, dt = 400, 0.002
    signal = seismic_signal(n_samples, dt)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "trace.sgy")
        write_trace(path, signal, dt)
        size = os.path.getsize(path)
        samples, dt_read = read_trace(path)

    peak = max(abs(x) for x in signal)
    errors = [abs(y - x) for x, y in zip(signal, samples)]
    worst = max(errors) / peak
    # Rounding to a 24-bit hexadecimal fraction errs by at most half a unit
    # of its last place: 2^-21 of the value when the first hex digit is 1.
    bound = 2.0 ** -21
    zeros = sum(1 for x in signal if x == 0.0)
    zeros_kept = sum(1 for x, y in zip(signal, samples) if x == 0.0 and y == 0.0)

    print(f"Trace: {len(samples)} IBM samples at {dt_read * 1e3:g} ms ({size} bytes "
          f"with the 240-byte header), converted in place by seiskernels.ibm2ieee")
    print(f"{'t (ms)':>8} {'signal':>16} {'recovered':>16} {'error':>11}")
    i_peak = max(range(n_samples), key=lambda i: abs(signal[i]))
    i_trough = min(range(n_samples), key=lambda i: signal[i])
    i_second = max(range(n_samples // 2, n_samples), key=lambda i: abs(signal[i]))
    for i in sorted({0, i_peak - 12, i_trough, i_peak - 1, i_peak, i_peak + 5,
                     i_second, i_second + 9, n_samples - 1}):
        print(f"{i * dt * 1e3:8.0f} {signal[i]:16.9g} {samples[i]:16.9g} "
              f"{samples[i] - signal[i]:11.3g}")
    print(f"Exact zeros recovered as zeros: {zeros_kept} of {zeros}")
    ok = worst <= bound and zeros_kept == zeros
    print(f"Largest error: {worst:.3g} of the peak "
          f"({'within' if ok else 'OVER'} the {bound:.3g} a 24-bit hexadecimal fraction allows)")
    try:
        import numpy  # noqa: F401
    except ImportError:
        print("(numpy is not installed: no survey written)")
        return 0 if ok else 1
    return 0 if ok and survey(signal, dt, bound) else 1


def survey(signal, dt, bound):
    """The signal, delayed by 4 ms a crossline, in a 3-D survey of 5
    inlines and 8 crosslines written as IBM samples; a crossline and the
    time slice at the peak read back through the geometry."""
    import numpy as np
    from seiskernels import segy

    inlines, crosslines = np.meshgrid(np.arange(101, 106), np.arange(2001, 2009),
                                      indexing="ij")
    shift = (inlines.ravel() - 101) + 2 * (crosslines.ravel() - 2001)    # samples of 2 ms
    traces = np.array([np.roll(signal, k) for k in shift], np.float32)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "survey.sgy")
        segy.write(path, traces, format=1, sample_interval=round(dt * 1e6),
                   headers={"inline": inlines.ravel(), "crossline": crosslines.ravel()},
                   text="C 1 seiskernels example: a Ricker wavelet moving out")
        with segy.SegyFile(path) as s:
            g = s.geometry
            line = s.crossline(2004)
            peak = int(np.argmax(np.abs(s.read()[0])))
            sliced = s.depth_slice(peak)
            times = s.time_axis()
    worst = float(np.max(np.abs(line - traces[3::8])) / np.max(np.abs(traces)))  # crossline 2004
    print(f"Survey: {g}, {s.samples} samples at {s.sample_interval} us, format {s.format}")
    print(f"Crossline 2004: {line.shape[0]} traces; time slice at {times[peak]:g} ms, "
          f"inline 101: {np.array2string(sliced[0], precision=1)}")
    ok = worst <= bound
    print(f"Largest error of the crossline: {worst:.3g} of the peak "
          f"({'within' if ok else 'OVER'} {bound:.3g})")
    return ok


if __name__ == "__main__":
    sys.exit(main())
