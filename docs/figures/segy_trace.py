"""A trace written as IBM floats (SEG-Y format 1), read back and converted to
IEEE by ibm2ieee, and the conversion's error: every sample within half a unit
of the last place of IBM's fraction, drawn when the site is built."""
import os
import tempfile

import matplotlib.pyplot as plt
import numpy as np

from seiskernels import segy

# A shot record's trace: Ricker wavelets of decaying amplitude, and noise.
dt = 0.002
t = np.arange(1500) * dt
trace = np.zeros_like(t)
for t0, amp, f in [(0.3, 1.0, 30.0), (0.9, -0.45, 25.0), (1.6, 0.2, 20.0), (2.4, 0.08, 15.0)]:
    a = (np.pi * f * (t - t0)) ** 2
    trace += amp * (1.0 - 2.0 * a) * np.exp(-a)
trace += 0.004 * np.random.default_rng(7).standard_normal(t.size)
trace = trace.astype(np.float32)

with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "shot.sgy")
    segy.write(path, trace[None, :], format=1, sample_interval=int(dt * 1e6))
    with segy.SegyFile(path) as f:
        back = f.read()[0]
        time_ms = f.time_axis()

# IBM's fraction has 24 bits, led by 0 to 3 zeros: a value in
# [16**(e-1), 16**e) has a last place of 16**e * 2**-24.
magnitude = np.abs(trace.astype(np.float64))
ulp = 16.0 ** (np.floor(np.log(magnitude) / np.log(16.0)) + 1) * 2.0 ** -24
error = back.astype(np.float64) - trace.astype(np.float64)

fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 5.5), sharex=True,
                                  gridspec_kw={"height_ratios": [2, 1]})
top.plot(time_ms, back, lw=0.8, color="black")
top.fill_between(time_ms, 0, back, where=back > 0, color="black", lw=0)
top.set_ylabel("amplitude")
top.set_title("A trace written as IBM floats (format 1), read and converted to IEEE")
bottom.plot(time_ms, error / ulp, ".", ms=2, color="tab:blue")
bottom.axhline(0.5, color="tab:red", lw=0.8)
bottom.axhline(-0.5, color="tab:red", lw=0.8)
bottom.set_ylabel("error / IBM's last place")
bottom.set_xlabel("time (ms)")
fig.tight_layout()
