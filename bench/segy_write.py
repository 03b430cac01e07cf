#!/usr/bin/env python3
"""Writing SEG-Y through seiskernels.segy: a file of IBM samples (format 1)
against a plain write of the same bytes, and the IEEE -> IBM conversion
alone, side by side in one run.

    /usr/bin/python3 bench/segy_write.py [--build build/release] [--quick] [--folder /tmp]

Needs numpy.  The file goes to a temporary folder (under /tmp by default)
and is removed afterwards.  Each figure is the median of the rounds, with
the lowest and highest beside it; the contenders take turns.
"""

import argparse
import os
import statistics
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
ap.add_argument("--build", default=os.path.join(ROOT, "build", "release"),
                help="build tree holding the libraries (default: %(default)s)")
ap.add_argument("--quick", action="store_true", help="a small file and few rounds")
ap.add_argument("--folder", default=tempfile.gettempdir(),
                help="where the file is written (default: %(default)s)")
ARGS = ap.parse_args()
os.environ.setdefault("TRAVELTIME_LIBRARY", os.path.join(ARGS.build, "traveltime", "libtraveltime.so"))
os.environ.setdefault("IBMFLOAT_LIBRARY", os.path.join(ARGS.build, "ibmfloat", "libibmfloat.so"))
sys.path.insert(0, os.path.join(ROOT, "python"))

import numpy as np  # noqa: E402

from seiskernels import segy  # noqa: E402
from timing import taking_turns  # noqa: E402

TRACES, SAMPLES = (2500, 1000) if ARGS.quick else (25000, 1000)
ROUNDS = 3 if ARGS.quick else 9


def timed(contenders, prepare=None):
    """Seconds of each contender over ROUNDS rounds, taking turns."""
    return taking_turns(contenders, ROUNDS, prepare)


def row(name, seconds, base=None, goal=None):
    med = statistics.median(seconds)
    ratio = f"{med / statistics.median(base):6.2f}x" if base is not None else " " * 7
    verdict = ""
    if goal is not None:
        verdict = f"  goal <= {goal}x: " + ("meets it" if med <= goal * statistics.median(base)
                                            else "MISSES it")
    print(f"  {name:52} {med * 1e3:8.1f} ms  ({min(seconds) * 1e3:6.1f}-"
          f"{max(seconds) * 1e3:6.1f}) {ratio}{verdict}")


def main():
    print(f"CPU: {os.cpu_count()} logical cores; Python {sys.version.split()[0]}, numpy "
          f"{np.__version__}")
    rng = np.random.default_rng(5)
    data = (rng.standard_normal((TRACES, SAMPLES)) * 10.0 ** rng.uniform(-1, 3, (TRACES, 1))
            ).astype(np.float32)
    head = {"inline": np.arange(TRACES) // 100, "crossline": np.arange(TRACES) % 100}
    with tempfile.TemporaryDirectory(dir=ARGS.folder) as folder:
        ours_path, plain_path = os.path.join(folder, "w.sgy"), os.path.join(folder, "p.sgy")
        segy.write(ours_path, data, headers=head)
        image = open(ours_path, "rb").read()
        print(f"{TRACES:,} traces of {SAMPLES:,} samples, format 1 (IBM), "
              f"{len(image) / 1e6:.0f} MB; median of {ROUNDS} rounds (lowest-highest)")

        def plain():
            with open(plain_path, "wb") as f:
                f.write(image)

        def ours():
            segy.write(ours_path, data, headers=head)

        def convert():
            segy.ieee2ibm(data)

        contenders, names = [plain, ours, convert], [
            "plain write of the file's bytes", "segy.write(path, samples, headers=...)",
            "segy.ieee2ibm(samples) alone (no file)"]
        spare = data.copy()
        try:
            import segyio

            def theirs():  # segyio converts the array it is given in place
                segyio.tools.from_array2D(plain_path, spare, format=1)
            contenders.append(theirs)
            names.append("segyio.tools.from_array2D(path, samples, format=1)")
        except ImportError:
            pass
        times = timed(contenders, lambda k: k == 3 and np.copyto(spare, data))
        with open(ours_path, "rb") as f:
            again = f.read()
        if again != image:
            a, b = np.frombuffer(again, np.uint8), np.frombuffer(image, np.uint8)
            d = np.flatnonzero(a[:len(b)] != b[:len(a)]) if len(a) == len(b) else len(a) - len(b)
            raise SystemExit(f"the file written differs from the first: {d}")
        for k, (name, t) in enumerate(zip(names, times)):
            row(name, t, None if k == 0 else times[0], 1.5 if k == 1 else None)
        print("  (ratios are of the plain write's median)")


if __name__ == "__main__":
    main()
