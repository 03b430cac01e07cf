"""Seismic phase names read as the legs of a ray through a layered planet.

A name is read letter by letter into legs, each a wave in one region that
starts at a depth going down or up and ends at a depth going down or up:

    P S        P or S in the crust and mantle;  p s  the same going up
    K          P in the fluid outer core;  I J  P and S in the inner core
    P' S'      PKP and SKS (P'P' = PKPPKP)
    c i        reflections at the top of the core-mantle and inner-core boundaries
    m, 410     the Moho, the model's discontinuity nearest 410 km (within 10 km)
    v ^        before m or a number: reflection from the top side, from below
    diff       diffracted along the bottom of the leg's region (Pdiff, PKdiffP)
    n          a head wave along the Moho (Pn), or along a numbered discontinuity
               (P410n), just below it

Two mantle letters in a row meet at the free surface, two K at the underside
of the core-mantle boundary, two inner-core letters at the underside of the
inner-core boundary.  After m, as the IASPEI list has it, an upper-case letter
is a reflection from the top (PmP, SmS, PmS); after a number it is a
transmission on the way down (P410S).  A lower-case letter after either is a
transmission on the way up (Pms, P410s, S660p: receiver-function conversions).

A phase is then, for a source and a receiver depth, a list of passes: a wave
crossing a depth range down (DOWN) or up (UP), or going down into one and
turning back up inside it (TURN, counted twice).  Its ray parameters follow
from every pass on its own; its time and distance are the sums over them.
"""

import math
import re
from collections import namedtuple

P, S = 0, 1
DOWN, UP, TURN = "down", "up", "turn"
MANTLE, OUTER, INNER = "M", "K", "I"
DISCONTINUITY_TOLERANCE = 10.0      # km: a number names a discontinuity this close to it
HEAD_WAVE_DEG = 20.0    # how far a head wave is followed along its boundary (deg)

DEFAULT_PHASES = ("P", "S", "PcP", "ScS", "PKP", "PKiKP", "PKIKP", "SKS", "SKIKS", "PP", "SS")
DEPTH_PHASES = ("pP", "sP", "pS", "sS", "pPcP", "sPcP", "pScS", "sScS", "pPKP", "sPKP",
                "pPKiKP", "sPKiKP", "pPKIKP", "sPKIKP", "pSKS", "sSKS", "pSKIKS", "sSKIKS",
                "pPP", "sPP", "pSS", "sSS")
ALL_PHASES = DEFAULT_PHASES + DEPTH_PHASES + (
    "PcS", "ScP", "SKP", "PKS", "PS", "SP", "PPP", "SSS", "PKKP", "SKKS", "PKKS", "SKKP",
    "SKKKS", "P'P'", "S'S'", "PcPPcP", "ScSScS", "PKJKP", "SKJKS")

# Names of one branch of another phase's curve, and the phase they belong to.
ALIASES = {"PKPdf": "PKIKP", "SKSdf": "SKIKS", "SKSac": "SKS", "PKPdiff": "PKdiffP",
           "SKSdiff": "SKdiffS"}
_SIDES = {"ab": "PKP", "bc": "PKP"}                 # PKPab, PKPbc, P'ab, P'bc
_CRUSTAL = re.compile(r"(?:[PS][gbn])+")             # Pg, Pn, SbSb, PnPn
_NUMBER = re.compile(r"\d+(?:\.\d*)?|\.\d+")

Phase = namedtuple("Phase", "name legs head first_wave last_wave")
Phase.__doc__ = """A phase as legs, shallowest first: each leg a
Leg(wave, region, start, going, end, arriving, below); `head` is None, or
(kind, wave, region, depth) of a diffracted ("diff") or head ("n") wave."""
Leg = namedtuple("Leg", "wave region start going end arriving below")
Leg.__doc__ = """A wave (P or S) in one region (M, K, I) from depth `start`
going `going` to depth `end` arriving `arriving` (DOWN or UP); a leg going
down and arriving up turns, below the depth `below` if that is not None.
Depths are km, or "source" and "receiver"."""
Pass = namedtuple("Pass", "wave region top bottom kind")

