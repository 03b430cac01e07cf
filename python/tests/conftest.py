"""The package's tests: one marker of their own.

slow
    An oracle whose work is mostly Python's (the exact solver, the ray
    shooter, many calls over a grid).  The sanitizer builds leave these out
    (``-m "not slow"``): there every numpy allocation goes through the
    sanitizer's allocator, and these alone took a quarter of an hour; what
    they check of the native code, the other tests check too.
"""


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: an oracle whose work is mostly Python's; "
                                       "left out of the sanitizer builds")
