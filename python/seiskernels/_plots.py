"""The figures seismologists draw of travel times: the rays through a disc of
the Earth, and the travel-time curves.  matplotlib is imported only here,
and only when a figure is asked for; each function returns a
matplotlib.figure.Figure, made without pyplot (so it works in any backend,
on a server too), which the caller shows or saves."""

import math

import numpy as np

GOLDEN = (math.sqrt(5.0) - 1.0) / 2.0


def _matplotlib():
    try:
        import matplotlib
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("figures need matplotlib, which is not installed (Debian: apt-get "
                          "install python3-matplotlib)", name="matplotlib") from None
    return matplotlib, Figure


def palette(n):
    """n colours, each its own: hues a golden angle apart (so neighbours in
    the list differ most), dark and middling lightness in turn, all readable
    on white."""
    import matplotlib.colors as mc
    hue = (np.arange(n) * GOLDEN + 0.02) % 1.0
    value = np.where(np.arange(n) % 2 == 0, 0.80, 0.55)
    sat = np.where(np.arange(n) % 3 == 2, 0.65, 0.95)
    return [tuple(c) for c in mc.hsv_to_rgb(np.column_stack([hue, sat, value]))]


def _phase_colours(names, colours=None):
    """{phase: colour}, in the order the phases are given."""
    out = dict(colours or {})
    names = [n for n in dict.fromkeys(names) if n not in out]
    out.update(zip(names, palette(len(names))))
    return out


def _model_of(model):
    if model is None:
        return None
    return getattr(model, "model", model)


def ray_paths_figure(paths, model=None, *, half=None, ax=None, colours=None, title=None,
                     legend=True):
    """The rays of arrivals drawn in a disc of the Earth.

    Parameters
    ----------
    paths : sequence of RayPath
        As `TravelTimes.paths` returns them.
    model : TravelTimes or Model, optional
        Draws its radius, core and discontinuities (every one a thin circle,
        the core's boundaries thicker); without it, a 6371 km circle.
    half : bool, optional
        A half disc (the source at the top, the rays to the right) or the
        whole one; by default half unless a ray goes the long way round.
    ax : matplotlib Axes, optional
        Draw into it; by default a new figure.
    colours : dict, optional
        {phase: colour} for some or all phases; the others get colours of
        their own.
    title : str, optional
    legend : bool, default True

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        No path to draw.
    ImportError
        matplotlib is not installed.
    """
    paths = list(paths)
    if not paths:
        raise ValueError("paths: no ray path to draw (no arrival of the phases asked for)")
    _, Figure = _matplotlib()
    from matplotlib.patches import Circle, Wedge
    m = _model_of(model)
    radius = m.radius if m is not None else 6371.0
    # A ray that reaches the station the long way round is drawn leaving the
    # other way, so that every ray ends at the station.
    signs = [1.0 if _direct(p.arrival) else -1.0 for p in paths]
    if half is None:
        half = all(s > 0 for s in signs) and all(p.distance_deg[-1] <= 180.0 for p in paths)
    if ax is None:
        fig = Figure(figsize=(7.0, 7.2) if half else (9.0, 8.0))
        ax = fig.add_subplot()
    else:
        fig = ax.figure
    ax.set_aspect("equal")
    ax.axis("off")
    span = (0.0, 180.0) if half else (0.0, 360.0)

    def shell(r, **kw):
        if half:
            ax.add_patch(Wedge((0, 0), r, 90.0 - span[1], 90.0 - span[0], **kw))
        else:
            ax.add_patch(Circle((0, 0), r, **kw))

    if m is not None:
        shell(radius - m.cmb, facecolor="#f3ead8", edgecolor="none", zorder=0)
        shell(radius - m.icb, facecolor="#e8dcc2", edgecolor="none", zorder=0)
        for d in m.discontinuities:
            core = d in (m.cmb, m.icb)
            shell(radius - d, fill=False, edgecolor="0.45" if core else "0.78",
                  lw=1.0 if core else 0.5, zorder=1)
    shell(radius, fill=False, edgecolor="0.1", lw=1.2, zorder=1)
    names = [p.arrival.phase for p in paths]
    colour = _phase_colours(names, colours)
    drawn = set()
    for p, sign in zip(paths, signs):
        theta = np.radians(p.distance_deg) * sign
        r = radius - p.depth_km
        name = p.arrival.phase
        ax.plot(r * np.sin(theta), r * np.cos(theta), color=colour[name], lw=1.1, zorder=3,
                label=None if name in drawn else name)
        drawn.add(name)
    depth = paths[0].depth_km[0]
    ax.plot([0.0], [radius - depth], marker="*", ms=14, color="#c00000", mec="k", mew=0.6,
            zorder=5, linestyle="none", label="source")
    stations = sorted({round(p.arrival.distance, 9) for p in paths})
    for n, d in enumerate(stations):
        a = math.radians(d)
        ax.plot([radius * math.sin(a)], [radius * math.cos(a)], marker="v", ms=10,
                color="#1f3f99", mec="k", mew=0.6, zorder=5, linestyle="none",
                label="station" if n == 0 else None)
    pad = radius * 0.04
    if half:
        # Room on the left for the key.
        ax.set_xlim(-0.42 * radius, radius + pad)
    else:
        ax.set_xlim(-radius - pad, radius + pad)
    ax.set_ylim(-radius - pad, radius + pad)
    if title is None:
        title = f"{m.name}, " if m is not None else ""
        title += f"source at {depth:g} km"
        if len(stations) <= 4:
            title += ", " + ", ".join(f"{d:g}" for d in stations) + "\N{DEGREE SIGN}"
    ax.set_title(title)
    if legend:
        ax.legend(loc="upper left", fontsize=9, frameon=False, ncol=1,
                  bbox_to_anchor=(0.0, 0.97) if half else (1.0, 1.0))
    return fig