SOURCE, RECEIVER = "source", "receiver"


class PhaseError(ValueError):
    """A phase name that does not describe a ray."""


def split(name):
    """(phase, label): the phase whose legs give arrivals of `name`, and
    which of its arrivals the name asks for (None: all of them).  A family
    name asks for all: P gives Pg, Pb, Pn, Pdiff; PKP gives PKPab and PKPbc."""
    if _CRUSTAL.fullmatch(name):
        return re.sub("[gbn]", "", name), name
    if name in ALIASES:
        return ALIASES[name], name
    for suffix, phase in _SIDES.items():
        if name.endswith(suffix) and _expand(name[:-len(suffix)]) == phase:
            return phase, "PKP" + suffix
    return name, None


def base(name):
    """The family a name belongs to: Pn -> P, SbSb -> SS, PKPbc -> PKP,
    PKPdf -> PKIKP; any other name as it is."""
    return split(name)[0]


def family(name):
    """The crustal and uppermost-mantle branches as their phase (Pn -> P,
    SbSb -> SS); any other name as it is."""
    return base(name) if _CRUSTAL.fullmatch(name) else name


def _expand(name):
    return name.replace("P'", "PKP").replace("S'", "SKS")


def tokens(name):
    """The letters, boundaries and suffixes of a name, in order:
    ("wave", letter), ("c",), ("i",), ("bound", depth or "m", side), ("diff",),
    ("n",); PhaseError for anything else."""
    text, out, k = _expand(name), [], 0
    if "'" in text:
        raise PhaseError(f"phase {name!r}: a prime may only follow P or S (P' is PKP, "
                         f"S' is SKS)")
    while k < len(text):
        c = text[k]
        if c in "PSpsKIJ":
            out.append(("wave", c))
        elif c in "ci":
            out.append((c,))
        elif text.startswith("diff", k):
            out.append(("diff",))
            k += 3
        elif c == "n":
            out.append(("n",))
        elif c in "mv^" or c.isdigit() or c == ".":
            side = None
            if c in "v^":
                side, k = c, k + 1
                c = text[k] if k < len(text) else ""
            if c == "m":
                out.append(("bound", "m", side))
            else:
                number = _NUMBER.match(text, k)
                if not number:
                    raise PhaseError(f"phase {name!r}: {side!r} must be followed by m or the "
                                     f"depth of a discontinuity")
                out.append(("bound", float(number.group()), side))
                k = number.end() - 1
        else:
            raise PhaseError(f"phase {name!r}: {c!r} is not a letter of a phase name (P, S, "
                             f"p, s, K, I, J, c, i, m, v, ^, a depth, diff, n)")
        k += 1
    return out


_REGION = {"P": MANTLE, "S": MANTLE, "p": MANTLE, "s": MANTLE, "K": OUTER, "I": INNER,
           "J": INNER}


