"""A brute-force ray shooter: the test suite's independent oracle for travel times.

It shares nothing with the calculator: its own reader of model files, its own
reading of the phase names, and plain Gauss-Legendre quadrature of the
model's speeds, linear in depth between nodes (no Bullen-law layers, no
tables, no native kernels).

Quadrature
----------
Between two nodes the speed is linear in depth, so v(r) = A + B r and the
slowness eta = r / v is monotonic in r (d eta / dr = A / v**2).  A ray of
parameter p has

    dT/dr = eta**2 / (r sqrt(eta**2 - p**2)),   dX/dr = p / (r sqrt(eta**2 - p**2)),

singular where it turns (eta = p) and nearly so where it grazes a node.  With
t = sqrt(eta**2 - p**2) = p sinh(theta), eta = p cosh(theta) and
r(eta) = A eta / (1 - B eta), they become

    dT/dtheta = eta / (1 - B eta),   dX/dtheta = 1 / (cosh(theta) (1 - B eta)),

smooth on the whole layer (1 - B eta = A / v does not vanish there), the
turning point being theta = 0.  So every layer, the one where the ray turns
included, is a 5-point Gauss-Legendre sum in theta (a few panels where the
range of theta is long, as for nearly vertical rays turning near the centre):
no singularity is left, and the turning point needs no search (the ray turns
in the first layer, from the top, whose slowness falls to p; a layer whose top
already lies below p reflects it totally, as a post-critical reflection).

Arrivals
--------
For a phase, each leg is integrated on its own and the legs summed.  The ray
parameter is scanned over the phase's range on a grid shared by every phase
of one source and receiver depth: uniform, plus geometric clusters towards
every slowness where a distance curve starts with a square root or jumps
(both sides of every discontinuity, the source and receiver, the local minima
of the slowness above a low-velocity zone) and around every node's slowness
(where X(p) has a kink, so a fold can sit there).  The samples are then
refined wherever X moves more than 0.01 deg between neighbours, and around
every fold, and each root of X(p) = D + 360 n or 360 (n + 1) - D is
bracketed and refined by the Illinois method.
"""

import math
import re
from typing import NamedTuple

import numpy as np

DEG = 180.0 / math.pi
NOTHING = 1e-9           # depths closer than this (km) are the same depth
MARGIN_FOLD = 1e-6       # folds located until X moves less than this (rad)
STEP = math.radians(0.05)  # samples refined until X moves less than this

_GL_X, _GL_W = np.polynomial.legendre.leggauss(5)
_GL_U = 0.5 * (_GL_X + 1.0)


class ModelError(ValueError):
    """A model file or node list the shooter cannot read."""


class PhaseError(ValueError):
    """A phase name that cannot exist."""


# --------------------------------------------------------------------------
# Models

class Planet:
    """A spherically symmetric planet: nodes top-down, speeds linear in depth
    between them; a depth given twice is a discontinuity.

    Parameters
    ----------
    depth, vp, vs : sequences of float
        Nodes from the surface (depth 0) to the centre (depth = radius).
    cmb, icb : int, optional
        Index of the first node of the outer core and of the inner core
        (from an .nd file's labels); else where Vs falls to 0 and rises again.
    moho : float, optional
        Depth of the Moho; else the first discontinuity below which Vp >= 7.6.
    """

    def __init__(self, depth, vp, vs, cmb=None, icb=None, moho=None, name="planet"):
        self.depth = np.asarray(depth, float)
        self.vp = np.asarray(vp, float)
        self.vs = np.asarray(vs, float)
        self.name = name
        d = self.depth
        if d.size < 4 or d[0] != 0.0 or np.any(np.diff(d) < 0):
            raise ModelError(f"{name}: depths must start at 0 and never decrease")
        if np.any(self.vp <= 0) or np.any(self.vs < 0):
            raise ModelError(f"{name}: Vp must be positive, Vs not negative")
        self.radius = float(d[-1])
        if cmb is None:
            cmb = next(i for i in range(1, d.size) if self.vs[i] == 0 and d[i] == d[i - 1])
        if icb is None:
            icb = next(i for i in range(cmb + 1, d.size) if self.vs[i] > 0 and d[i] == d[i - 1])
        self.cmb_index, self.icb_index = cmb, icb
        self.cmb, self.icb = float(d[cmb]), float(d[icb])
        # every repeated depth strictly inside the mantle
        self.discontinuities = sorted({float(d[i]) for i in range(1, cmb)
                                       if d[i] == d[i - 1] and 0 < d[i] < self.cmb})
        if moho is None:
            moho = next((x for x in self.discontinuities
                         if self.vp[np.nonzero(d == x)[0][-1]] >= 7.6), None)
        self.moho = moho
        self.has_inner_s = bool(np.all(self.vs[icb:] > 0))

    # the nodes of the region a wave travels in, and the speed column it reads
    REGION = {"P": ("mantle", "vp"), "S": ("mantle", "vs"), "K": ("outer", "vp"),
              "I": ("inner", "vp"), "J": ("inner", "vs")}

    def nodes(self, wave):
        region, column = self.REGION[wave]
        lo, hi = {"mantle": (0, self.cmb_index), "outer": (self.cmb_index, self.icb_index),
                  "inner": (self.icb_index, self.depth.size)}[region]
        return self.depth[lo:hi], getattr(self, column)[lo:hi]

    def bounds(self, wave):
        """Top and floor depth of the wave's region."""
        region = self.REGION[wave][0]
        return {"mantle": (0.0, self.cmb), "outer": (self.cmb, self.icb),
                "inner": (self.icb, self.radius)}[region]

    def layers(self, wave, split=()):
        """The wave's layers top-down, with nodes added at the depths in `split`."""
        d, v = self.nodes(wave)
        d, v = list(d), list(v)
        for x in sorted(split):
            if not d[0] < x < d[-1] or any(abs(x - y) < NOTHING for y in d):
                continue
            i = next(i for i in range(1, len(d)) if d[i] > x)
            w = v[i - 1] + (v[i] - v[i - 1]) * (x - d[i - 1]) / (d[i] - d[i - 1])
            d.insert(i, x)
            v.insert(i, w)
        d, v = np.array(d), np.array(v)
        keep = np.diff(d) > 0
        strong = set()       # depths where a distance curve may start or jump
        for i in range(1, d.size - 1):
            if d[i] == d[i - 1] or d[i] == d[i + 1] or any(abs(d[i] - x) < NOTHING for x in split):
                strong.add(float(d[i]))
        return Layers(self.radius, d[:-1][keep], d[1:][keep], v[:-1][keep], v[1:][keep], strong)

    def speed(self, wave, depth, side):
        """The wave's speed at `depth`, just "above" or "below" it."""
        d, v = self.nodes(wave)
        if side == "below":
            i = np.searchsorted(d, depth + NOTHING, "right") - 1
            i = min(max(i, 0), d.size - 2)
        else:
            i = np.searchsorted(d, depth - NOTHING, "left") - 1
            i = min(max(i, 0), d.size - 2)
        while d[i + 1] == d[i]:
            i += 1 if side == "below" else -1
        return float(v[i] + (v[i + 1] - v[i]) * (depth - d[i]) / (d[i + 1] - d[i]))

    def slowness(self, wave, depth, side):
        """eta = r / v (s/rad) just above or below `depth`."""
        return (self.radius - depth) / self.speed(wave, depth, side)

    def vertical_time(self, wave, top, bottom):
        """Exact time of a vertical ray between two depths: the integral of
        dz / v, each piece of v = v0 + g z giving log(v1 / v0) / g."""
        ly = self.layers(wave, (top, bottom))
        inside = (ly.d_top >= top - NOTHING) & (ly.d_bot <= bottom + NOTHING)
        dz = (ly.d_bot - ly.d_top)[inside]
        v0, v1 = ly.v_top[inside], ly.v_bot[inside]
        same = np.isclose(v0, v1, rtol=1e-12, atol=0)
        logs = np.where(same, 1.0 / v0, np.log(v1 / np.where(same, 1, v0)) / np.where(same, 1, v1 - v0))
        return float(np.sum(dz * logs))

    def discontinuity(self, number):
        """The mantle discontinuity nearest `number` km, within 10 km (the
        shallower of two as near)."""
        near = [x for x in self.discontinuities if abs(x - number) <= 10.0]
        if not near:
            raise PhaseError(f"no discontinuity within 10 km of {number:g} km")
        return min(near, key=lambda x: (abs(x - number), x))


