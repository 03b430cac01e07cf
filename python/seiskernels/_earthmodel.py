"""Spherically symmetric planets: the built-in Earth models, .tvel and .nd model
files, and a planet of three regions whose slowness follows Bullen's law."""

import math
import os

P, S = 0, 1                      # wave types, the index of a shell's speeds
LABELS = {"mantle": "moho", "outer-core": "cmb", "inner-core": "icb"}


BUILTIN = ("ak135", "iasp91", "prem")
MODELS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "models")


class ModelError(ValueError):
    """A model name, file or source depth that cannot be used."""


def path_of(model):
    """The file of a built-in model's name, or the path given, checked."""
    if not isinstance(model, (str, os.PathLike)):
        raise TypeError(f"model: expected a built-in name ({', '.join(BUILTIN)}) or the path "
                        f"of a .tvel or .nd file, got {type(model).__name__}")
    name = os.fspath(model)
    if name.lower() in BUILTIN:
        return os.path.join(MODELS_DIR, name.lower() + ".nd")
    if os.path.splitext(name)[1].lower() not in (".tvel", ".nd"):
        raise ModelError(f"model: unknown model {name!r}: choose a built-in model "
                         f"({', '.join(BUILTIN)}) or give a .tvel or .nd file")
    if not os.path.isfile(name):
        raise ModelError(f"model: no such file {name!r}")
    return name


def load(model):
    """A built-in model by name, or a .tvel or .nd file by path."""
    return read_model(path_of(model))


class Shell:
    """The part of a planet from depth `top` down to `bottom` (km), with wave
    speeds (km/s) linear in depth between the values at its two ends."""

    def __init__(self, top, bottom, vp, vs, rho=(0.0, 0.0)):
        self.top, self.bottom = top, bottom
        self.ends = (vp, vs)     # ((vp_top, vp_bottom), (vs_top, vs_bottom))
        self.rho = rho           # density (g/cm3) at the two ends; 0 where the file gives none

    def fluid(self):
        return self.ends[S] == (0.0, 0.0)

    def density(self, depth):
        w = (depth - self.top) / (self.bottom - self.top)
        return self.rho[0] * (1.0 - w) + self.rho[1] * w

    def speed(self, depth, wave):
        # Weighted this way the ends come out exact: the shells on either
        # side of a node share its slowness to the bit.
        v0, v1 = self.ends[wave]
        w = (depth - self.top) / (self.bottom - self.top)
        return v0 * (1.0 - w) + v1 * w


class BullenShell(Shell):
    """A shell whose P slowness r / v is A r^B; S is slower by `s_ratio`."""

    def __init__(self, top, bottom, radius, a, b, s_ratio):
        self.radius, self.a, self.b, self.s_ratio = radius, a, b, s_ratio
        speeds = [self.speed(d, P) for d in (top, bottom)]
        super().__init__(top, bottom, tuple(speeds),
                         tuple(v / s_ratio if s_ratio else 0.0 for v in speeds))

    def eta(self, r, wave):
        return self.a * r ** self.b * (self.s_ratio if wave == S else 1.0)

    def speed(self, depth, wave):
        if wave == S and not self.s_ratio:
            return 0.0
        v = (self.radius - depth) ** (1.0 - self.b) / self.a    # r / (A r^B)
        return v / self.s_ratio if wave == S else v


class Model:
    """Shells from the surface to the centre, the depths of the core's two
    boundaries (cmb, icb), and the boundaries that name a ray by the region
    it bottoms in: [(depth, letter)], a ray bottoming above `depth` taking
    `letter` (g: upper crust, b: lower crust, n: uppermost mantle)."""

    def __init__(self, name, shells, cmb, icb, regions=()):
        self.name, self.shells, self.cmb, self.icb = name, shells, cmb, icb
        self.radius = shells[-1].bottom
        self.regions = list(regions)
        self.discontinuities = sorted({s.top for s in shells[1:]})
        self.moho = None

    def shell_at(self, depth):
        """The shell holding `depth`; at a node, the one below it."""
        for shell in self.shells:
            if shell.top <= depth < shell.bottom:
                return shell
        return self.shells[-1]

    def speed(self, depth, wave):
        return self.shell_at(depth).speed(depth, wave)