def parse(name, bounds=None):
    """The Phase of a name without a branch suffix; PhaseError if it names
    no ray.  `bounds(depth_or_m, name)` gives the depth (km) of the model's
    discontinuity a number or m names; without it the depths stay as written."""
    toks = tokens(name)
    if not toks or toks[0][0] != "wave":
        raise PhaseError(f"phase {name!r}: must start with a wave (P, S, or p, s for a "
                         f"ray leaving the source upwards)")
    if toks[0][1] not in "PSps":
        raise PhaseError(f"phase {name!r}: must start in the mantle, with P, S, p or s")
    legs, head = [], None
    start, going = SOURCE, UP if toks[0][1] in "ps" else DOWN
    k = 0
    while k < len(toks):
        letter = toks[k][1]
        region, wave = _REGION[letter], S if letter in "SsJ" else P
        if letter in "ps" and going != UP:
            raise PhaseError(f"phase {name!r}: {letter!r} goes up, so it must stand first or "
                             f"after a discontinuity the ray passes going up (Pms, P410s)")
        nxt = toks[k + 1] if k + 1 < len(toks) else None
        after = toks[k + 2] if k + 2 < len(toks) else None
        step = 1
        below = None
        if nxt is None:
            if region != MANTLE:
                raise PhaseError(f"phase {name!r}: must end with P or S, reaching the receiver")
            end, arriving = RECEIVER, UP
        elif nxt[0] == "wave":
            other = _REGION[nxt[1]]
            if (region, other) not in _MEETS:
                raise PhaseError(f"phase {name!r}: {letter!r} cannot be followed by "
                                 f"{nxt[1]!r}: {_where(letter)} does not touch "
                                 f"{_where(nxt[1])}")
            if region == MANTLE and other == MANTLE and nxt[1] in "ps":
                raise PhaseError(f"phase {name!r}: {nxt[1]!r} after {letter!r}: two mantle "
                                 f"legs meet at the surface, where the ray goes down again "
                                 f"(use P or S)")
            end, arriving, nxt_start, nxt_going = _MEETS[region, other]
        elif nxt[0] in ("c", "i"):
            want = (MANTLE, "PSps") if nxt[0] == "c" else (OUTER, "K")
            if region != want[0] or after is None or after[0] != "wave" or \
                    after[1] not in want[1]:
                raise PhaseError(f"phase {name!r}: {nxt[0]!r} must stand between two legs that "
                                 f"meet at its boundary ({'P or S' if nxt[0] == 'c' else 'K'} "
                                 f"on both sides)")
            bound = "cmb" if nxt[0] == "c" else "icb"
            end, arriving, nxt_start, nxt_going = bound, DOWN, bound, UP
            step = 2
        elif nxt[0] == "bound":
            if region != MANTLE:
                raise PhaseError(f"phase {name!r}: a discontinuity named by m or a depth must "
                                 f"lie in the crust or mantle")
            _, where, side = nxt
            depth = bounds(where, name) if bounds else where
            if after is None or after[0] not in ("wave", "n"):
                raise PhaseError(f"phase {name!r}: a discontinuity must be followed by the "
                                 f"wave that leaves it")
            if after[0] == "n":
                if side == "^":
                    raise PhaseError(f"phase {name!r}: a head wave runs along the top of a "
                                     f"discontinuity, not under it")
                if going == UP:
                    raise PhaseError(f"phase {name!r}: {letter!r} goes up there, so it cannot "
                                     f"run along the discontinuity below it")
                head = _head(name, head, ("n", wave, region, depth))
                legs.append(Leg(wave, region, start, going, depth, DOWN, None))
                start, going, k = depth, UP, k + 3
                toks = _back_up(toks, k, letter)
                continue
            if _REGION[after[1]] != MANTLE:
                raise PhaseError(f"phase {name!r}: the wave after a discontinuity in the mantle "
                                 f"must be P, S, p or s")
            upper = after[1] in "PS"
            if side == "v" or (side is None and where == "m" and upper):
                end, arriving, nxt_start, nxt_going = depth, DOWN, depth, UP
            elif side == "^":
                end, arriving, nxt_start, nxt_going = depth, UP, depth, DOWN
                below = depth
            elif upper:
                end, arriving, nxt_start, nxt_going = depth, DOWN, depth, DOWN
            else:
                end, arriving, nxt_start, nxt_going = depth, UP, depth, UP
                below = depth
            step = 2
        elif nxt[0] in ("diff", "n"):
            if nxt[0] == "n" and region != MANTLE:
                raise PhaseError(f"phase {name!r}: a head wave runs along a discontinuity of "
                                 f"the crust or mantle")
            if region == INNER:
                raise PhaseError(f"phase {name!r}: only P, S and K legs are diffracted")
            if going == UP:
                raise PhaseError(f"phase {name!r}: {letter!r} goes up there, so it cannot run "
                                 f"along the boundary below it")
            if nxt[0] == "diff":
                bound = "cmb" if region == MANTLE else "icb"
            else:
                bound = bounds("m", name) if bounds else "m"
            head = _head(name, head, (nxt[0], wave, region, bound))
            legs.append(Leg(wave, region, start, going, bound, DOWN, None))
            start, going, k = bound, UP, k + 2
            toks = _back_up(toks, k, letter)
            continue
        if going == UP and arriving == DOWN:
            raise PhaseError(f"phase {name!r}: {letter!r} goes up there, so it cannot reach "
                             f"{_at(end)} from above")
        legs.append(Leg(wave, region, start, going, end, arriving, below))
        if nxt is None:
            break
        start, going = nxt_start, nxt_going
        k += step
    if legs[-1].end != RECEIVER:
        raise PhaseError(f"phase {name!r}: must end with P or S, reaching the receiver")
    return Phase(name, tuple(legs), head, legs[0].wave, legs[-1].wave)