class Layers:
    """One wave's layers, top-down: depths, speeds and slownesses of the ends."""

    def __init__(self, radius, d_top, d_bot, v_top, v_bot, strong):
        self.radius = radius
        self.d_top, self.d_bot, self.v_top, self.v_bot = d_top, d_bot, v_top, v_bot
        self.strong_depths = strong
        r_top, r_bot = radius - d_top, radius - d_bot
        self.r_top, self.r_bot = r_top, r_bot
        self.eta_top = r_top / np.where(v_top > 0, v_top, np.nan)
        self.eta_bot = r_bot / np.where(v_bot > 0, v_bot, np.nan)
        self.B = (v_top - v_bot) / (r_top - r_bot)
        self.lowest = np.fmin(self.eta_top, self.eta_bot)
        # where eta hardly changes across the layer, T = eta^2 / t log(r_top / r_bot)
        self.flat = np.abs(self.eta_top - self.eta_bot) <= 1e-9 * np.fmax(self.eta_top, 1.0)
        dv = v_bot - v_top
        same = np.abs(dv) <= 1e-12 * v_top
        self.vertical = (d_bot - d_top) * np.where(
            same, 1.0 / v_top, np.log(v_bot / v_top) / np.where(same, 1.0, dv))
        self._records = {}

    def __len__(self):
        return self.d_top.size

    def start(self, depth):
        """Index of the first layer below `depth`."""
        return int(np.searchsorted(self.d_top, depth - NOTHING, "left"))

    def stop(self, depth):
        """One past the last layer above `depth`."""
        return int(np.searchsorted(self.d_bot, depth + NOTHING, "right"))

    def records(self, j0):
        """Slownesses met going down from the top of layer j0 (each layer's top
        then bottom) and their running minimum: a ray of parameter p stops at
        the first of them that is <= p."""
        if j0 not in self._records:
            e = np.column_stack([self.eta_top[j0:], self.eta_bot[j0:]]).ravel()
            self._records[j0] = (e, np.minimum.accumulate(e))
        return self._records[j0]

    def breaks(self):
        """Slownesses at which a curve may start, end or jump (the ends of
        every layer at a strong depth, and the minima of the slowness met from
        above, below which a ray falls through a low-velocity zone), and the
        other nodes' slownesses, where X(p) has a kink."""
        strong, weak = set(), set()
        e = np.column_stack([self.eta_top, self.eta_bot]).ravel()
        d = np.column_stack([self.d_top, self.d_bot]).ravel()
        for i, (x, y) in enumerate(zip(e, d)):
            if not np.isfinite(x):
                continue
            edge = i == 0 or i == e.size - 1 or any(abs(y - s) < NOTHING for s in self.strong_depths)
            (strong if edge else weak).add(float(x))
        # a layer whose slowness rises downward (a low-velocity layer): the
        # slowness at its top is a minimum, and a ray just below it falls through
        for j in range(len(self)):
            if self.eta_bot[j] > self.eta_top[j] and not self.flat[j]:
                strong.add(float(self.eta_top[j]))
        return strong, weak - strong

    # ---- quadrature

    def full(self, p):
        """Time (s) and distance (rad) across each whole layer: arrays
        (len(p), len(self)), NaN where the ray cannot cross the layer."""
        p = np.asarray(p, float)
        T = np.full((p.size, len(self)), np.nan)
        X = np.full((p.size, len(self)), np.nan)
        i, j = np.nonzero(p[:, None] <= self.lowest[None, :])
        q = p[i]
        safe = np.where(q > 0, q, 1.0)
        t, x = _quad(safe, _theta(self.eta_bot[j], safe), _theta(self.eta_top[j], safe), self.B[j])
        # a vertical ray: the exact time, no distance
        t = np.where(q > 0, t, self.vertical[j])
        x = np.where(q > 0, x, 0.0)
        flat = self.flat[j]
        if flat.any():
            # slowness constant across the layer: the integrands are 1 / r
            e = 0.5 * (self.eta_top[j] + self.eta_bot[j])
            root = np.sqrt(np.maximum(e * e - q * q, 1e-300))
            logr = np.log(self.r_top[j] / np.where(self.r_bot[j] > 0, self.r_bot[j], 1.0))
            t = np.where(flat, e * e / root * logr, t)
            x = np.where(flat, q / root * logr, x)
        T[i, j], X[i, j] = t, x
        return T, X

    def partial(self, p):
        """Time and distance from where the ray turns (eta = p) to the top of
        the layer it turns in; zero in every other layer."""
        p = np.asarray(p, float)
        T, X = np.zeros((p.size, len(self))), np.zeros((p.size, len(self)))
        inside = ((self.eta_bot[None, :] <= p[:, None]) & (p[:, None] < self.eta_top[None, :])
                  & ~self.flat[None, :])
        i, j = np.nonzero(inside)
        if i.size:
            q = p[i]
            safe = np.where(q > 0, q, 1.0)
            t, x = _quad(safe, np.zeros_like(q), _theta(self.eta_top[j], safe), self.B[j])
            # p = 0 turns at the centre: the vertical time, and a quarter turn each way
            T[i, j] = np.where(q > 0, t, self.vertical[j])
            X[i, j] = np.where(q > 0, x, 0.5 * math.pi)
        return T, X

    def turning_depth(self, j0, p):
        """Depth of the deepest point of a ray of parameter p going down from
        the top of layer j0 (where eta = p, or the top of the layer reflecting it)."""
        e, low = self.records(j0)
        m = np.searchsorted(-low, -np.asarray(p, float), "left")
        m = np.clip(m, 1, e.size - 1)
        j = j0 + m // 2
        inside = m % 2 == 1
        # 1 / v is linear in eta across a layer, and r = p v
        et, eb = self.eta_top[j], self.eta_bot[j]
        frac = np.where(inside, (p - eb) / np.where(et != eb, et - eb, 1.0), 0.0)
        inv = 1.0 / self.v_bot[j] + frac * (1.0 / self.v_top[j] - 1.0 / self.v_bot[j])
        return np.where(inside, self.radius - p / inv, self.d_top[j])


