"""The kernel wrappers' module is seiskernels.tau_kernels; the old name,
seiskernels.traveltime (one letter from the calculator's), still imports, warns
that it will go, and hands out the very same objects."""
import os
import subprocess
import sys
import warnings

import pytest

import seiskernels
import seiskernels.tau_kernels as new

ENV = dict(os.environ, PYTHONWARNINGS="")


def run(code, *flags):
    """`code` in a new interpreter (a module is imported, and warns, once per
    process); its (status, stdout, stderr)."""
    done = subprocess.run([sys.executable, *flags, "-c", code], env=ENV, capture_output=True,
                          text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


IMPORT_FORMS = ["import seiskernels.traveltime",
                "import seiskernels.traveltime as tt",
                "from seiskernels import traveltime",
                "from seiskernels.traveltime import bullen_radial_slowness_inner_loop"]


@pytest.mark.parametrize("form", IMPORT_FORMS)
def test_the_old_import_warns_once_pointing_at_the_importing_line(form):
    code = f"""
import warnings
warnings.simplefilter("always")
with warnings.catch_warnings(record=True) as caught:
    {form}
    import seiskernels.traveltime
    from seiskernels import traveltime
for w in caught:
    print(w.category.__name__, w.filename, w.lineno, str(w.message), sep="|")
"""
    status, out, err = run(code)
    assert status == 0, err
    lines = out.splitlines()
    assert len(lines) == 1, out                     # once, not on every import
    category, filename, lineno, message = lines[0].split("|")
    assert category == "DeprecationWarning"
    # Attributed to the line that imported it, not to importlib or the shim.
    assert (filename, lineno) == ("<string>", "5")
    assert "seiskernels.tau_kernels" in message and "removed" in message


def test_pythons_default_filters_show_it_to_a_script():
    # DeprecationWarning is shown by default only when attributed to __main__.
    status, _, err = run("import seiskernels.traveltime")
    assert status == 0
    assert err.count("DeprecationWarning") == 1 and "tau_kernels" in err


def test_it_is_an_error_under_W_error():
    status, _, err = run("import seiskernels.traveltime", "-W", "error::DeprecationWarning")
    assert status != 0 and "DeprecationWarning" in err


def test_nothing_in_the_package_imports_the_old_name():
    # Every module a user imports, and the private ones they pull in, with
    # deprecation warnings as errors: a module of the package that still
    # used the old name would fail here (and warn every user).
    code = ("import seiskernels, seiskernels.tau_kernels, seiskernels.ibmfloat, "
            "seiskernels.traveltimes, seiskernels.segy, seiskernels._cli, seiskernels._paths, "
            "seiskernels._exact, seiskernels._tables, seiskernels._pairs, seiskernels._plots\n"
            "import sys; assert 'seiskernels.traveltime' not in sys.modules")
    status, _, err = run(code, "-W", "error::DeprecationWarning")
    assert status == 0, err


def test_the_old_names_are_the_same_objects():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import seiskernels.traveltime as old
    assert sorted(old.__all__) == sorted(new.__all__)
    names = new.__all__ + ["Buffer", "_lib"]    # and what old code reached past __all__
    for name in names:
        assert getattr(old, name) is getattr(new, name), name
    for name in new.__all__:
        assert getattr(seiskernels, name) is getattr(new, name), name
    with pytest.raises(AttributeError):
        old.no_such_name


def test_a_kernel_called_through_the_old_name_gives_the_new_ones_result():
    import array
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        from seiskernels.traveltime import seismic_phase_calc_time_inner_loop as old_search
    dist = array.array("d", [0.0, 0.4, 0.8, 1.2])
    rays = array.array("d", [9.0, 8.0, 7.0, 6.0])
    assert old_search(30.0, 1.2, dist, rays) == new.seismic_phase_calc_time_inner_loop(
        30.0, 1.2, dist, rays) == ([0.5235987755982988], [1])


def test_what_the_calculator_returns_and_raises_is_importable_from_it():
    # A user annotates, isinstance-checks and catches by the public module's
    # names; a type reachable only through a private module is a trap.
    import seiskernels.traveltimes as tt
    for name in tt.__all__:
        assert hasattr(tt, name), name
    model = tt.TravelTimes("iasp91")
    assert isinstance(model.arrivals(10, 30, "P")[0], tt.Arrival)
    assert isinstance(model.paths(10, 30, "P")[0], tt.RayPath)
    assert isinstance(model.pierce(10, 30, "P")[0], tt.Pierce)
    for call, error in [(lambda: model.paths(10, 30, "PKIKP"), tt.NoArrival),
                        (lambda: model.arrivals(10, 30, "Px"), tt.PhaseError),
                        (lambda: tt.TravelTimes("no-such-model"), tt.ModelError)]:
        with pytest.raises(error):
            call()
        assert issubclass(error, ValueError)