def _back_up(toks, k, letter):
    """The tokens with the leg that takes a diffracted or head wave back up
    from its boundary at k: the same wave, unless the name writes it."""
    letter = letter.upper()
    if k < len(toks) and toks[k] == ("wave", letter):
        return toks
    return toks[:k] + [("wave", letter)] + toks[k:]


# Where a leg of one region ends when the next letter is a leg of another
# (or the same): (end, arriving, start of the next, going).  Two mantle legs
# meet at the free surface; K after K at the underside of the core-mantle
# boundary; two inner-core legs at the underside of the inner-core boundary.
_MEETS = {
    (MANTLE, MANTLE): (0.0, UP, 0.0, DOWN),
    (MANTLE, OUTER): ("cmb", DOWN, "cmb", DOWN),
    (OUTER, MANTLE): ("cmb", UP, "cmb", UP),
    (OUTER, OUTER): ("cmb", UP, "cmb", DOWN),
    (OUTER, INNER): ("icb", DOWN, "icb", DOWN),
    (INNER, OUTER): ("icb", UP, "icb", UP),
    (INNER, INNER): ("icb", UP, "icb", DOWN),
}


def _head(name, head, new):
    if head is not None and head != new:
        raise PhaseError(f"phase {name!r}: a ray is diffracted or runs as a head wave along "
                         f"one boundary only")
    return new


def _where(letter):
    return {MANTLE: "the mantle", OUTER: "the outer core", INNER: "the inner core"}[
        _REGION[letter]]


def _at(end):
    return {"cmb": "the core-mantle boundary", "icb": "the inner-core boundary",
            0.0: "the surface"}.get(end, f"the discontinuity at {end:g} km"
                                    if isinstance(end, float) else str(end))


def direct(wave, going):
    """The ray that goes straight from the source to the receiver, up or
    down, without turning (p and s; P and S's rays to a deeper receiver)."""
    letter = "PS"[wave] if going == DOWN else "ps"[wave]
    return Phase(letter, (Leg(wave, MANTLE, SOURCE, going, RECEIVER, going, None),), None,
                 wave, wave)


def passes(phase, depth, receiver, cmb, icb, centre):
    """The passes of a phase's legs for a source and a receiver depth (km),
    shallowest first within each leg; None if no ray can follow the legs
    from there (a leg that would have to go up to reach a deeper point, or
    a ray leaving a source at the surface upwards)."""
    named = {SOURCE: depth, RECEIVER: receiver, "cmb": cmb, "icb": icb}
    bottoms = {MANTLE: cmb, OUTER: icb, INNER: centre}
    out = []
    last = len(phase.legs) - 1
    for n, leg in enumerate(phase.legs):
        a, e = named.get(leg.start, leg.start), named.get(leg.end, leg.end)
        w, region = leg.wave, leg.region
        if leg.going == leg.arriving:
            lo, hi = (a, e) if leg.going == DOWN else (e, a)
            if lo > hi:
                return None
            if lo == hi:
                # A ray cannot leave the source upwards from the surface, nor
                # be reflected where it starts or ends; a head wave may start
                # or end on its own boundary.
                if (n == 0 and leg.going == UP) or \
                        (n in (0, last) and phase.head is None):
                    return None
                continue
            out.append(Pass(w, region, lo, hi, leg.going))
        else:
            low = max(a, e, leg.below if leg.below is not None else a)
            if a < low:
                out.append(Pass(w, region, a, low, DOWN))
            out.append(Pass(w, region, low, bottoms[region], TURN))
            if e < low:
                out.append(Pass(w, region, e, low, UP))
    return out