def _theta(eta, p):
    """acosh(eta / p), accurate where eta is close to p."""
    t = np.sqrt(np.maximum((eta - p) * (eta + p), 0.0))
    return np.arcsinh(t / p)


def _quad(p, th0, th1, B):
    """Gauss-Legendre sums of dT/dtheta and dX/dtheta from th0 to th1 (1-D
    arrays), in panels no longer than 0.5 in theta: the integrands' nearest
    singularities lie pi/2 off the real axis (1 / cosh) or beyond the layer
    (1 / (1 - B eta)), so 5 points a panel give about 1e-11 relative."""
    span = th1 - th0
    count = np.maximum(1, np.ceil(np.abs(span) / 0.5)).astype(int)
    T, X = np.empty(p.size), np.empty(p.size)
    for k in np.unique(count):
        sel = np.nonzero(count == k)[0]
        for s in range(0, sel.size, 100000):
            e = sel[s:s + 100000]
            h = span[e] / k
            th = th0[e, None, None] + h[:, None, None] * (np.arange(k)[None, :, None] + _GL_U)
            c = np.cosh(th)
            g = 1.0 / (1.0 - (B[e] * p[e])[:, None, None] * c)
            w = _GL_W * (0.5 * h)[:, None, None]
            T[e] = np.sum(g * c * w, axis=(1, 2)) * p[e]
            X[e] = np.sum(g / c * w, axis=(1, 2))
    return T, X


# ---- reading model files