def read_model(path):
    """A .tvel (two header lines) or .nd (labelled discontinuities) file:
    lines of depth (km), Vp, Vs (km/s) and density, speeds linear in depth
    between nodes, a repeated depth a discontinuity."""
    kind = os.path.splitext(path)[1].lower()
    if kind not in (".tvel", ".nd"):
        raise ModelError(f"{path}: unknown model format {kind or '(no extension)'!r}: "
                         f"expected .tvel or .nd")
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        raise ModelError(f"{path}: cannot read: {e}") from None
    first = 3 if kind == ".tvel" else 1
    if kind == ".tvel" and len(lines) < 2:
        raise ModelError(f"{path}: a .tvel file starts with two header lines")
    nodes, labels, pending = [], {}, None
    for number, line in enumerate(lines[first - 1:], first):
        words = line.split()
        where = f"{path}, line {number}"
        if not words:
            continue
        if kind == ".nd" and len(words) == 1 and words[0][0].isalpha():
            pending = label(where, words[0], nodes, labels, pending)
            continue
        node = parse_node(where, words, kind, nodes)
        if pending and node[0] != nodes[-1][0]:
            raise ModelError(f"{pending[0]}: {pending[1]!r} must stand between two "
                             f"nodes of the same depth")
        pending = None
        nodes.append(node)
    if pending:
        raise ModelError(f"{pending[0]}: {pending[1]!r} must stand between two "
                         f"nodes of the same depth")
    name = os.path.splitext(os.path.basename(path))[0]
    return build_model(path, name, nodes, labels)


def label(where, word, nodes, labels, pending):
    if word not in LABELS:
        raise ModelError(f"{where}: {word!r} is not a discontinuity label "
                         f"({', '.join(LABELS)})")
    if pending or not nodes:
        raise ModelError(f"{where}: {word!r} must stand between two nodes of the same depth")
    if LABELS[word] in labels:
        raise ModelError(f"{where}: {word!r} appears twice")
    labels[LABELS[word]] = nodes[-1][0]
    return (where, word)


def parse_node(where, words, kind, nodes):
    counts = (4,) if kind == ".tvel" else (4, 5, 6)
    if len(words) not in counts:
        raise ModelError(f"{where}: expected depth, Vp, Vs and density"
                         f"{'' if kind == '.tvel' else ' (then optionally Qp, Qs)'}, "
                         f"found {len(words)} field{'s' * (len(words) != 1)}")
    values = []
    for word in words:
        try:
            x = float(word)
        except ValueError:
            raise ModelError(f"{where}: {word!r} is not a number") from None
        if not math.isfinite(x):
            raise ModelError(f"{where}: {word!r} is not a finite number")
        values.append(x)
    depth, vp, vs, rho = values[:4]
    if not nodes and depth != 0.0:
        raise ModelError(f"{where}: the first node must lie at depth 0, not {depth:g} km")
    if nodes and depth < nodes[-1][0]:
        raise ModelError(f"{where}: depth {depth:g} km lies above the previous node "
                         f"({nodes[-1][0]:g} km): depths must not decrease")
    if len(nodes) > 1 and depth == nodes[-1][0] == nodes[-2][0]:
        raise ModelError(f"{where}: depth {depth:g} km appears a third time; a "
                         f"discontinuity repeats a depth once")
    if vp <= 0.0:
        raise ModelError(f"{where}: Vp must be positive, not {vp:g}")
    if vs < 0.0:
        raise ModelError(f"{where}: Vs must not be negative, not {vs:g}")
    if rho < 0.0:
        raise ModelError(f"{where}: density must not be negative, not {rho:g}")
    return depth, vp, vs, rho


def build_model(path, name, nodes, labels):
    if len(nodes) < 2 or nodes[-1][0] <= 0.0:
        raise ModelError(f"{path}: a model needs nodes from the surface down to the centre")
    # A repeated depth with equal speeds (ak135 at 2740 km) leaves no shell
    # between its two nodes, and no discontinuity either.
    shells = [Shell(a[0], b[0], (a[1], b[1]), (a[2], b[2]), (a[3], b[3]))
              for a, b in zip(nodes, nodes[1:]) if b[0] > a[0]]
    for shell in shells:
        if (0.0 in shell.ends[S]) and not shell.fluid():
            raise ModelError(f"{path}: Vs reaches 0 inside the solid shell "
                             f"{shell.top:g}-{shell.bottom:g} km")
    cmb, icb = core(path, shells, labels)
    model = Model(name, shells, cmb, icb, crust_and_lid(nodes, labels.get("moho"), cmb))
    # Every depth the file gives twice, jump or not: the boundaries a phase
    # name may reflect or convert at (410, 660, the Moho, ...).
    model.discontinuities = sorted({b[0] for a, b in zip(nodes, nodes[1:])
                                    if a[0] == b[0] and 0.0 < b[0] < model.radius})
    model.moho = labels.get("moho", moho_of(nodes, cmb))
    return model


