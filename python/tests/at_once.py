"""Calls made from several threads at once, for the tests that hold shared
models and GIL-free kernels to what one thread gets."""

import threading


def at_once(fn, args):
    """fn(*a) for each a of `args`, each in a thread of its own, all started
    before any is joined: their results, in the order of `args`."""
    results = [None] * len(args)

    def run(k):
        results[k] = fn(*args[k])
    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(args))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results