def read_model(path):
    """A Planet from a .tvel or .nd file."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if str(path).endswith(".tvel"):
        return parse_tvel(text, name=str(path))
    if str(path).endswith(".nd"):
        return parse_nd(text, name=str(path))
    raise ModelError(f"{path}: not a .tvel or .nd file")


def parse_tvel(text, name="tvel"):
    """.tvel: two header lines, then depth, Vp, Vs, density on each line."""
    rows = [line.split() for line in text.splitlines()[2:] if line.strip()]
    d, vp, vs = zip(*[(float(a), float(b), float(c)) for a, b, c, *_ in rows])
    return Planet(d, vp, vs, name=name)


def parse_nd(text, name="nd"):
    """.nd: lines of depth Vp Vs [density [Qp Qs]] and the labels `mantle`,
    `outer-core` and `inner-core`, each before the first node below it."""
    d, vp, vs, marks = [], [], [], {}
    for n, line in enumerate(text.splitlines(), 1):
        words = line.split()
        if not words:
            continue
        if len(words) == 1:
            if words[0] not in ("mantle", "outer-core", "inner-core"):
                raise ModelError(f"{name} line {n}: unknown label {words[0]!r}")
            marks[words[0]] = len(d)
            continue
        d.append(float(words[0]))
        vp.append(float(words[1]))
        vs.append(float(words[2]))
    moho = d[marks["mantle"]] if "mantle" in marks else None
    return Planet(d, vp, vs, cmb=marks.get("outer-core"), icb=marks.get("inner-core"),
                  moho=moho, name=name)


def planet_from_nodes(nodes, name="nodes", moho=None):
    """A Planet from (depth, Vp, Vs) rows in memory (core boundaries where Vs
    falls to 0 and rises again at a repeated depth)."""
    d, vp, vs = zip(*[(float(a), float(b), float(c)) for a, b, c, *_ in nodes])
    return Planet(d, vp, vs, moho=moho, name=name)


# --------------------------------------------------------------------------
# Phase names

class Leg(NamedTuple):
    """One wave's stretch of a ray: it leaves `start` (depth, km) going
    `direction` and ends at `end`; a turning leg goes down, turns (or is
    totally reflected) below the deeper of the two and comes up to `end`."""
    wave: str
    start: float
    end: float
    direction: str
    turning: bool


class Path(NamedTuple):
    """One way a phase's ray may go.  `glide` = (wave, depth, side) for a
    diffracted or head wave, whose ray parameter is the slowness there."""
    name: str
    member: str
    legs: tuple
    glide: tuple = None
    naming: str = None          # 'bottom' or 'bottom2': named by where it turns


MANTLE = "PSps"
_TOKEN = re.compile(r"diff|\d+(?:\.\d*)?|[PSpsKIJcimvn^]")


def _tokens(name):
    out, at = [], 0
    while at < len(name):
        m = _TOKEN.match(name, at)
        if not m:
            raise PhaseError(f"phase {name!r}: unknown letter {name[at]!r}")
        out.append(m.group())
        at = m.end()
    return out


class Phase:
    """A phase name read against a planet.  paths(h, r) gives the ways its ray
    may go from a source at depth h to a receiver at depth r."""

    def __init__(self, name, planet):
        self.asked = name
        self.planet = planet
        self.sides = None          # PKP: name each arrival by the side of its caustic
        self.filter = None         # a family part asked by name (Pg, Pn, PbPb...)
        text = name.strip().replace("P'", "PKP").replace("S'", "SKS")
        fam = re.fullmatch(r"([PS])(g|b|n|diff)?", text)
        double = re.fullmatch(r"([PS])(g|b|n)?([PS])(g|b|n)?", text)
        if fam:
            self.kind = "family"
            self.wave = fam.group(1)
            self.filter = text if fam.group(2) else None
            return
        if double and double.group(1) == double.group(3) and double.group(2) == double.group(4):
            self.kind = "double"
            self.wave = double.group(1)
            self.filter = text if double.group(2) else None
            return
        if text in ("p", "s"):
            self.kind = "direct"
            self.wave = text.upper()
            return
        self.kind = "rays"
        suffix = re.search(r"(ab|bc|df|ac)$", text)
        if suffix and "K" in text[:-2]:
            text = text[:-2]
            if suffix.group(1) == "df":
                k = text.rindex("K")
                text = text[:k] + "KIK" + text[k + 1:]
            elif suffix.group(1) in ("ab", "bc"):
                self.sides = suffix.group(1)
        elif text in ("PKP",):
            self.sides = "both"
        self.letters = self._read(text)

    def _read(self, text):
        """Letters and what happens after each: [(wave, lower, event)]."""
        tok = _tokens(text)
        pl = self.planet
        out = []
        i = 0

        def wave_at(k):
            return k < len(tok) and tok[k] in "PSpsKIJ" and len(tok[k]) == 1

        if not wave_at(0):
            raise PhaseError(f"phase {self.asked!r} must start with a mantle letter")
        if tok[0] not in MANTLE:
            raise PhaseError(f"phase {self.asked!r}: {tok[0]} is not entered from the mantle")
        while i < len(tok):
            w = tok[i]
            if not wave_at(i):
                raise PhaseError(f"phase {self.asked!r}: {tok[i]!r} where a letter belongs")
            if w in "pP" or w in "sS":
                kind = "mantle"
            elif w == "K":
                kind = "outer"
            else:
                kind = "inner"
                if w == "J" and not pl.has_inner_s:
                    raise PhaseError(f"phase {self.asked!r}: the inner core carries no S (J)")
            if w.islower() and out and out[-1][2][0] not in ("tup", "top"):
                raise PhaseError(f"phase {self.asked!r}: lower-case {w} must stand first "
                                 "or after a discontinuity")
            i += 1
            wave = w.upper()
            # a suffix on the letter
            if i < len(tok) and tok[i] == "diff":
                if w not in "PSK":
                    raise PhaseError(f"phase {self.asked!r}: {w} cannot be diffracted")
                out.append((wave, w.islower(), ("diff", pl.cmb if kind == "mantle" else pl.icb)))
                w = wave
                i += 1
            if i < len(tok) and tok[i] == "n":
                if kind != "mantle" or w.islower() or pl.moho is None:
                    raise PhaseError(f"phase {self.asked!r}: no head wave for {w}")
                out.append((wave, w.islower(), ("head", pl.moho)))
                i += 1
                if i != len(tok):
                    raise PhaseError(f"phase {self.asked!r}: a head wave ends the name")
                out.append((wave, False, ("receiver",)))
                break
            if i == len(tok):
                if kind != "mantle":
                    raise PhaseError(f"phase {self.asked!r} does not end in the mantle")
                out.append((wave, w.islower(), ("receiver",)))
                break
            t = tok[i]
            if wave_at(i):
                nxt = tok[i][0]
                nkind = "mantle" if nxt in MANTLE else "outer" if nxt == "K" else "inner"
                event = {("mantle", "mantle"): ("surface",), ("mantle", "outer"): ("tdown", pl.cmb),
                         ("outer", "mantle"): ("tup", pl.cmb), ("outer", "outer"): ("under", pl.cmb),
                         ("outer", "inner"): ("tdown", pl.icb), ("inner", "outer"): ("tup", pl.icb),
                         ("inner", "inner"): ("under", pl.icb)}.get((kind, nkind))
                if event is None:
                    raise PhaseError(f"phase {self.asked!r}: {w} cannot meet {nxt}")
                if event == ("tup", pl.cmb) or event == ("surface",):
                    event = event if nxt.isupper() else None
                    if event is None:
                        raise PhaseError(f"phase {self.asked!r}: lower-case {nxt} must stand "
                                         "first or after a discontinuity")
                out.append((wave, w.islower(), event))
                continue
            if t in "ci":
                if (t == "c") != (kind == "mantle") or (t == "i" and kind != "outer"):
                    raise PhaseError(f"phase {self.asked!r}: {t} cannot follow {w}")
                i += 1
                want = MANTLE.upper() if t == "c" else "K"
                if not (wave_at(i) and tok[i] in want):
                    raise PhaseError(f"phase {self.asked!r}: {t} must stand between "
                                     + ("mantle legs" if t == "c" else "two K"))
                out.append((wave, w.islower(), ("top", pl.cmb if t == "c" else pl.icb)))
                continue
            # m or a number, perhaps after v or ^
            if kind != "mantle":
                raise PhaseError(f"phase {self.asked!r}: {t!r} cannot follow {w}")
            mode = None
            if t in "v^":
                mode = t
                i += 1
                if i == len(tok):
                    raise PhaseError(f"phase {self.asked!r} ends with {t}")
                t = tok[i]
            if t == "m":
                if pl.moho is None:
                    raise PhaseError(f"phase {self.asked!r}: the model has no Moho")
                depth = pl.moho
            elif t[0].isdigit():
                depth = pl.discontinuity(float(t))
            else:
                raise PhaseError(f"phase {self.asked!r}: {t!r} after {mode or w}")
            i += 1
            if i < len(tok) and tok[i] == "n" and mode != "^":
                out.append((wave, w.islower(), ("head", depth)))
                if i + 1 != len(tok):
                    raise PhaseError(f"phase {self.asked!r}: a head wave ends the name")
                out.append((wave, False, ("receiver",)))
                break
            if not wave_at(i) or tok[i] not in MANTLE:
                raise PhaseError(f"phase {self.asked!r}: a mantle letter must follow {t}")
            nxt = tok[i]
            if mode == "v":
                event = ("top", depth)
            elif mode == "^":
                if nxt.islower():
                    raise PhaseError(f"phase {self.asked!r}: after ^ the ray goes down")
                event = ("under", depth)
            elif nxt.islower():
                event = ("tup", depth)
            else:
                event = ("top", depth) if t == "m" else ("tdown", depth)
            out.append((wave, w.islower(), event))
        return out

    # ---- from the letters to legs

    def paths(self, h, r=0.0):
        """The ways the ray may go from depth h to a receiver at depth r."""
        pl = self.planet
        if self.kind in ("family", "double", "direct"):
            return self._family(h, r)
        if h <= NOTHING and self.letters[0][1]:
            return []       # no ray leaves a surface source upward
        legs, glide = _legs(self.letters, h, r, pl)
        if legs is None:
            return []
        member = "ray" if glide is None else "head" if glide[2] == "below" else "diff"
        return [Path(self.asked, member, tuple(legs), glide)]

    def _family(self, h, r):
        pl, w = self.planet, self.wave
        out = []
        if self.kind == "direct":
            if r < h - NOTHING:
                out.append(Path(self.asked, "up", (Leg(w, h, r, "up", False),)))
            return out
        if self.kind == "double":
            legs = (Leg(w, h, 0.0, "down", True), Leg(w, 0.0, r, "down", True))
            out.append(Path(None, "diving", legs, None, "bottom2"))
            return out
        out.append(Path(None, "diving", (Leg(w, h, r, "down", True),), None, "bottom"))
        # a direct ray is named, like the others, by its deepest point: the
        # source going up, the receiver going down
        region = self.region_name(max(h, r), "above")
        if r < h - NOTHING:
            out.append(Path(region, "up", (Leg(w, h, r, "up", False),)))
        elif r > h + NOTHING:
            out.append(Path(region, "down", (Leg(w, h, r, "down", False),)))
        out.append(Path(w + "diff", "diff", (Leg(w, h, pl.cmb, "down", False),
                                             Leg(w, pl.cmb, r, "up", False)), (w, pl.cmb, "above")))
        if pl.moho is not None and h <= pl.moho + NOTHING and r <= pl.moho + NOTHING:
            out.append(Path(w + "n", "head", (Leg(w, h, pl.moho, "down", False),
                                              Leg(w, pl.moho, r, "up", False)),
                            (w, pl.moho, "below")))
        return out

    def region_name(self, depth, side="below"):
        """Pg, Pb, Pn or P by the region a depth lies in (on one side of a boundary)."""
        pl, w = self.planet, self.wave
        moho = pl.moho if pl.moho is not None else -1.0
        conrad = max((x for x in pl.discontinuities if x < moho), default=None)
        below = min((x for x in pl.discontinuities if x > moho), default=pl.cmb)
        z = depth - NOTHING if side == "above" else depth + NOTHING
        if z <= moho:
            return w + ("g" if conrad is None or z <= conrad else "b")
        return w + ("n" if z <= below else "")


def _legs(letters, h, r, pl):
    """Legs of a list of (wave, lower, event), or (None, None) if no ray can
    take that way from depth h to depth r."""
    legs, glide = [], None
    d, going = h, ("up" if letters[0][1] else "down")
    for wave, lower, event in letters:
        top, floor = pl.bounds(wave)
        kind = event[0]
        if kind == "receiver":
            end, end_dir, nxt = r, "up", None
        elif kind == "surface":
            end, end_dir, nxt = 0.0, "up", (0.0, "down")
        elif kind == "top":
            end, end_dir, nxt = event[1], "down", (event[1], "up")
        elif kind == "under":
            end, end_dir, nxt = event[1], "up", (event[1], "down")
        elif kind == "tdown":
            end, end_dir, nxt = event[1], "down", (event[1], "down")
        elif kind == "tup":
            end, end_dir, nxt = event[1], "up", (event[1], "up")
        elif kind in ("diff", "head"):
            end, end_dir, nxt = event[1], "down", (event[1], "up")
            side = "above" if kind == "diff" else "below"
            glide = (wave, event[1], side)
        if not (top - NOTHING <= d <= floor + NOTHING and top - NOTHING <= end <= floor + NOTHING):
            return None, None
        if not legs and going == end_dir and abs(end - d) < NOTHING and kind not in ("receiver", "head"):
            # a source on the boundary: leaving downward it is below it, leaving
            # upward above it, so it cannot meet that boundary from the other side
            return None, None
        if going == "down" and end_dir == "down":
            if end < d - NOTHING:
                return None, None
            legs.append(Leg(wave, d, end, "down", False))
        elif going == "up" and end_dir == "up":
            if end > d + NOTHING:
                return None, None
            legs.append(Leg(wave, d, end, "up", False))
        elif going == "down" and end_dir == "up":
            legs.append(Leg(wave, d, end, "down", True))
        else:
            return None, None
        if nxt is not None:
            d, going = nxt
    return legs, glide


# --------------------------------------------------------------------------
# The shooter

class Arrival(NamedTuple):
    phase: str
    distance: float       # asked (deg)
    time: float           # s
    ray_param: float      # s/deg
    takeoff: float        # deg from the downward vertical at the source
    incidence: float      # deg from the upward vertical at the receiver
    travelled: float      # deg
    member: str           # diving, up, down, diff, head, ab, bc, ray
    margin: float         # deg from the asked distance to the nearest end or fold of its curve
    p: float              # s/rad
    path: Path


class Shooter:
    """Rays of a planet from a source at depth h to a receiver at depth r.

    Use ``Shooter.of(planet, h, r)``: one shooter per (planet, h, r) is kept,
    so its grid of ray parameters and each phase's samples are made once.
    """

    _kept = {}

    @classmethod
    def of(cls, planet, h, r=0.0):
        key = (id(planet), float(h), float(r))
        if key not in cls._kept:
            cls._kept[key] = (planet, cls(planet, h, r))
        return cls._kept[key][1]

    def __init__(self, planet, h, r=0.0):
        if not 0 <= h < planet.cmb or not 0 <= r < planet.cmb:
            raise ValueError(f"source {h} and receiver {r} km must lie in the mantle")
        self.planet, self.h, self.r = planet, float(h), float(r)
        waves = "PSKIJ" if planet.has_inner_s else "PSKI"
        self.layers = {w: planet.layers(w, (self.h, self.r)) for w in waves}
        self.breaks = {w: self.layers[w].breaks() for w in waves}
        strong = sorted(set().union(*(s for s, _ in self.breaks.values())))
        weak = sorted(set().union(*(k for _, k in self.breaks.values())))
        top = max(strong)
        k = np.linspace(1.0, 11.0, 26)
        grid = [np.linspace(0.0, top, 1001)]
        for b in strong:
            grid.append(b * (1.0 + 10.0 ** -k) if b > 0 else top * 10.0 ** -k)
            grid.append(b * (1.0 - 10.0 ** -k))
        for b in weak:
            grid.append(b * (1.0 + 10.0 ** -np.arange(3.0, 8.0, 2.0)))
            grid.append(b * (1.0 - 10.0 ** -np.arange(3.0, 8.0, 2.0)))
            grid.append([b])
        grid = np.unique(np.concatenate(grid))
        self.grid = grid[(grid >= 0) & (grid <= top * 1.0000001)]
        self._tables = {}
        self._samples = {}
        self._phases = {}

    # ---- time and distance of legs

    def _table(self, wave, p):
        ly = self.layers[wave]
        T, X = ly.full(p)
        cT = np.concatenate([np.zeros((p.size, 1)), np.cumsum(np.nan_to_num(T), 1)], 1)
        cX = np.concatenate([np.zeros((p.size, 1)), np.cumsum(np.nan_to_num(X), 1)], 1)
        tT, tX = ly.partial(p)
        return cT, cX, tT, tX

    def _tables_for(self, legs, p, base):
        out = {}
        for w in {leg.wave for leg in legs}:
            if base:
                if w not in self._tables:
                    self._tables[w] = self._table(w, self.grid)
                out[w] = self._tables[w]
            else:
                out[w] = self._table(w, p)
        return out

    def leg_times(self, legs, p, _tables=None):
        """Time (s) and distance (rad) of each leg at the ray parameters p
        (s/rad): two arrays (len(legs), len(p)), NaN where the leg has no ray."""
        p = np.atleast_1d(np.asarray(p, float))
        tables = _tables or self._tables_for(legs, p, False)
        T = np.empty((len(legs), p.size))
        X = np.empty((len(legs), p.size))
        for n, leg in enumerate(legs):
            T[n], X[n] = self._leg(leg, p, tables[leg.wave])
        return T, X

    def _leg(self, leg, p, table):
        ly = self.layers[leg.wave]
        cT, cX, tT, tX = table
        lo, hi = sorted((leg.start, leg.end))
        j1, j2 = ly.start(lo), ly.stop(hi)
        T = np.zeros(p.size)
        X = np.zeros(p.size)
        ok = np.ones(p.size, bool)
        if j2 > j1:
            T += cT[:, j2] - cT[:, j1]
            X += cX[:, j2] - cX[:, j1]
            ok &= p <= np.min(ly.lowest[j1:j2])
        if leg.turning:
            j0 = ly.start(hi)
            if j0 >= len(ly):
                return np.full(p.size, np.nan), np.full(p.size, np.nan)
            e, low = ly.records(j0)
            m = np.searchsorted(-low, -p, "left")
            ok &= (m > 0) & (m < e.size)
            m = np.clip(m, 1, e.size - 1)
            q = j0 + m // 2
            rows = np.arange(p.size)
            inside = m % 2 == 1
            qc = np.minimum(q, len(ly) - 1)
            T += 2 * (cT[rows, q] - cT[:, j0] + np.where(inside, tT[rows, qc], 0.0))
            X += 2 * (cX[rows, q] - cX[:, j0] + np.where(inside, tX[rows, qc], 0.0))
        return np.where(ok, T, np.nan), np.where(ok, X, np.nan)

    def _range(self, path):
        """The ray parameters a path's legs allow: (lo, hi), strong breaks inside."""
        lo, hi = 0.0, np.inf
        for leg in path.legs:
            ly = self.layers[leg.wave]
            a, b = sorted((leg.start, leg.end))
            j1, j2 = ly.start(a), ly.stop(b)
            if j2 > j1:
                hi = min(hi, float(np.min(ly.lowest[j1:j2])))
            if leg.turning:
                j0 = ly.start(b)
                if j0 >= len(ly):
                    return 1.0, 0.0
                e, low = ly.records(j0)
                hi = min(hi, float(e[0]))
                lo = max(lo, float(low[-1]))
        return lo, hi

    def evaluate(self, path, p):
        """Time (s) and distance (rad) of a path at ray parameters p (s/rad)."""
        T, X = self.leg_times(path.legs, p)
        return T.sum(0), X.sum(0)

    # ---- sampling a path's curve

    def _sample(self, path):
        key = path
        if key in self._samples:
            return self._samples[key]
        lo, hi = self._range(path)
        waves = {leg.wave for leg in path.legs}
        if hi < lo:
            self._samples[key] = None
            return None
        tables = self._tables_for(path.legs, self.grid, True)
        T, X = self.leg_times(path.legs, self.grid, tables)
        T, X = T.sum(0), X.sum(0)
        inside = (self.grid >= lo) & (self.grid <= hi)
        p, T, X = self.grid[inside], T[inside], X[inside]
        bps = np.array(sorted({b for w in waves for b in self.breaks[w][0] if lo <= b <= hi}))
        on = np.isin(p, bps) & (p > 0)     # p = 0, the vertical ray, is its own limit
        p, T, X = p[~on], T[~on], X[~on]
        for _ in range(80):
            piece = _pieces(p, X, bps)
            dX = np.diff(X)
            same = piece[1:] == piece[:-1]
            dp = np.diff(p)
            fine = dp > 1e-12 * np.maximum(p[1:], 1e-3)
            need = same & fine & (np.abs(dX) > STEP)
            # folds: an extremum of X inside a piece, refined until X settles there
            fold = np.zeros(p.size, bool)
            fold[1:-1] = same[:-1] & same[1:] & (dX[:-1] * dX[1:] < 0)
            f = np.nonzero(fold)[0]
            for side in (f - 1, f):
                need[side] |= fine[side] & (np.abs(dX[side]) > MARGIN_FOLD) & same[side]
            if not need.any():
                break
            new = 0.5 * (p[:-1] + p[1:])[need]
            t, x = self.evaluate(path, new)
            order = np.argsort(np.concatenate([p, new]), kind="stable")
            p = np.concatenate([p, new])[order]
            T = np.concatenate([T, t])[order]
            X = np.concatenate([X, x])[order]
        piece = _pieces(p, X, bps)
        self._samples[key] = (p, T, X, piece)
        return self._samples[key]

    # ---- phases

    def phase(self, name):
        if name not in self._phases:
            self._phases[name] = Phase(name, self.planet)
        return self._phases[name]

    def paths(self, name):
        return self.phase(name).paths(self.h, self.r)

    def arrivals(self, name, distances):
        """Every arrival of a phase at each distance (deg), sorted by distance
        and time."""
        ph = self.phase(name)
        out = []
        distances = np.atleast_1d(np.asarray(distances, float))
        for path in ph.paths(self.h, self.r):
            if path.glide is not None:
                out += self._glide_arrivals(ph, path, distances)
            else:
                out += self._ray_arrivals(ph, path, distances)
        return sorted(out, key=lambda a: (a.distance, a.time, a.ray_param))

    def ends(self, name):
        """Distances (deg, as travelled) of every end and fold of the phase's curves."""
        out = []
        for path in self.paths(name):
            if path.glide is not None:
                g = self._glide(path)
                if g is not None:
                    out.append(g[2] * DEG)
                continue
            s = self._sample(path)
            if s is None:
                continue
            p, T, X, piece = s
            out += list(X[_run_bounds(X, piece)] * DEG)
        return np.array(out)

    def _glide(self, path):
        wave, depth, side = path.glide
        p = self.planet.slowness(wave, depth, side)
        lo, hi = self._range(path)
        if not lo <= p <= hi:
            return None
        T, X = self.evaluate(path, np.array([p]))
        if not np.isfinite(T[0]):
            return None
        return p, T[0], X[0]

    def _glide_arrivals(self, ph, path, distances):
        g = self._glide(path)
        if g is None:
            return []
        p, T0, X0 = g
        out = []
        for D in distances:
            x = math.radians(D)
            if X0 <= x + 1e-12 and D <= 180.0:
                out.append(self._arrival(ph, path, path.name, D, T0 + p * (x - X0), p, D,
                                         path.member, D - X0 * DEG))
        return [a for a in out if ph.filter is None or a.phase == ph.filter]

    def _ray_arrivals(self, ph, path, distances):
        s = self._sample(path)
        if s is None:
            return []
        p, T, X, piece = s
        bounds = _run_bounds(X, piece)
        good = np.isfinite(X)
        xmin, xmax = np.min(X[good], initial=np.inf), np.max(X[good], initial=-np.inf)
        brackets = []       # (index i, target, distance asked)
        for D in distances:
            x = math.radians(D)
            n_max = int(xmax // (2 * math.pi)) + 1
            targets = {x + 2 * math.pi * n for n in range(n_max + 1)}
            targets |= {2 * math.pi * (n + 1) - x for n in range(n_max + 1)}
            for tgt in sorted(targets):
                if not xmin <= tgt <= xmax:
                    continue
                f = X - tgt
                same = (piece[1:] == piece[:-1]) & good[1:] & good[:-1]
                for i in np.nonzero(same & (f[:-1] * f[1:] < 0))[0]:
                    brackets.append((i, tgt, D, False))
                for i in np.nonzero(good & (f == 0))[0]:
                    brackets.append((i, tgt, D, True))
        if not brackets:
            return []
        idx = np.array([b[0] for b in brackets])
        tgt = np.array([b[1] for b in brackets])
        exact = np.array([b[3] for b in brackets])
        a, b = p[idx], p[np.minimum(idx + 1, p.size - 1)]
        fa, fb = X[idx] - tgt, X[np.minimum(idx + 1, p.size - 1)] - tgt
        b = np.where(exact, a, b)
        fb = np.where(exact, 0.0, fb)
        root = self._solve(path, a, b, fa, fb, tgt)
        t, x = self.evaluate(path, root)
        out = []
        sides = None
        if ph.sides is not None:
            sides = p[np.nanargmin(np.where(good, X, np.nan))]
        for n, (i, target, D, _) in enumerate(brackets):
            # the monotone run around the root: its ends are piece ends or folds
            k = np.searchsorted(bounds, i, "right")
            s0, s1 = bounds[max(k - 1, 0)], bounds[min(k, bounds.size - 1)]
            margin = min(abs(X[s0] - target), abs(X[s1] - target)) * DEG
            time = t[n] + root[n] * (target - x[n])
            member, name = path.member, path.name
            if path.naming:
                name = self._bottom_name(ph, path, root[n])
            if sides is not None:
                member = "ab" if root[n] > sides else "bc"
                if ph.sides == "both":
                    name = ph.asked + member
                elif ph.sides != member:
                    continue
            if ph.filter is not None and name != ph.filter:
                continue
            out.append(self._arrival(ph, path, name, D, time, root[n], target * DEG,
                                     member, margin))
        return out

    def _bottom_name(self, ph, path, p):
        leg = path.legs[0]
        ly = self.layers[leg.wave]
        z = float(ly.turning_depth(ly.start(max(leg.start, leg.end)), np.array([p]))[0])
        name = ph.region_name(z, "above")
        return name * 2 if path.naming == "bottom2" else name

    def _solve(self, path, a, b, fa, fb, target):
        """Illinois iterations on the brackets [a, b] of X(p) = target."""
        a, b, fa, fb = a.copy(), b.copy(), fa.copy(), fb.copy()
        side = np.zeros(a.size)
        for _ in range(100):
            done = (np.abs(fb) < 1e-13) | (np.abs(b - a) <= 1e-15 * np.maximum(np.abs(b), 1e-3))
            if done.all():
                break
            c = np.where(done, b, b - fb * (b - a) / np.where(fb != fa, fb - fa, 1.0))
            bad = ~np.isfinite(c) | (c <= np.minimum(a, b)) | (c >= np.maximum(a, b))
            c = np.where(bad & ~done, 0.5 * (a + b), c)
            _, x = self.evaluate(path, c)
            fc = x - target
            fc = np.where(np.isfinite(fc), fc, fb)      # never leaves the piece
            fc = np.where(done, fb, fc)
            flip = fc * fb < 0
            # Illinois: halve the kept end's value when the same end stays twice
            a = np.where(done, a, np.where(flip, b, a))
            fa = np.where(done, fa, np.where(flip, fb, np.where(side == -1, 0.5 * fa, fa)))
            side = np.where(flip, 1, -1)
            b = np.where(done, b, c)
            fb = np.where(done, fb, fc)
        return b

    def _arrival(self, ph, path, name, D, time, p, travelled, member, margin):
        pl = self.planet
        first, last = path.legs[0], path.legs[-1]
        up = first.direction == "up"
        eta_s = pl.slowness(first.wave, self.h, "above" if up else "below")
        takeoff = math.degrees(math.asin(min(1.0, p / eta_s)))
        if up:
            takeoff = 180.0 - takeoff
        down = last.direction == "down" and not last.turning
        eta_r = pl.slowness(last.wave, self.r, "above" if down else "below")
        incidence = math.degrees(math.asin(min(1.0, p / eta_r)))
        if down:
            incidence = 180.0 - incidence
        return Arrival(name or ph.asked, float(D), float(time), float(p / DEG), takeoff,
                       incidence, float(travelled), member, float(margin), float(p), path)


def _pieces(p, X, bps):
    """Piece number of each sample: a new piece past every strong break and
    every sample where the path has no ray."""
    piece = np.searchsorted(bps, p) * 2 * (p.size + 1)
    gap = np.cumsum(~np.isfinite(X))
    piece = piece + gap
    return np.where(np.isfinite(X), piece, -1 - np.arange(p.size))


def _run_bounds(X, piece):
    """Indices of the ends of every piece and of every fold inside one."""
    good = piece >= 0
    idx = []
    n = X.size
    start = np.ones(n, bool)
    start[1:] = piece[1:] != piece[:-1]
    end = np.ones(n, bool)
    end[:-1] = piece[1:] != piece[:-1]
    d = np.diff(X)
    fold = np.zeros(n, bool)
    fold[1:-1] = ~start[1:-1] & ~end[1:-1] & (d[:-1] * d[1:] < 0)
    idx = np.nonzero(good & (start | end | fold))[0]
    return idx