def _direct(arrival):
    """Whether the ray of an arrival leaves towards the station (not the long
    way round)."""
    x = math.fmod(arrival.travelled, 360.0)
    return abs(x - arrival.distance) <= abs(x - (360.0 - arrival.distance))


def travel_time_figure(model, depth, phases=None, distances=(), *, step=0.25, ax=None,
                       colours=None, title=None, minutes=True):
    """Travel-time curves from 0 to 180 degrees, each phase in a colour of its
    own with its name written on its curve, and the distances asked marked.

    Parameters
    ----------
    model : TravelTimes
    depth : float
        Source depth in km.
    phases : sequence of str or str, optional
        As for `TravelTimes.arrivals` (default: its default phases).
    distances : sequence of float, optional
        Distances to mark (deg), with the arrivals there.
    step : float, default 0.25
        Spacing of the curves' distances (deg).
    ax : matplotlib Axes, optional
    colours : dict, optional
        {phase: colour} for some or all phases.
    title : str, optional
    minutes : bool, default True
        Times in minutes, else seconds.

    Returns
    -------
    matplotlib.figure.Figure
    """
    _, Figure = _matplotlib()
    from matplotlib import patheffects
    from .traveltimes import DEFAULT_PHASES
    phases = DEFAULT_PHASES if phases is None else phases
    if not (isinstance(step, (int, float)) and 0.001 <= step <= 10.0):
        raise ValueError(f"step: {step!r} is not allowed: expected 0.001 to 10 degrees")
    grid = np.arange(0.0, 180.0 + step / 2, step)
    marks = np.unique(np.asarray(list(distances), dtype=np.float64))
    rows = model.table([depth], np.union1d(grid, marks), phases)
    scale = 60.0 if minutes else 1.0
    # Phases in the order they first arrive: neighbours on the figure then
    # take colours far apart.
    names = sorted(set(rows["phase"].tolist()),
                   key=lambda n: float(np.min(rows["time_s"][rows["phase"] == n])))
    colour = _phase_colours(names, colours)
    if ax is None:
        fig = Figure(figsize=(10, 7))
        ax = fig.add_subplot()
    else:
        fig = ax.figure
    on_grid = np.isin(rows["distance_deg"], grid)
    t_max = float(rows["time_s"].max()) / scale if len(rows) else 1.0
    placed = []
    outline = [patheffects.withStroke(linewidth=2.5, foreground="white")]
    for name in names:
        mine = rows[(rows["phase"] == name) & on_grid]
        x, y = mine["distance_deg"], mine["time_s"] / scale
        ax.plot(x, y, ".", ms=2.2, color=colour[name], zorder=2)
        if len(x):
            k = _label_at(x, y / t_max * 180.0, placed)
            placed.append((x[k], y[k] / t_max * 180.0))
            ax.text(x[k], y[k], name, color=colour[name], fontsize=8, fontweight="bold",
                    ha="center", va="bottom", path_effects=outline, zorder=4)
    for d in marks:
        ax.axvline(d, color="0.35", lw=0.8, ls="--", zorder=1)
        here = rows[rows["distance_deg"] == d]
        for r in here:
            ax.plot([d], [r["time_s"] / scale], "o", ms=5, mfc="none",
                    mec=colour[r["phase"]], mew=1.2, zorder=3)
    ax.set_xlim(0.0, 180.0)
    ax.set_ylim(0.0, t_max * 1.03)
    ax.set_xlabel("epicentral distance (deg)")
    ax.set_ylabel("travel time (min)" if minutes else "travel time (s)")
    ax.set_title(title if title is not None else f"{model.name}, source at {depth:g} km")
    ax.grid(True, alpha=0.3)
    return fig


def _label_at(x, y, placed):
    """Where on a curve (x, y in like units) to write its name: of a few
    points along it, the one farthest from the names already written."""
    order = np.argsort(x, kind="stable")
    candidates = order[np.unique((np.linspace(0.15, 0.85, 9) * (len(order) - 1)).astype(int))]
    if not placed:
        return int(candidates[len(candidates) // 2])
    at = np.array(placed)
    gaps = [np.min(np.hypot(at[:, 0] - x[k], at[:, 1] - y[k])) for k in candidates]
    return int(candidates[int(np.argmax(gaps))])
