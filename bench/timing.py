"""Wall-clock timing shared by the benchmarks: one call repeated, or several
contenders taking turns so that a shared machine's slow spells fall on all
of them alike."""

import statistics
import time


def timing(fn, repeat, number=1):
    """(median, lowest, highest) seconds of one call of fn, over `repeat`
    timings each the mean of `number` calls."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times), min(times), max(times)


def taking_turns(contenders, rounds, prepare=None):
    """Seconds of each contender over `rounds` rounds, one run of each in
    turn; `prepare(k)`, not timed, before each run of contender k (to
    restore the data a run changes in place)."""
    times = [[] for _ in contenders]
    for _ in range(rounds):
        for k, fn in enumerate(contenders):
            if prepare:
                prepare(k)
            start = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - start)
    return times