def bounds_of(model):
    """The function parse needs to name the model's discontinuities: "m"
    for the Moho, a number for the discontinuity of the crust or mantle
    nearest to it within DISCONTINUITY_TOLERANCE km (the shallower of two
    as near)."""
    found = [d for d in model.discontinuities if d < model.cmb]

    def bound(where, name):
        if where == "m":
            if model.moho is None:
                raise PhaseError(f"phase {name!r}: the model {model.name} has no Moho (label "
                                 f"one 'mantle' in an .nd file)")
            return float(model.moho)
        near = min(found, key=lambda d: (abs(d - where), d), default=None)
        if near is None or abs(near - where) > DISCONTINUITY_TOLERANCE:
            listed = ", ".join(f"{d:g}" for d in found) or "none"
            raise PhaseError(f"phase {name!r}: the model {model.name} has no discontinuity "
                             f"within {DISCONTINUITY_TOLERANCE:g} km of {where:g} km (its "
                             f"discontinuities above the core: {listed})")
        return float(near)
    return bound


Member = namedtuple("Member", "phase kind")
Member.__doc__ = """One part of a family: a Phase and what it is: "ray"
(turning or reflected), "direct" (straight from the source to the
receiver), "diff" or "n" (diffracted or head wave)."""


def members(name, bounds, has_moho=True):
    """The Members whose arrivals a family of phases gives: P and S their
    turning rays, the rays straight up or down to the receiver, the wave
    diffracted along the core and the head wave along the Moho; any other
    name itself."""
    if name in ("P", "S"):
        wave = P if name == "P" else S
        out = [Member(parse(name, bounds), "ray"), Member(direct(wave, UP), "direct"),
               Member(direct(wave, DOWN), "direct"), Member(parse(name + "diff", bounds), "diff")]
        if has_moho:
            out.append(Member(parse(name + "n", bounds), "n"))
        return out
    phase = parse(name, bounds)
    return [Member(phase, phase.head[0] if phase.head else "ray")]


def p_range(legs, branch):
    """(lo, hi, cuts): the ray parameters that can follow the passes, and
    those within where the curve breaks.  A ray crosses a run of layers
    going down or up only with p at most their least slowness; one that
    turns in a run enters it (p at most its top slowness) and turns above
    its bottom (p above its least slowness).  A ray diving below the top of
    a low-velocity zone lands far beyond one turning just above it: the
    curve breaks there.  `branch(pass)` gives the run's `min`, `top_eta`
    and `shadows`."""
    hi, lo, cuts = math.inf, 0.0, set()
    for ps in legs:
        b = branch(ps)
        if ps.kind == TURN:
            hi, lo = min(hi, b.top_eta), max(lo, b.min)
            cuts |= b.shadows
        else:
            hi = min(hi, b.min)
    return lo, hi, sorted((x for x in cuts if lo < x < hi), reverse=True)


def check(name):
    """The name, if it names a ray or part of one; else PhaseError."""
    if not isinstance(name, str):
        raise PhaseError(f"phase: expected a name such as 'P' or 'PKiKP', got "
                         f"{type(name).__name__}")
    parse(split(name)[0])
    return name


def names_of(phases):
    """The checked phase names of a sequence, or of a comma-separated string
    ("all" for ALL_PHASES), as a tuple without repeats; PhaseError naming
    the first bad one."""
    key = tuple(phases) if isinstance(phases, list) else phases
    try:
        return _NAMES[key]
    except (KeyError, TypeError):
        pass
    listed = phases.split(",") if isinstance(phases, str) else phases
    try:
        listed = list(listed)
    except TypeError:
        raise PhaseError(f"phases: expected a sequence of names or a comma-separated string, "
                         f"got {type(phases).__name__}") from None
    names = []
    for name in listed:
        name = name.strip() if isinstance(name, str) else name
        for one in (ALL_PHASES if name == "all" else (name,)):
            one = check(one)
            if one and one not in names:
                names.append(one)
    if not names:
        raise PhaseError("phases: no phase given")
    names = tuple(names)
    try:
        _NAMES[key] = names
    except TypeError:
        pass
    return names


_NAMES = {}
