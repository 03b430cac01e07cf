"""pip install . into a new virtual environment, offline, as a user does;
then, from a folder outside the checkout and with no library variables set,
convert a big-endian trace held in a bytearray and run a phase search.

    python3 pip_install.py SOURCE_DIR WORK_DIR
"""
import os
import shutil
import subprocess
import sys

source, work = sys.argv[1], sys.argv[2]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
# A copy of the checkout, so that the build pip makes in the tree stays out of it.
tree = os.path.join(work, "src")
shutil.copytree(source, tree, ignore=lambda d, names: [n for n in names if n in (
    ".git", "build", "out", "__pycache__") or n.endswith(".egg-info")] if d == source else
    [n for n in names if n == "__pycache__" or n.endswith(".egg-info")])
venv = os.path.join(work, "venv")
python = os.path.join(venv, "bin", "python")
env = {k: v for k, v in os.environ.items()
       if k not in ("TRAVELTIME_LIBRARY", "IBMFLOAT_LIBRARY", "ARRIVALS_LIBRARY", "PYTHONPATH")}
subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps",
                "--quiet", tree], check=True, env=env)

script = r'''
import struct, seiskernels, seiskernels.tau_kernels as tt
trace = bytearray(struct.pack(">4I", 0x41100000, 0xC276A000, 0x42640000, 0x3F100000))
seiskernels.ibm2ieee(trace)
assert memoryview(trace).cast("f").tolist() == [1.0, -118.625, 100.0, 0.00390625], trace
curve = memoryview(struct.pack("=4d", 0.0, 0.4, 0.8, 1.2)).cast("d")  # read-only
rays = memoryview(struct.pack("=4d", 9.0, 8.0, 7.0, 6.0)).cast("d")
hits = seiskernels.seismic_phase_calc_time_inner_loop(30.0, 1.2, curve, rays)
assert hits == ([0.5235987755982988], [1]), hits
print("installed package at", seiskernels.__file__, "with", tt._lib._name)
'''
outside = os.path.join(work, "elsewhere")
os.makedirs(outside)
run = subprocess.run([python, "-c", script], cwd=outside, env=env, capture_output=True, text=True)
out = run.stdout
print(out + run.stderr, end="")
assert run.returncode == 0
assert out.count(os.path.join(venv, "lib")) == 2, "package or library not from the environment"
# The installed command, as a new user types it (its tables cached under WORK_DIR).
env["SEISKERNELS_CACHE"] = os.path.join(work, "cache")
run = subprocess.run([os.path.join(venv, "bin", "seiskernels"), "times", "--model", "iasp91",
                      "--depth", "300", "30", "145"], cwd=outside, env=env, capture_output=True,
                     text=True)
print(run.stdout + run.stderr, end="")
assert run.returncode == 0 and "PKIKP" in run.stdout and " P " in run.stdout
# The calculator's other commands and calls, from the installed package: its
# engine from the environment, ray paths and pierce points, a pair by its
# coordinates with the corrections.
for command, expect in ((["path", "--depth", "10", "--phases", "P", "--format", "csv", "40"], "depth"),
                        (["pierce", "--depth", "10", "--phases", "P", "--depths", "410,660", "60"],
                         "410"),
                        (["times", "--depth", "33", "--phases", "P", "--source", "35.7,139.7",
                          "--station", "51.5,-0.1", "--ellipticity"], "azimuth")):
    run = subprocess.run([os.path.join(venv, "bin", "seiskernels"), command[0], "--model",
                          "iasp91"] + command[1:], cwd=outside, env=env, capture_output=True,
                         text=True)
    print(run.stdout[-300:] + run.stderr, end="")
    assert run.returncode == 0 and expect in run.stdout, command
script = '''
from seiskernels import _engine
from seiskernels.traveltimes import TravelTimes
model = TravelTimes("iasp91")
(ray,) = model.paths(10, 40, ["P"])
assert abs(ray.distance_deg[-1] - 40.0) < 1e-3
rows = model.table_geo((35.7, 139.7, 33.0), [(51.5, -0.1), (-33.9, 151.2)], ["P"], first=True)
assert len(rows) == 2 and (rows["ellipticity_s"] != 0).all()
print("engine", _engine._lib._name)
'''
run = subprocess.run([python, "-c", script], cwd=outside, env=env, capture_output=True, text=True)
print(run.stdout + run.stderr, end="")
assert run.returncode == 0 and os.path.join(venv, "lib") in run.stdout