MANTLE_VP = 7.6  # km/s: below the Moho, P is at least this fast


def crust_and_lid(nodes, moho, cmb):
    """The boundaries that name rays bottoming above them: the Conrad
    (upper crust, g), the Moho (lower crust, b) and the first boundary below
    it (uppermost mantle, n).  Boundaries are the repeated depths of the
    file, with or without a jump (iasp91 bends its gradient at 210 km); the
    Moho is the .nd file's 'mantle', else the first boundary below which P
    runs at mantle speed."""
    bounds = [b[0] for a, b in zip(nodes, nodes[1:]) if a[0] == b[0] and 0.0 < b[0] < cmb]
    if moho is None:
        moho = moho_of(nodes, cmb)
    if moho is None:
        return ()
    above, below = [d for d in bounds if d < moho], [d for d in bounds if d > moho]
    regions = ([(above[-1], "g")] if above else []) + [(moho, "b" if above else "g")]
    return regions + ([(below[0], "n")] if below else [])


def moho_of(nodes, cmb):
    """The first boundary (a repeated depth) below which P runs at mantle
    speed, or None."""
    return next((b[0] for a, b in zip(nodes, nodes[1:])
                 if a[0] == b[0] and 0.0 < b[0] < cmb and b[1] >= MANTLE_VP), None)


def core(path, shells, labels):
    """Depths of the core-mantle and inner-core boundaries: from the labels
    of an .nd file, else the top and bottom of the fluid (Vs = 0) shells."""
    if "cmb" in labels or "icb" in labels:
        if not ("cmb" in labels and "icb" in labels and labels["cmb"] < labels["icb"]):
            raise ModelError(f"{path}: needs both 'outer-core' and 'inner-core', in that order")
        cmb, icb = labels["cmb"], labels["icb"]
        # The labels must say what the speeds say: fluid between them, solid
        # elsewhere, and the Moho above the core.
        for shell in shells:
            inside = cmb <= shell.top and shell.bottom <= icb
            if shell.fluid() != inside:
                state = "fluid" if shell.fluid() else "solid"
                raise ModelError(f"{path}: the shell {shell.top:g}-{shell.bottom:g} km is "
                                 f"{state}, but the labels put it "
                                 f"{'in the outer core' if inside else 'outside the outer core'} "
                                 f"('outer-core' at {cmb:g} km, 'inner-core' at {icb:g} km)")
        if "moho" in labels and not labels["moho"] < cmb:
            raise ModelError(f"{path}: 'mantle' at {labels['moho']:g} km lies below the "
                             f"'outer-core' at {cmb:g} km")
        return cmb, icb
    fluid = [s for s in shells if s.fluid()]
    if not fluid:
        raise ModelError(f"{path}: no fluid outer core (a shell with Vs = 0) found")
    if fluid[0].top == 0.0:
        raise ModelError(f"{path}: a fluid layer at the surface (an ocean) is not "
                         f"supported; give it the S speed of the crust below")
    if any(a.bottom != b.top for a, b in zip(fluid, fluid[1:])):
        raise ModelError(f"{path}: more than one fluid region (Vs = 0)")
    if fluid[-1].bottom == shells[-1].bottom:
        raise ModelError(f"{path}: no solid inner core below the fluid outer core")
    return fluid[0].top, fluid[-1].bottom


def bullen_planet(radius, cmb_r, icb_r, mantle, outer, inner):
    """Mantle, fluid outer core and inner core, each with eta = A r^B through
    the P speeds given at its top and bottom (km/s); S = P / sqrt(3) in the
    solid regions.  Radii in km."""
    regions = ((radius, cmb_r, mantle, 3 ** 0.5), (cmb_r, icb_r, outer, 0.0),
               (icb_r, 0.0, inner, 3 ** 0.5))
    shells = []
    for r_top, r_bot, (v_top, v_bot), s_ratio in regions:
        eta_top = r_top / v_top
        b = 1.0 if v_top == v_bot else math.log(eta_top / (r_bot / v_bot)) / math.log(r_top / r_bot)
        shells.append(BullenShell(radius - r_top, radius - r_bot, radius,
                                  eta_top / r_top ** b, b, s_ratio))
    return Model("Bullen planet", shells, radius - cmb_r, radius - icb_r)
