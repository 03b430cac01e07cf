"""Seismic phase names read as legs over the branches of a layered planet.

A ray is cut into branches where the model changes character: A from the
surface down to the source, M from the source to the core-mantle boundary,
K through the fluid outer core and I through the inner core.  A phase is the
number of times its ray crosses each (branch, wave) pair, the pairs it turns
in (the rest it crosses whole, or is reflected at the bottom of), and the
wave it leaves the source and reaches the receiver as.

Names follow the usual letters: P and S in the mantle, K in the outer core
(P), I in the inner core (P); c and i for reflections at the core-mantle and
inner-core boundaries; a lower-case p or s first for a depth phase, which
leaves the source upwards and is reflected at the surface.  So P, PP, PcP,
PKP, PKiKP, PKIKP, SKS, SKKS, PKKP, ScS, SKIKS, PcS, pP, sP, sS, pPKP...
Suffixes name part of a phase: g, b, n for rays bottoming in the upper crust,
lower crust and uppermost mantle (Pg, Pn, SbSb), diff for the wave diffracted
along the core (Pdiff), ab and bc for the two sides of PKP's caustic.
"""

import re
from collections import namedtuple

P, S = 0, 1
WAVES = {"P": P, "S": S, "p": P, "s": S}
DEFAULT_PHASES = ("P", "S", "PcP", "ScS", "PKP", "PKiKP", "PKIKP", "SKS", "SKIKS", "PP", "SS")
Phase = namedtuple("Phase", "name legs turning first_wave first_up last_wave")
Phase.__doc__ = """A phase as legs: `legs` maps (branch, wave) to the times it is crossed
(shallowest branch first); `turning` is the set of those the ray turns in."""

_CRUSTAL = re.compile(r"(?:[PS][gbn])+")
_SUFFIXES = {"diff": ("P", "S"), "ab": ("PKP",), "bc": ("PKP",)}


class PhaseError(ValueError):
    """A phase name that does not describe a ray."""


def family(name):
    """The crustal and uppermost-mantle branches as their phase (Pn -> P,
    SbSb -> SS); any other name as it is."""
    return re.sub("[gbn]", "", name) if _CRUSTAL.fullmatch(name) else name


def base(name):
    """The phase whose curves give an arrival of `name`: Pn -> P, SbSb -> SS,
    Pdiff -> P, PKPbc -> PKP; any other name as it is."""
    if _CRUSTAL.fullmatch(name):
        return re.sub("[gbn]", "", name)
    for suffix, bases in _SUFFIXES.items():
        if name.endswith(suffix) and name[:-len(suffix)] in bases:
            return name[:-len(suffix)]
    return name


def parse(name):
    """The Phase of a name without suffix; PhaseError if it names no ray."""
    tokens = list(name)
    if not tokens or any(t not in "PSKIcips" for t in tokens):
        raise PhaseError(f"phase {name!r}: letters must come from P, S, K, I, c, i "
                         f"(p or s first for a depth phase)")
    legs, turning = {}, set()

    def add(branch, wave, count=1):
        legs[branch, wave] = legs.get((branch, wave), 0) + count

    first_up = tokens[0] in "ps"
    if first_up:
        add("A", WAVES[tokens[0]])
        tokens = tokens[1:]
    if not tokens or any(t in "ps" for t in tokens):
        raise PhaseError(f"phase {name!r}: a lower-case p or s may only stand first, before "
                         f"the rest of the phase")
    deeper = {"P": "Kc", "S": "Kc", "K": "Ii", "I": ""}
    for k, t in enumerate(tokens):
        before = tokens[k - 1] if k else None
        after = tokens[k + 1] if k + 1 < len(tokens) else None
        if t in "ci":
            if before not in (("P", "S") if t == "c" else ("K",)) or \
                    after not in (("P", "S") if t == "c" else ("K",)):
                raise PhaseError(f"phase {name!r}: {t!r} must stand between two legs "
                                 f"that meet at its boundary")
            continue
        down = after is not None and after in deeper[t]
        up = before is not None and before in deeper[t]
        if t == "I" and not (before == "K" and after == "K"):
            raise PhaseError(f"phase {name!r}: I must stand between two K legs")
        if t == "K" and not ((before in ("P", "S", "K", "I", "i")) and
                             (after in ("P", "S", "K", "I", "i"))):
            raise PhaseError(f"phase {name!r}: K must be entered and left through the mantle")
        if t in "PS":
            wave = WAVES[t]
            from_source = k == 0 and not first_up
            if up:
                add("M", wave)
                add("A", wave)
            elif down:
                add("M", wave)
                if not from_source:
                    add("A", wave)
            else:
                add("M", wave, 2)
                add("A", wave, 1 if from_source else 2)
                turning.add(("M", wave))
        else:
            branch = "K" if t == "K" else "I"
            add(branch, P, 1 if (down or up) else 2)
            if not (down or up):
                turning.add((branch, P))
    if tokens[-1] not in "PS":
        raise PhaseError(f"phase {name!r}: must end with P or S, reaching the surface")
    order = {"A": 0, "M": 1, "K": 2, "I": 3}
    legs = dict(sorted(legs.items(), key=lambda kv: (order[kv[0][0]], kv[0][1])))
    return Phase(name, legs, frozenset(turning), WAVES[name[0]], first_up, WAVES[tokens[-1]])


def check(name):
    """The name, if it names a ray or part of one (with a suffix); else PhaseError."""
    if not isinstance(name, str):
        raise PhaseError(f"phase: expected a name such as 'P' or 'PKiKP', got "
                         f"{type(name).__name__}")
    parse(base(name))
    return name


def names_of(phases):
    """The checked phase names of a sequence, or of a comma-separated string,
    as a tuple without repeats; PhaseError naming the first bad one."""
    try:
        return _NAMES[phases]
    except (KeyError, TypeError):
        pass
    listed = phases.split(",") if isinstance(phases, str) else phases
    names = []
    for name in listed:
        name = check(name.strip() if isinstance(name, str) else name)
        if name and name not in names:
            names.append(name)
    if not names:
        raise PhaseError("phases: no phase given")
    names = tuple(names)
    try:
        _NAMES[phases] = names
    except TypeError:
        pass    # a list: checked each time
    return names


def wanted(phase, names):
    """Whether an arrival named `phase` answers one of the names asked for:
    itself, or a name without suffix standing for its whole family."""
    key = (phase, names)
    if key not in _WANTED:
        _WANTED[key] = any(phase == n or (n == base(n) and base(phase) == n) for n in names)
    return _WANTED[key]


_NAMES, _WANTED = {}, {}
