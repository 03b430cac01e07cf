// The arrivals of seismic phases at any distance, for one source and one
// receiver depth, from a model's tau-p tables.
//
// Each phase is a list of legs, and for a source and receiver depth a list
// of passes: a wave crossing a depth range down or up, or turning in one
// (going down into it and back up, counted twice).  The tables hold, for
// every ray parameter p of one grid, the time and distance a ray spends
// above each layer boundary of each wave's mantle coming down from the
// surface, so a pass across [a, b] is the difference of the values at b and
// a, and a turning pass the last row less the value at its top.  A depth
// inside a layer (the source, the receiver) takes the part of that layer
// above it in closed form under the layer's law eta = A r^B.  Rays that can
// follow a pass but cannot come down to it from the surface (below a
// low-velocity zone that stops them higher up) are integrated on their own
// with the layer kernel.  The grid gains rays closing in on the slowness at
// the source and the receiver, where a ray leaving them horizontally bounds
// a curve and its distance moves as the square root of p's distance from it.
//
// A search for a distance looks only at the monotone runs of each curve
// that span it, and within a run by bisection.  Each hit is interpolated in
// tau(p): the distance taken quadratic in p with the mean that tau's drop
// over the interval gives, time = tau + pX.
#include "arrivals.h"

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>


#include "inner_tau_loops_variants.h"
#include "traveltime.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kSameArrival = 1e-3;  // s: a ray found twice gives times closer than this
constexpr double kSameRay = 1e-9;      // and ray parameters closer than this part of each
constexpr double kSlopeSpan = 0.1 * kPi / 180.0;  // rad: d2T/dX2 is taken over this either side
constexpr int kApproach = 24;          // rays closing in on a slowness, each twice as close
constexpr int kApproachSpan = 6;       // from this many grid steps below it
constexpr int kDown = 0, kUp = 1, kTurn = 2;
constexpr int kBuckets = 256;          // spans of distance the runs are indexed by

// --- memory: every block of a source comes from one arena, freed at once ----
//
// The blocks of the last arena freed are kept for the next one: fresh pages
// cost a fault each, and a source is made and dropped at every new depth.

struct Block {
    Block *next;
    size_t size, used;
    alignas(16) unsigned char data[1];
};

Block *g_kept = nullptr;  // read and written by atomic exchange only

struct Arena {
    Block *head = nullptr, *spare = nullptr;
    bool failed = false;

    void *raw(size_t bytes)
    {
        bytes = (bytes + 15) & ~static_cast<size_t>(15);
        if (!head || head->size - head->used < bytes) {
            if (!head && !spare)
                spare = __atomic_exchange_n(&g_kept, nullptr, __ATOMIC_ACQ_REL);
            Block **at = &spare;
            while (*at && (*at)->size < bytes)
                at = &(*at)->next;
            Block *b = *at;
            if (b) {
                *at = b->next;
            } else {
                const size_t size = bytes > (1u << 20) ? bytes : (1u << 20);
                b = static_cast<Block *>(malloc(offsetof(Block, data) + size));
                if (!b) {
                    failed = true;
                    return nullptr;
                }
                b->size = size;
            }
            b->used = 0;
            b->next = head;
            head = b;
        }
        void *out = head->data + head->used;
        head->used += bytes;
        return out;
    }

    // n elements, their bytes as they were (every caller fills them).
    template <class T>
    T *make(long n)
    {
        return static_cast<T *>(raw(sizeof(T) * static_cast<size_t>(n > 0 ? n : 1)));
    }

    // n elements, each as it starts (zero, or its members' first values).
    template <class T>
    T *make_zero(long n)
    {
        T *out = make<T>(n);
        for (long k = 0; out && k < n; ++k)
            out[k] = T();
        return out;
    }

    void release()
    {
        // Every block goes back into one chain, kept for the next arena if
        // none is kept yet, else freed.
        Block *chain = spare;
        while (head) {
            Block *next = head->next;
            head->next = chain;
            chain = head;
            head = next;
        }
        spare = nullptr;
        Block *old = __atomic_exchange_n(&g_kept, chain, __ATOMIC_ACQ_REL);
        while (old) {
            Block *next = old->next;
            free(old);
            old = next;
        }
    }
};

// --- small helpers --------------------------------------------------------------

inline double nan() { return __builtin_nan(""); }

constexpr double kInfinity = __builtin_inf();

// (Written out: the C++ library's isnan and isfinite are functions of its
// namespace with default visibility, which an unoptimised build exports.)
inline bool is_nan(double x) { return x != x; }

inline bool is_finite(double x) { return x - x == 0.0; }

// Index of the first element of a[0..n) greater than x (or not less, `left`).
// (Written out, as are the sorts below: the standard library's templates
// would be instantiated with default visibility, and exported.)
inline int search(const double *a, int n, double x, bool left)
{
    int lo = 0, hi = n;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (left ? a[mid] < x : !(x < a[mid]))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

template <class T>
inline T smaller(T a, T b)
{
    return b < a ? b : a;
}

template <class T>
inline T larger(T a, T b)
{
    return a < b ? b : a;
}

int ascending(const void *a, const void *b)
{
    const double x = *static_cast<const double *>(a), y = *static_cast<const double *>(b);
    return (x > y) - (x < y);
}

int descending(const void *a, const void *b) { return ascending(b, a); }

// Slowness at `depth` inside a layer row, by the layer's law eta = A r^B.
double law_eta(double radius, const double *row, double depth)
{
    const double b = log(row[0] / row[2]) / log((radius - row[1]) / (radius - row[3]));
    return row[0] * pow((radius - depth) / (radius - row[1]), b);
}

// --- the layers of a run of depths, and what a pass across it asks of a ray ---

struct Run {
    double *rows = nullptr;  // n x 4, cut at both ends
    int n = 0;
    double min = 0.0, top_eta = 0.0;
    double *shadows = nullptr;  // the tops of its low-velocity zones
    int n_shadows = 0;
};

void finish_run(Run &run, Arena &arena, double least = nan())
{
    double m = INFINITY;
    for (int k = 0; k < run.n; ++k)
        m = smaller(m, smaller(run.rows[4L * k], run.rows[4L * k + 2]));
    run.min = is_nan(least) ? m : least;
    run.top_eta = run.n ? run.rows[0] : INFINITY;
    // A ray diving below the top of a low-velocity zone lands far beyond
    // one turning just above it: the least slowness above each layer that a
    // ray can enter only by diving.
    run.shadows = arena.make<double>(run.n);
    double lowest = INFINITY;
    for (int k = 0; k + 1 < run.n; ++k) {
        lowest = smaller(lowest, smaller(run.rows[4L * k], run.rows[4L * k + 2]));
        const double top = run.rows[4L * (k + 1)], bot = run.rows[4L * (k + 1) + 2];
        if (top > lowest || (top == lowest && bot > lowest)) {
            bool seen = false;
            for (int s = 0; s < run.n_shadows; ++s)
                seen |= run.shadows[s] == lowest;
            if (!seen)
                run.shadows[run.n_shadows++] = lowest;
        }
    }
}

// --- time and distance of rays through a run of layers ------------------------

// Every layer's share of each ray going down once (the layer it turns in cut
// at its turning point, nothing beyond it): time and dist are m x n (ray
// after ray), stops[i] the first layer ray i cannot cross.
void layer_shares(const double *rows, int n, const double *p, int m, double radius,
                  double *time, double *dist, int *stops, Arena &arena)
{
    double *least = arena.make<double>(n);
    double low = INFINITY;
    for (int k = 0; k < n; ++k) {
        low = smaller(low, smaller(rows[4L * k], rows[4L * k + 2]));
        least[k] = low;
    }
    long pairs = 0;
    for (int i = 0; i < m; ++i) {
        int s = 0;
        while (s < n && !(least[s] < p[i]))
            ++s;
        stops[i] = s;
        pairs += smaller(s + 1, n);
    }
    double *layer = arena.make<double>(4 * pairs), *rays = arena.make<double>(pairs);
    double *t = arena.make_zero<double>(pairs), *d = arena.make_zero<double>(pairs);
    if (arena.failed)
        return;
    long at = 0;
    for (int i = 0; i < m; ++i) {
        const int used = smaller(stops[i] + 1, n);
        for (int k = 0; k < used; ++k) {
            double *row = layer + 4 * (at + k);
            memcpy(row, rows + 4L * k, 4 * sizeof(double));
            rays[at + k] = p[i];
            if (k == stops[i]) {
                // The layer the ray stops in: cut at its turning point if it
                // turns inside it, else emptied (reflected above it).
                const double top = row[0], bot = row[2], q = p[i];
                if (top > q && q > bot) {
                    const double r_top = radius - row[1], r_bot = radius - row[3];
                    const double inv_b = log(r_top / r_bot) / log(top / bot);
                    const double depth = radius - r_top * pow(q / top, inv_b);
                    row[2] = q;
                    row[3] = smaller(depth, row[3]);
                } else {
                    row[3] = row[1];
                }
            }
        }
        at += used;
    }
    traveltime::layer_integrals(layer, rays, t, d, radius, static_cast<int>(pairs));
    at = 0;
    for (int i = 0; i < m; ++i) {
        const int used = smaller(stops[i] + 1, n);
        for (int k = 0; k < n; ++k) {
            time[static_cast<long>(i) * n + k] = k < used ? t[at + k] : 0.0;
            dist[static_cast<long>(i) * n + k] = k < used ? d[at + k] : 0.0;
        }
        at += used;
    }
}

// (n + 1) x m: the shares summed from the top down, row j the part above
// layer j.
void cumulative(const double *rows, int n, const double *p, int m, double radius,
                double *cum_t, double *cum_x, Arena &arena)
{
    double *t = arena.make<double>(static_cast<long>(m) * n);
    double *x = arena.make<double>(static_cast<long>(m) * n);
    int *stops = arena.make<int>(m);
    if (arena.failed)
        return;
    layer_shares(rows, n, p, m, radius, t, x, stops, arena);
    for (int i = 0; i < m; ++i) {
        double st = 0.0, sx = 0.0;
        cum_t[i] = cum_x[i] = 0.0;
        for (int k = 0; k < n; ++k) {
            st += t[static_cast<long>(i) * n + k];
            sx += x[static_cast<long>(i) * n + k];
            cum_t[static_cast<long>(k + 1) * m + i] = st;
            cum_x[static_cast<long>(k + 1) * m + i] = sx;
        }
    }
}

// Each ray's time and distance across a whole run, turning in it or not;
// with centre_eta > 0, the rays crossing it all also cross the small ball
// left at the centre, as a homogeneous one.
void branch_totals(const double *rows, int n, const double *p, int m, double radius,
                   double centre_eta, double *time, double *dist, Arena &arena)
{
    if (n == 0) {
        for (int i = 0; i < m; ++i)
            time[i] = dist[i] = 0.0;
        return;
    }
    double *t = arena.make<double>(static_cast<long>(m) * n);
    double *x = arena.make<double>(static_cast<long>(m) * n);
    double *rays = arena.make<double>(static_cast<long>(m) * n);
    double *td = arena.make<double>(4L * m);
    int *stops = arena.make<int>(m);
    if (arena.failed)
        return;
    layer_shares(rows, n, p, m, radius, t, x, stops, arena);
    for (int i = 0; i < m; ++i)
        for (int k = 0; k < n; ++k)
            rays[static_cast<long>(i) * n + k] = p[i];
    traveltime::branch_sums(rays, t, x, rows, td, m, n, INFINITY, 1);
    for (int i = 0; i < m; ++i) {
        time[i] = td[4L * i + TD_TIME];
        dist[i] = td[4L * i + TD_DIST];
        if (centre_eta > 0.0 && stops[i] == n) {
            time[i] += sqrt(centre_eta * centre_eta - p[i] * p[i]);
            dist[i] += acos(smaller(1.0, p[i] / centre_eta));
        }
    }
}

// --- a depth in a wave's stack -----------------------------------------------

struct Cut {
    double depth = 0.0;
    int j = 0;               // the layer it is the top of, or lies inside
    const double *row = nullptr;  // that layer, if the depth lies inside it
    double above = 0.0, below = 0.0;
};

Cut cut_at(const arrivals_stack &s, double radius, double depth)
{
    Cut c;
    c.depth = depth;
    const int n = s.n;
    if (n == 0)
        return c;
    int j = 0;
    while (j + 1 < n && s.rows[4L * (j + 1) + 1] <= depth)
        ++j;
    if (depth >= s.rows[4L * (n - 1) + 3]) {
        c.j = n;
        c.above = c.below = s.rows[4L * (n - 1) + 2];
    } else if (depth == s.rows[4L * j + 1]) {
        c.j = j;
        c.below = s.rows[4L * j];
        c.above = j > 0 ? s.rows[4L * (j - 1) + 2] : c.below;
    } else {
        c.j = j;
        c.row = s.rows + 4L * j;
        c.above = c.below = law_eta(radius, c.row, depth);
    }
    return c;
}

struct Pass {
    int wave, region, kind;
    double top, bottom;
};

struct Piece {
    int member, first, n;  // samples first .. first + n - 1
};

struct MonotoneRun {
    int first, last;  // samples first .. last (last > first), x one way between
    int piece_last;   // the last sample of its piece
    int member;
    double lo, hi;
    int rising;       // 1 rising, -1 falling, 0 flat
};

// A run within one span of distance: the samples first .. last hold the
// near end of the interval of every distance of the span the run reaches.
struct RunSpan {
    int run, first, last;
};

struct Member {
    const arrivals_member *given;
    Pass *passes = nullptr;
    Run *runs = nullptr;  // of each pass
    int n_passes = 0;
    double lo = 0.0, hi = 0.0;  // the ray parameters its passes allow
    double *cuts = nullptr;     // where its curve breaks, highest first
    int n_cuts = 0;
    bool present = false;
    int first_wave = 0, last_wave = 0;
    bool going_up = false, arriving_down = false;
    // naming
    int code = 0;
    double fold = nan();
    const double *neg_least = nullptr;  // of its last turning pass's run
    int n_least = 0;
    int *region_code = nullptr, *region_row = nullptr;
    double *region_top = nullptr;
    int n_regions = 0;
    // diffracted or head wave
    bool graze = false, from_critical = false;
    double gp = 0.0, gt = 0.0, gx = 0.0, reach = 0.0;
    double source_eta = 0.0, receiver_eta = 0.0;
};

struct PassSums {
    Pass pass;
    double *t, *x;
};

struct DepthSums {
    int wave;
    double depth;
    double *t, *x;
};

}  // namespace

struct arrivals_source {
    Arena arena;
    const arrivals_model *model = nullptr;
    double depth = 0.0, receiver = 0.0, radius = 0.0;
    int n_members = 0, n_codes = 0;
    Member *members = nullptr;
    const unsigned char *wanted = nullptr;
    // the merged grid
    int n = 0, n_extra = 0;
    double *p = nullptr;
    int *grid_index = nullptr;   // merged index of each grid ray
    int *extra_index = nullptr;  // merged index of each extra ray
    double *extra = nullptr;
    // per mantle wave: cuts at the source and receiver, extra cumulative rows
    bool wave_used[2] = {false, false};
    Cut cut_source[2], cut_receiver[2];
    double *extra_cum_t[2] = {nullptr, nullptr}, *extra_cum_x[2] = {nullptr, nullptr};
    double *core_t[3] = {nullptr, nullptr, nullptr}, *core_x[3] = {nullptr, nullptr, nullptr};
    Run core_runs[3];
    double *end_t[2] = {nullptr, nullptr}, *end_x[2] = {nullptr, nullptr};
    // caches
    PassSums *pass_sums = nullptr;
    int n_pass_sums = 0, cap_pass_sums = 0;
    DepthSums *depth_sums = nullptr;
    int n_depth_sums = 0, cap_depth_sums = 0;
    // the curves
    double *cp = nullptr, *ct = nullptr, *cx = nullptr;
    int n_samples = 0;
    Piece *pieces = nullptr;
    int n_pieces = 0;
    MonotoneRun *runs = nullptr;
    int n_runs = 0;
    double max_distance = 0.0;
    // The runs that reach into each of n_buckets equal spans of distance
    // from 0 to max_distance, in their order, with the samples of each that
    // a distance in the span can fall between: in_bucket[bucket_first[b]
    // .. bucket_first[b + 1]).
    int n_buckets = 0;
    double bucket_scale = 0.0;
    int *bucket_first = nullptr;
    RunSpan *in_bucket = nullptr;
};

namespace {

using Source = arrivals_source;

double *merged(Source &s, const double *on_grid, const double *extra_values)
{
    double *out = s.arena.make<double>(s.n);
    if (!out)
        return out;
    for (int i = 0; i < s.model->n_p; ++i)
        out[s.grid_index[i]] = on_grid[i];
    for (int i = 0; i < s.n_extra; ++i)
        out[s.extra_index[i]] = extra_values ? extra_values[i] : 0.0;
    return out;
}

// --- passes of a member for this source and receiver ---------------------------

double resolved(const Source &s, double depth)
{
    return depth == ARRIVALS_AT_SOURCE ? s.depth : depth == ARRIVALS_AT_RECEIVER ? s.receiver : depth;
}

double region_bottom(const Source &s, int region)
{
    return region == ARRIVALS_MANTLE ? s.model->cmb
           : region == ARRIVALS_OUTER_CORE ? s.model->icb
                                           : s.radius;
}

// The passes of a member's legs; false if no ray can follow them from here:
// a leg that would have to go up to reach a deeper point, a ray leaving a
// source at the surface upwards, or one reflected where it starts or ends
// (a head wave may start or end on its own boundary).
bool make_passes(Source &s, Member &m, const arrivals_leg *legs)
{
    const arrivals_member &given = *m.given;
    m.passes = s.arena.make<Pass>(3L * given.n_legs);
    if (!m.passes)
        return false;
    const bool head = given.kind == ARRIVALS_DIFFRACTED || given.kind == ARRIVALS_HEAD;
    const int last = given.n_legs - 1;
    for (int k = 0; k < given.n_legs; ++k) {
        const arrivals_leg &leg = legs[given.first_leg + k];
        const double a = resolved(s, leg.start), e = resolved(s, leg.end);
        if (leg.going_up == leg.arriving_up) {
            const double lo = leg.going_up ? e : a, hi = leg.going_up ? a : e;
            if (lo > hi)
                return false;
            if (lo == hi) {
                if ((k == 0 && leg.going_up) || ((k == 0 || k == last) && !head))
                    return false;
                continue;
            }
            m.passes[m.n_passes++] = {leg.wave, leg.region, leg.going_up ? kUp : kDown, lo, hi};
        } else if (!leg.going_up) {
            double low = larger(a, e);
            if (!is_nan(leg.below))
                low = larger(low, leg.below);
            if (a < low)
                m.passes[m.n_passes++] = {leg.wave, leg.region, kDown, a, low};
            m.passes[m.n_passes++] = {leg.wave, leg.region, kTurn, low, region_bottom(s, leg.region)};
            if (e < low)
                m.passes[m.n_passes++] = {leg.wave, leg.region, kUp, e, low};
        } else {
            return false;
        }
    }
    return m.n_passes > 0;
}

const arrivals_core &core_of(const Source &s, int region, int wave)
{
    return s.model->core[region == ARRIVALS_OUTER_CORE ? 0 : wave == 0 ? 1 : 2];
}

// The Run of a pass: its wave's layers from its top to its bottom.
Run run_of(Source &s, const Pass &ps)
{
    Run run;
    if (ps.region != ARRIVALS_MANTLE) {
        const int k = ps.region == ARRIVALS_OUTER_CORE ? 0 : ps.wave == 0 ? 1 : 2;
        if (!s.core_runs[k].rows) {
            const arrivals_core &c = core_of(s, ps.region, ps.wave);
            Run &made = s.core_runs[k];
            made.rows = const_cast<double *>(c.rows);
            made.n = c.n;
            double least = INFINITY;
            for (int j = 0; j < c.n; ++j)
                least = smaller(least, smaller(c.rows[4L * j], c.rows[4L * j + 2]));
            finish_run(made, s.arena, c.centre_eta > 0.0 ? 0.0 : least);
        }
        return s.core_runs[k];
    }
    const arrivals_stack &st = s.model->mantle[ps.wave];
    const Cut top = cut_at(st, s.radius, ps.top), bot = cut_at(st, s.radius, ps.bottom);
    const int last = bot.j + (bot.row ? 1 : 0);
    run.n = larger(0, last - top.j);
    run.rows = s.arena.make<double>(4L * run.n);
    if (!run.rows)
        return run;
    if (run.n)
        memcpy(run.rows, st.rows + 4L * top.j, sizeof(double) * 4 * run.n);
    if (run.n && bot.row) {
        run.rows[4L * (run.n - 1) + 2] = bot.below;
        run.rows[4L * (run.n - 1) + 3] = ps.bottom;
    }
    if (run.n && top.row) {
        run.rows[0] = top.below;
        run.rows[1] = ps.top;
    }
    finish_run(run, s.arena);
    return run;
}

const Cut &cut_for(const Source &s, int wave, double depth, Cut &scratch)
{
    if (depth == s.depth)
        return s.cut_source[wave];
    if (depth == s.receiver)
        return s.cut_receiver[wave];
    scratch = cut_at(s.model->mantle[wave], s.radius, depth);
    return scratch;
}

// Row j of a wave's cumulative time and distance on the merged grid.
void row_of(Source &s, int w, int j, double *&t, double *&x)
{
    const arrivals_stack &st = s.model->mantle[w];
    const long n_p = s.model->n_p;
    double *et = s.arena.make<double>(s.n_extra), *ex = s.arena.make<double>(s.n_extra);
    if (!et || !ex) {
        t = x = nullptr;
        return;
    }
    for (int i = 0; i < s.n_extra; ++i) {
        et[i] = s.extra_cum_t[w][static_cast<long>(j) * s.n_extra + i];
        ex[i] = s.extra_cum_x[w][static_cast<long>(j) * s.n_extra + i];
    }
    t = merged(s, st.cum_time + j * n_p, et);
    x = merged(s, st.cum_dist + j * n_p, ex);
}

// Time and distance of every ray across the part of a cut's layer above it
// (NaN for the rays that cannot cross it), added into t and x.  The law
// eta = A r^B integrates in closed form: from slowness e1 to e2 a ray takes
// time (S(e1) - S(e2)) / B and distance (a(e2) - a(e1)) / B, with
// S(e) = sqrt(e^2 - p^2) and a(e) = atan2(p, S(e)).  Here
// S(top) - S(eta) = (top^2 - eta^2) / (S(top) + S(eta)), free of
// cancellation, and a(eta) - a(top) is one arctangent,
// atan2(p (S(top) - S(eta)), S(top) S(eta) + p^2).
void add_upper_part(const Source &s, const Cut &c, double *t, double *x)
{
    const double top = c.row[0], top_d = c.row[1], bot = c.row[2], bot_d = c.row[3];
    const double eta = c.above, radius = s.radius;
    const double b = log(top / bot) / log((radius - top_d) / (radius - bot_d));
    const double limit = smaller(top, eta);
    for (int i = 0; i < s.n; ++i) {
        const double q = s.p[i];
        if (!(q <= limit)) {
            t[i] = x[i] = nan();
            continue;
        }
        const double s_top = sqrt(top * top - q * q), s_eta = sqrt(eta * eta - q * q);
        const double both = s_top + s_eta;
        const double ds = (top - eta) * (top + eta) / (both > 0.0 ? both : 1.0);
        t[i] += ds / b;
        x[i] += atan2(q * ds, s_top * s_eta + q * q) / b;
    }
}

// (time, dist) of each ray from the surface down to depth d in wave w's
// mantle: NaN where the ray cannot reach d from the surface.
bool at_depth(Source &s, int w, double d, double *&t, double *&x)
{
    for (int k = 0; k < s.n_depth_sums; ++k)
        if (s.depth_sums[k].wave == w && s.depth_sums[k].depth == d) {
            t = s.depth_sums[k].t;
            x = s.depth_sums[k].x;
            return true;
        }
    Cut scratch;
    const Cut &c = cut_for(s, w, d, scratch);
    row_of(s, w, c.j, t, x);
    if (!t || !x)
        return false;
    if (c.row)
        add_upper_part(s, c, t, x);
    if (s.n_depth_sums == s.cap_depth_sums) {
        const int cap = 2 * s.cap_depth_sums + 8;
        DepthSums *more = s.arena.make<DepthSums>(cap);
        if (!more)
            return false;
        if (s.n_depth_sums)
            memcpy(more, s.depth_sums, sizeof(DepthSums) * s.n_depth_sums);
        s.depth_sums = more;
        s.cap_depth_sums = cap;
    }
    s.depth_sums[s.n_depth_sums++] = {w, d, t, x};
    return true;
}

double least_above(const Source &s, int w, double d)
{
    const arrivals_stack &st = s.model->mantle[w];
    Cut scratch;
    const Cut &c = cut_for(s, w, d, scratch);
    double least = c.j > 0 ? st.least[c.j - 1] : INFINITY;
    if (c.row)
        least = smaller(least, smaller(c.row[0], c.above));
    return least;
}

// (time, dist) of a pass on the merged grid, counted once (a turning pass
// down to the turning point only).
// The rays turning in the part of a cut's layer below it: from the cut's
// slowness down to eta = p, where S = 0 and a = pi / 2.
void lower_turn(const Source &s, const Cut &c, double *t, double *x)
{
    const double top = c.row[0], top_d = c.row[1], bot = c.row[2], bot_d = c.row[3];
    const double eta = c.below;
    const double b = log(top / bot) / log((s.radius - top_d) / (s.radius - bot_d));
    const int lo = search(s.p, s.n, bot, false), hi = search(s.p, s.n, eta, false);
    for (int i = lo; i < hi; ++i) {
        const double q = s.p[i], sq = sqrt(eta * eta - q * q);
        t[i] = sq / b;
        x[i] = (0.5 * kPi - atan2(q, sq)) / b;
    }
}

// Rays that can follow a pass but not come down to it from the surface
// (p above the least slowness over it): on their own, through the pass's
// own layers.
bool trapped_rays(Source &s, const Pass &ps, const Run &run, double *t, double *x)
{
    const double limit = ps.kind == kTurn ? run.top_eta : run.min;
    const double above = least_above(s, ps.wave, ps.top);
    int trapped = 0;
    for (int i = 0; i < s.n; ++i)
        trapped += s.p[i] > above && s.p[i] <= limit;
    if (!trapped)
        return true;
    double *q = s.arena.make<double>(trapped), *tt = s.arena.make<double>(trapped);
    double *xx = s.arena.make<double>(trapped);
    if (!q || !tt || !xx)
        return false;
    int k = 0;
    for (int i = 0; i < s.n; ++i)
        if (s.p[i] > above && s.p[i] <= limit)
            q[k++] = s.p[i];
    branch_totals(run.rows, run.n, q, trapped, s.radius, 0.0, tt, xx, s.arena);
    k = 0;
    for (int i = 0; i < s.n; ++i)
        if (s.p[i] > above && s.p[i] <= limit) {
            t[i] = tt[k];
            x[i] = xx[k++];
        }
    return !s.arena.failed;
}

// A mantle pass: the difference of the values at its ends (the last row for
// a turning pass), with the rays turning below a cut it starts at, and the
// rays that cannot come down to it, on their own.
bool mantle_sums(Source &s, const Pass &ps, const Run &run, double *&t, double *&x)
{
    const int w = ps.wave;
    double *st, *sx, *et, *ex;
    if (!at_depth(s, w, ps.top, st, sx))
        return false;
    if (ps.kind == kTurn) {
        if (!s.end_t[w])
            row_of(s, w, s.model->mantle[w].n, s.end_t[w], s.end_x[w]);
        et = s.end_t[w];
        ex = s.end_x[w];
    } else if (!at_depth(s, w, ps.bottom, et, ex)) {
        return false;
    }
    t = s.arena.make<double>(s.n);
    x = s.arena.make<double>(s.n);
    if (!t || !x || !et || !ex)
        return false;
    for (int i = 0; i < s.n; ++i) {
        t[i] = et[i] - st[i];
        x[i] = ex[i] - sx[i];
    }
    Cut scratch;
    const Cut &c = cut_for(s, w, ps.top, scratch);
    if (ps.kind == kTurn && c.row)
        lower_turn(s, c, t, x);
    return trapped_rays(s, ps, run, t, x);
}

bool same_pass(const Pass &a, const Pass &b)
{
    return a.wave == b.wave && a.region == b.region && a.kind == b.kind && a.top == b.top &&
           a.bottom == b.bottom;
}

// (time, dist) of a pass on the merged grid, counted once (a turning pass
// down to the turning point only), made once per source.
bool sums_of(Source &s, const Pass &ps, const Run &run, double *&t, double *&x)
{
    for (int k = 0; k < s.n_pass_sums; ++k)
        if (same_pass(s.pass_sums[k].pass, ps)) {
            t = s.pass_sums[k].t;
            x = s.pass_sums[k].x;
            return true;
        }
    if (ps.region != ARRIVALS_MANTLE) {
        const int c = ps.region == ARRIVALS_OUTER_CORE ? 0 : ps.wave == 0 ? 1 : 2;
        t = s.core_t[c];
        x = s.core_x[c];
    } else if (!mantle_sums(s, ps, run, t, x)) {
        return false;
    }
    if (s.n_pass_sums == s.cap_pass_sums) {
        const int cap = 2 * s.cap_pass_sums + 16;
        PassSums *more = s.arena.make<PassSums>(cap);
        if (!more)
            return false;
        if (s.n_pass_sums)
            memcpy(more, s.pass_sums, sizeof(PassSums) * s.n_pass_sums);
        s.pass_sums = more;
        s.cap_pass_sums = cap;
    }
    s.pass_sums[s.n_pass_sums++] = {ps, t, x};
    return true;
}

// (lo, hi) of the rays that can follow the passes, and the cuts within
// where the curve breaks (sorted, highest first).  A ray crosses a run
// going down or up only with p at most its least slowness; one that turns
// in a run enters it (p at most its top slowness) and turns above its
// bottom (p above its least slowness).
int p_range(const Member &m, double &lo, double &hi, double *cuts, int max_cuts)
{
    lo = 0.0;
    hi = INFINITY;
    int n_cuts = 0;
    for (int k = 0; k < m.n_passes; ++k) {
        const Run &run = m.runs[k];
        if (m.passes[k].kind == kTurn) {
            hi = smaller(hi, run.top_eta);
            lo = larger(lo, run.min);
            for (int c = 0; c < run.n_shadows && n_cuts < max_cuts; ++c)
                cuts[n_cuts++] = run.shadows[c];
        } else {
            hi = smaller(hi, run.min);
        }
    }
    int kept = 0;
    for (int c = 0; c < n_cuts; ++c) {
        bool seen = false;
        for (int d = 0; d < kept; ++d)
            seen |= cuts[d] == cuts[c];
        if (lo < cuts[c] && cuts[c] < hi && !seen)
            cuts[kept++] = cuts[c];
    }
    qsort(cuts, kept, sizeof(double), descending);
    return kept;
}

// --- the curves -------------------------------------------------------------

bool add_sums(Source &s, const Member &m, int first, int stop, double *t, double *x)
{
    for (int i = 0; i < stop - first; ++i)
        t[i] = x[i] = 0.0;
    for (int k = 0; k < m.n_passes; ++k) {
        double *pt, *px;
        if (!sums_of(s, m.passes[k], m.runs[k], pt, px))
            return false;
        const double times = m.passes[k].kind == kTurn ? 2.0 : 1.0;
        for (int i = first; i < stop; ++i) {
            t[i - first] += times * pt[i];
            x[i - first] += times * px[i];
        }
    }
    return true;
}

// A diffracted or head wave: the legs' time and distance at the slowness
// just above (diffracted) or below (head wave) its boundary, where a ray
// reaches the boundary there.
bool head_wave(Source &s, Member &m, double lo, double hi)
{
    const arrivals_member &given = *m.given;
    double p_star;
    if (given.head_region == ARRIVALS_MANTLE) {
        const arrivals_stack &st = s.model->mantle[given.head_wave];
        if (given.kind == ARRIVALS_DIFFRACTED) {
            p_star = st.rows[4L * (st.n - 1) + 2];
        } else {
            int j = 0;
            while (j < st.n && st.rows[4L * j + 1] < given.head_depth)
                ++j;
            if (j == st.n)
                return true;
            p_star = st.rows[4L * j];
        }
    } else {
        const arrivals_core &c = s.model->core[0];
        p_star = c.rows[4L * (c.n - 1) + 2];
    }
    if (!(lo <= p_star && p_star <= hi))
        return true;
    const int k = search(s.p, s.n, p_star, true);
    if (k == s.n || s.p[k] != p_star)
        return true;
    double t, x;
    if (!add_sums(s, m, k, k + 1, &t, &x))
        return false;
    if (is_finite(t) && is_finite(x)) {
        m.graze = true;
        m.gp = p_star;
        m.gt = t;
        m.gx = x;
        m.reach = given.head_reach > 0.0 ? smaller(x + given.head_reach, kPi) : kPi;
        m.from_critical = given.kind == ARRIVALS_HEAD;
    }
    return true;
}

bool is_head(const arrivals_member &given)
{
    return given.kind == ARRIVALS_DIFFRACTED || given.kind == ARRIVALS_HEAD;
}

// A member's runs, its range of ray parameters and where its curve breaks;
// a diffracted or head wave's ray at its boundary.
bool prepare_member(Source &s, Member &m)
{
    double cuts[64];
    m.runs = s.arena.make<Run>(m.n_passes);
    if (!m.runs)
        return false;
    for (int k = 0; k < m.n_passes; ++k)
        m.runs[k] = run_of(s, m.passes[k]);
    m.n_cuts = p_range(m, m.lo, m.hi, cuts, 64);
    m.cuts = s.arena.make<double>(m.n_cuts);
    if (s.arena.failed)
        return false;
    if (m.n_cuts)
        memcpy(m.cuts, cuts, sizeof(double) * m.n_cuts);
    return !is_head(*m.given) || head_wave(s, m, m.lo, m.hi);
}

// The fold of PKP in one piece, which parts PKPab (larger p) from PKPbc:
// its least distance inside the piece, if below both ends.
void find_fold(const Source &s, const Piece &piece, Member &m, double &fold_x)
{
    const double *px = s.cx + piece.first;
    const double ends = smaller(px[0], px[piece.n - 1]);
    int best = -1;
    for (int i = 1; i + 1 < piece.n; ++i)
        if (px[i] < ends && (best < 0 || px[i] < px[best]))
            best = i;
    if (best >= 0 && px[best] < fold_x) {
        fold_x = px[best];
        m.fold = s.cp[piece.first + best];
    }
}

// The samples of member g over the merged grid's rays first .. stop - 1,
// as a piece; the rays its waves were not taken at (NaN) left out.
bool add_piece(Source &s, int g, int first, int stop, double *t, double *x, double &fold_x)
{
    Member &m = s.members[g];
    if (!add_sums(s, m, first, stop, t, x))
        return false;
    Piece &piece = s.pieces[s.n_pieces];
    piece.member = g;
    piece.first = s.n_samples;
    piece.n = 0;
    for (int i = first; i < stop; ++i) {
        const double ti = t[i - first], xi = x[i - first];
        if (!(is_finite(ti) && is_finite(xi)))
            continue;
        s.cp[s.n_samples + piece.n] = s.p[i];
        s.ct[s.n_samples + piece.n] = ti;
        s.cx[s.n_samples + piece.n] = xi;
        ++piece.n;
    }
    if (piece.n < 2)
        return true;
    if (m.given->naming == ARRIVALS_NAME_FOLD)
        find_fold(s, piece, m, fold_x);
    s.n_samples += piece.n;
    ++s.n_pieces;
    return true;
}

// The pieces of member g's curve: from lo up to hi, broken at its cuts.
bool add_pieces(Source &s, int g, double *t, double *x)
{
    const Member &m = s.members[g];
    if (!(m.hi > m.lo))
        return true;
    double fold_x = INFINITY;
    for (int c = m.n_cuts; c >= 0; --c) {
        const double a = c == m.n_cuts ? m.lo : nextafter(m.cuts[c], kInfinity);
        const double b = c == 0 ? m.hi : m.cuts[c - 1];
        const int first = search(s.p, s.n, a, true), stop = search(s.p, s.n, b, false);
        if (stop - first > 1 && !add_piece(s, g, first, stop, t, x, fold_x))
            return false;
    }
    return true;
}

// The span of distance a value lies in (any monotone map of distance into
// 0 .. n_buckets - 1 would do: a run is listed in every span from its
// least distance's to its largest's).
int bucket_of(const Source &s, double x)
{
    const double f = x * s.bucket_scale;
    return !(f >= 0.0) ? 0 : f >= s.n_buckets - 1 ? s.n_buckets - 1 : static_cast<int>(f);
}

// Run r in each span of distance it reaches, into the spans' lists at
// `at`.  Along the run the span of its samples moves one way; key is that
// span, negated for a falling run, so that it never falls along the run.
// For a distance in span b (key kb), the last sample on its near side
// (x <= it rising, >= falling) lies between the last sample of a key below
// kb (on the near side of every distance of the span; else the run's first,
// on the near side of any distance the run reaches) and the last sample of
// a key at most kb (every later sample lies beyond every distance of the
// span).
void spans_of_run(Source &s, int r, int *at)
{
    const MonotoneRun &run = s.runs[r];
    const int b_lo = bucket_of(s, run.lo), b_hi = bucket_of(s, run.hi);
    const int way = run.rising < 0 ? -1 : 1;
    auto key = [&](int i) { return way * bucket_of(s, s.cx[i]); };
    int lo = run.first;
    int hi = lo;
    for (int n = 0; n <= b_hi - b_lo; ++n) {
        const int b = way > 0 ? b_lo + n : b_hi - n;  // kb = way * b ascending
        const int kb = way * b;
        while (lo + 1 <= run.last && key(lo + 1) < kb)
            ++lo;
        hi = larger(hi, lo);
        while (hi + 1 <= run.last && key(hi + 1) <= kb)
            ++hi;
        s.in_bucket[at[b]++] = {r, lo, hi};
    }
}

// Which runs reach into each span of distance, and where in each: a
// distance is searched for only in the runs of its own span, and in each
// only among the few samples of the span.
bool make_buckets(Source &s)
{
    s.n_buckets = s.n_runs ? kBuckets : 1;
    s.bucket_scale = s.max_distance > 0.0 ? kBuckets / s.max_distance : 0.0;
    s.bucket_first = s.arena.make_zero<int>(s.n_buckets + 1);
    if (!s.bucket_first)
        return false;
    int *first = s.bucket_first;
    for (int r = 0; r < s.n_runs; ++r)
        for (int b = bucket_of(s, s.runs[r].lo), e = bucket_of(s, s.runs[r].hi); b <= e; ++b)
            ++first[b + 1];
    for (int b = 0; b < s.n_buckets; ++b)
        first[b + 1] += first[b];
    s.in_bucket = s.arena.make<RunSpan>(first[s.n_buckets]);
    int *at = s.arena.make<int>(s.n_buckets);
    if (!s.in_bucket || !at)
        return false;
    memcpy(at, first, sizeof(int) * s.n_buckets);
    for (int r = 0; r < s.n_runs; ++r)
        spans_of_run(s, r, at);
    return true;
}

// The monotone runs of every piece, where the search looks.
bool make_runs(Source &s)
{
    s.runs = s.arena.make<MonotoneRun>(s.n_samples + 1);
    if (!s.runs)
        return false;
    for (int k = 0; k < s.n_pieces; ++k) {
        const Piece &piece = s.pieces[k];
        const int last = piece.first + piece.n - 1;
        int start = piece.first;
        while (start < last) {
            const double step = s.cx[start + 1] - s.cx[start];
            const int way = step > 0.0 ? 1 : step < 0.0 ? -1 : 0;
            int end = start + 1;
            if (way != 0)
                while (end < last && (s.cx[end + 1] - s.cx[end]) * way > 0.0)
                    ++end;
            MonotoneRun &r = s.runs[s.n_runs++];
            r.first = start;
            r.last = end;
            r.piece_last = last;
            r.member = piece.member;
            r.rising = way;
            r.lo = smaller(s.cx[start], s.cx[end]);
            r.hi = larger(s.cx[start], s.cx[end]);
            s.max_distance = larger(s.max_distance, r.hi);
            start = end;
        }
    }
    return make_buckets(s);
}

bool lay_out(Source &s)
{
    // Room for every member's pieces: at most one more than its cuts.
    long room = 0;
    int room_pieces = 0;
    for (int g = 0; g < s.n_members; ++g) {
        Member &m = s.members[g];
        if (!m.present)
            continue;
        if (!prepare_member(s, m))
            return false;
        if (!is_head(*m.given)) {
            room += s.n;
            room_pieces += m.n_cuts + 1;
        }
    }
    s.cp = s.arena.make<double>(room);
    s.ct = s.arena.make<double>(room);
    s.cx = s.arena.make<double>(room);
    s.pieces = s.arena.make<Piece>(room_pieces);
    double *t = s.arena.make<double>(s.n), *x = s.arena.make<double>(s.n);
    if (s.arena.failed)
        return false;
    for (int g = 0; g < s.n_members; ++g)
        if (s.members[g].present && !is_head(*s.members[g].given) && !add_pieces(s, g, t, x))
            return false;
    return make_runs(s);
}

// --- naming -------------------------------------------------------------------

bool prepare_naming(Source &s, const arrivals_member *described, const double *region_depth,
                    const int *region_code)
{
    for (int g = 0; g < s.n_members; ++g) {
        Member &m = s.members[g];
        const arrivals_member &given = described[g];
        m.code = given.code;
        if (!m.present || given.naming != ARRIVALS_NAME_REGION)
            continue;
        if (given.kind == ARRIVALS_DIRECT) {
            // A ray straight from the source is named by its deepest point.
            const double bottom = larger(s.depth, s.receiver);
            for (int r = 0; r < given.n_regions; ++r)
                if (bottom <= region_depth[given.first_region + r]) {
                    m.code = region_code[given.first_region + r];
                    break;
                }
            continue;
        }
        if (given.kind != ARRIVALS_RAY)
            continue;
        int t = -1;
        for (int k = 0; k < m.n_passes; ++k)
            if (m.passes[k].kind == kTurn)
                t = k;
        if (t < 0)
            continue;
        const Pass *turn = &m.passes[t];
        const Run &run = m.runs[t];
        double *neg = s.arena.make<double>(run.n);
        m.region_code = s.arena.make<int>(given.n_regions);
        m.region_row = s.arena.make<int>(given.n_regions);
        m.region_top = s.arena.make<double>(given.n_regions);
        if (s.arena.failed)
            return false;
        double low = INFINITY;
        for (int k = 0; k < run.n; ++k) {
            low = smaller(low, smaller(run.rows[4L * k], run.rows[4L * k + 2]));
            neg[k] = -low;
        }
        m.neg_least = neg;
        m.n_least = run.n;
        for (int r = 0; r < given.n_regions; ++r) {
            const double d = region_depth[given.first_region + r];
            if (d <= turn->top)
                continue;
            int row = 0;
            while (row < run.n && run.rows[4L * row + 1] < d)
                ++row;
            m.region_code[m.n_regions] = region_code[given.first_region + r];
            m.region_row[m.n_regions] = row;
            m.region_top[m.n_regions] = run.rows[4L * smaller(row, run.n - 1)];
            ++m.n_regions;
        }
    }
    return true;
}

int name_of(const Member &m, double p)
{
    if (m.given->naming == ARRIVALS_NAME_FOLD)
        return is_nan(m.fold) ? m.code : p > m.fold ? m.code : m.given->code_b;
    if (!m.neg_least)
        return m.code;
    // stop, the layer the ray cannot cross, is the count of -least at or
    // below -p (ascending), compared here with each region's row only:
    // stop < R where -least[R - 1] > -p, stop <= R where R is the last
    // row or -least[R] > -p.
    const double *a = m.neg_least;
    for (int r = 0; r < m.n_regions; ++r) {
        const int row = m.region_row[r];
        const bool below = row > 0 && !(a[row - 1] <= -p);
        const bool at = !below && (row == m.n_least || !(a[row] <= -p));
        if (below || (at && p > m.region_top[r]))
            return m.region_code[r];
    }
    return m.code;
}

// --- arrivals ------------------------------------------------------------------

// (p, time, dp/dX) of the ray that reaches distance s between two samples.
// tau = T - pX falls with p at the rate X.  Across the interval, X is taken
// as the quadratic in p through both ends whose integral gives the drop of
// tau: with q = (p - p1) / (p2 - p1), X(q) = x1 + b q + c q^2, where
// c = 3 (x1 + x2) - 6 I, b = x2 - x1 - c and I = (tau1 - tau2) / (p2 - p1)
// is the mean of X.  Its root q of X(q) = s (the one that tends to the
// linear one as c goes to 0), then tau integrated to it, give p and
// T = tau + p s; dp/dX is the quadratic's slope there.
void interpolate(double p1, double p2, double x1, double x2, double t1, double t2, double s,
                 double &p, double &time, double &dpdx)
{
    const double d = p2 - p1;
    const double tau1 = t1 - p1 * x1, tau2 = t2 - p2 * x2;
    const double mean = d == 0.0 ? x1 : (tau1 - tau2) / d;
    const double c = 3.0 * (x1 + x2) - 6.0 * mean;
    const double b = x2 - x1 - c;
    const double r = s - x1;
    const double root = sqrt(larger(b * b + 4.0 * c * r, 0.0));
    const double den = b + copysign(root, b);
    double q = den == 0.0 ? 0.5 : 2.0 * r / den;
    q = smaller(larger(q, 0.0), 1.0);
    p = p1 + q * d;
    const double tau = tau1 - d * q * (x1 + q * (b / 2.0 + q * c / 3.0));
    time = tau + p * s;
    const double slope = b + 2.0 * c * q;
    dpdx = slope != 0.0 ? d / slope : INFINITY;
}

// dp/dX of the branch through interval k at distance s, over the rays
// landing kSlopeSpan either side of s on the same run of the curve: each
// layer's law puts small kinks into X(p), and a locator wants the curvature
// of the branch, not of one interval's quadratic.  Near a fold or an end,
// that quadratic's.
double spread(const Source &s, const MonotoneRun &run, int k, double at, double dpdx)
{
    if (run.rising == 0)
        return dpdx;
    const double *x = s.cx;
    // a towards smaller distances, b towards larger
    int a = run.rising < 0 ? k + 1 : k, b = run.rising < 0 ? k : k + 1;
    const int lo_step = run.rising > 0 ? -1 : 1;
    while (x[a] > at - kSlopeSpan && a + lo_step >= run.first && a + lo_step <= run.last)
        a += lo_step;
    while (x[b] < at + kSlopeSpan && b - lo_step >= run.first && b - lo_step <= run.last)
        b -= lo_step;
    if (x[b] - x[a] < kSlopeSpan)
        return dpdx;
    return (s.cp[b] - s.cp[a]) / (x[b] - x[a]);
}

struct Sink {
    arrivals_arrival *out;
    int capacity, count;

    void add(const arrivals_arrival &a)
    {
        if (count < capacity)
            out[count] = a;
        ++count;
    }
};

int earlier(const void *pa, const void *pb);

// The earliest arrival of one distance, as arrivals_at orders them: of the
// rays it finds twice (which it keeps once), each copy gives the same
// fields the order reads, so the earliest of all it finds is the first it
// would return.
struct Earliest {
    arrivals_arrival best;
    bool found;

    void add(const arrivals_arrival &a)
    {
        if (!found || earlier(&a, &best) < 0)
            best = a;
        found = true;
    }
};

void angles(const Source &s, const Member &m, double p, arrivals_arrival &a)
{
    const double takeoff = asin(smaller(1.0, p / m.source_eta)) * 180.0 / kPi;
    const double incidence = asin(smaller(1.0, p / m.receiver_eta)) * 180.0 / kPi;
    a.takeoff = m.going_up ? 180.0 - takeoff : takeoff;
    a.incidence = m.arriving_down ? 180.0 - incidence : incidence;
    const double q = sqrt(larger(m.source_eta * m.source_eta - p * p, 0.0)) /
                     (s.radius - s.depth);
    a.dtdh = m.going_up ? q : -q;
}

template <class Out>
void hit(const Source &s, const MonotoneRun &run, int k, double target, int which, Out &sink)
{
    const Member &m = s.members[run.member];
    arrivals_arrival a;
    interpolate(s.cp[k], s.cp[k + 1], s.cx[k], s.cx[k + 1], s.ct[k], s.ct[k + 1], target, a.p,
                a.time, a.dpdx);
    a.dpdx = spread(s, run, k, target, a.dpdx);
    a.code = name_of(m, a.p);
    if (!s.wanted[static_cast<long>(run.member) * s.n_codes + a.code])
        return;
    a.which = which;
    a.member = run.member;
    a.travelled = target;
    angles(s, m, a.p, a);
    sink.add(a);
}

// Every interval of a run that reaches `target`, with the phase search's
// rules: an inner sample belongs to the interval it starts (the last
// interval of a piece keeps its right end), and two samples of equal p
// bound no ray.
template <class Out>
void search_run(const Source &s, const RunSpan &span, double target, int which, Out &sink)
{
    const MonotoneRun &run = s.runs[span.run];
    if (!(run.lo <= target && target <= run.hi))
        return;
    const double *x = s.cx;
    int k;
    if (run.rising == 0) {
        // x equal at both ends: only the piece's last interval keeps its end.
        if (run.last != run.piece_last)
            return;
        k = run.last - 1;
    } else {
        // k: the last sample on the near side of target (x_k <= target
        // rising, x_k >= target falling), in the span's samples first ..
        // last (x strictly monotone; the span's first is on the near side).
        // Halving without a branch the processor would have to guess: the
        // side taken is data, not code.
        const double *near = x + span.first;
        const double way = run.rising;
        int base = 0;
        for (int len = span.last - span.first + 1; len > 1;) {
            const int half = len / 2;
            base += (near[base + half] - target) * way <= 0.0 ? half : 0;
            len -= half;
        }
        k = span.first + base;
        if (k == run.last) {
            // target is the run's last sample: the next run starts there,
            // unless the piece ends there.
            if (run.last != run.piece_last)
                return;
            k = run.last - 1;
        }
    }
    if (s.cp[k] == s.cp[k + 1])
        return;
    hit(s, run, k, target, which, sink);
}

// The runs that may reach `target`, in their order: those of its span.
template <class Out>
void search_span(const Source &s, double target, int which, Out &sink)
{
    if (!(target <= s.max_distance))
        return;
    const int b = bucket_of(s, target);
    for (int k = s.bucket_first[b]; k < s.bucket_first[b + 1]; ++k)
        search_run(s, s.in_bucket[k], target, which, sink);
}

template <class Out>
void search_degree(const Source &s, double degree, int which, Out &sink)
{
    if (!is_finite(degree))
        return;
    double reduced = fmod(fabs(degree), 360.0);
    if (reduced > 180.0)
        reduced = 360.0 - reduced;
    const double rad = reduced * kPi / 180.0;
    for (int n = 0; rad + (2 * n) * kPi <= s.max_distance; ++n) {
        search_span(s, rad + (2 * n) * kPi, which, sink);
        if (reduced != 180.0)
            search_span(s, (2 * (n + 1)) * kPi - rad, which, sink);
    }
    // Diffracted and head waves run on along their boundary.
    for (int g = 0; g < s.n_members; ++g) {
        const Member &m = s.members[g];
        if (!m.graze || !((m.gx < rad || (m.from_critical && m.gx == rad)) && rad <= m.reach))
            continue;
        if (!s.wanted[static_cast<long>(g) * s.n_codes + m.code])
            continue;
        arrivals_arrival a;
        a.which = which;
        a.member = g;
        a.code = m.code;
        a.p = m.gp;
        a.time = m.gt + m.gp * (rad - m.gx);
        a.travelled = rad;
        a.dpdx = 0.0;
        angles(s, m, a.p, a);
        sink.add(a);
    }
}

// Two total orders of arrivals (ties broken to the last field, so that a
// search gives the same order however its distances were grouped): by
// name then time, to find a ray found twice; by time, as returned.
template <class T>
int order(T a, T b)
{
    return (a > b) - (a < b);
}

int before(const void *pa, const void *pb)
{
    const arrivals_arrival &a = *static_cast<const arrivals_arrival *>(pa);
    const arrivals_arrival &b = *static_cast<const arrivals_arrival *>(pb);
    int c = order(a.which, b.which);
    c = c ? c : order(a.code, b.code);
    c = c ? c : order(a.time, b.time);
    c = c ? c : order(a.p, b.p);
    c = c ? c : order(a.member, b.member);
    return c ? c : order(a.travelled, b.travelled);
}

int earlier(const void *pa, const void *pb)
{
    const arrivals_arrival &a = *static_cast<const arrivals_arrival *>(pa);
    const arrivals_arrival &b = *static_cast<const arrivals_arrival *>(pb);
    int c = order(a.which, b.which);
    c = c ? c : order(a.time, b.time);
    c = c ? c : order(a.code, b.code);
    c = c ? c : order(a.p, b.p);
    c = c ? c : order(a.member, b.member);
    return c ? c : order(a.travelled, b.travelled);
}

// The passes of each member, where it starts and ends, and the waves of the
// mantle they use; `mixed` if one member joins P and S there.
bool resolve_members(Source &src, const arrivals_leg *legs, const arrivals_member *members,
                     bool &mixed)
{
    for (int g = 0; g < src.n_members; ++g) {
        Member &m = src.members[g];
        m.given = &members[g];
        m.fold = nan();
        m.present = make_passes(src, m, legs);
        if (src.arena.failed)
            return false;
        if (!m.present)
            continue;
        bool used[2] = {false, false};
        for (int k = 0; k < m.n_passes; ++k)
            if (m.passes[k].region == ARRIVALS_MANTLE)
                used[m.passes[k].wave] = true;
        mixed |= used[0] && used[1];
        const arrivals_leg &first = legs[members[g].first_leg];
        const arrivals_leg &last = legs[members[g].first_leg + members[g].n_legs - 1];
        m.first_wave = first.wave;
        m.last_wave = last.wave;
        m.going_up = first.going_up;
        m.arriving_down = !last.arriving_up;
        used[first.wave] = used[last.wave] = true;
        src.wave_used[0] |= used[0];
        src.wave_used[1] |= used[1];
    }
    for (int w = 0; w < 2; ++w)
        if (src.wave_used[w]) {
            src.cut_source[w] = cut_at(src.model->mantle[w], src.radius, src.depth);
            src.cut_receiver[w] = cut_at(src.model->mantle[w], src.radius, src.receiver);
        }
    for (int g = 0; g < src.n_members; ++g) {
        Member &m = src.members[g];
        if (!m.present)
            continue;
        const Cut &at_source = src.cut_source[m.first_wave];
        m.source_eta = m.going_up ? at_source.above : at_source.below;
        const Cut &at_receiver = src.cut_receiver[m.last_wave];
        m.receiver_eta = src.receiver == 0.0 ? src.model->mantle[m.last_wave].rows[0]
                         : m.arriving_down ? at_receiver.above
                                           : at_receiver.below;
    }
    return true;
}

// Rays closing in on wave w's slowness either side of the source and the
// receiver, each twice as close, from kApproachSpan grid steps below it:
// into own (room for 4 (kApproach + 1)); returns how many.
int approach_rays(const Source &src, int w, double *own)
{
    const double *grid = src.model->p;
    const int n_p = src.model->n_p;
    double etas[4];
    int n_etas = 0, n_own = 0;
    const Cut *cuts[2] = {&src.cut_source[w], &src.cut_receiver[w]};
    for (const Cut *c : cuts) {
        if (c->depth <= 0.0)
            continue;
        const double sides[2] = {c->above, c->below};
        for (double e : sides) {
            bool seen = false;
            for (int k = 0; k < n_etas; ++k)
                seen |= etas[k] == e;
            if (!seen)
                etas[n_etas++] = e;
        }
    }
    for (int k = 0; k < n_etas; ++k) {
        const double eta = etas[k];
        const int below = search(grid, n_p, eta, true);  // grid rays under eta
        if (below > 0) {
            const double gap = eta - grid[larger(0, below - kApproachSpan)];
            double factor = 0.5;
            for (int a = 0; a < kApproach; ++a, factor *= 0.5)
                own[n_own++] = eta - gap * factor;
        }
        own[n_own++] = eta;
    }
    return n_own;
}

// Wave w's cumulative rows at the extra rays it is taken at (NaN at the
// others): its own, or all where a member joins P and S in the mantle.
bool extra_rows(Source &src, int w, const double *own, int n_own, bool take_all)
{
    const arrivals_stack &st = src.model->mantle[w];
    const int n_extra = src.n_extra;
    const long rows = st.n + 1, size = rows * n_extra;
    src.extra_cum_t[w] = src.arena.make<double>(size);
    src.extra_cum_x[w] = src.arena.make<double>(size);
    double *take = src.arena.make<double>(n_extra);
    int *where = src.arena.make<int>(n_extra);
    if (src.arena.failed)
        return false;
    int m = 0;
    for (int e = 0; e < n_extra; ++e) {
        bool mine = take_all;
        for (int k = 0; k < n_own && !mine; ++k)
            mine = own[k] == src.extra[e];
        if (mine) {
            where[m] = e;
            take[m++] = src.extra[e];
        }
    }
    for (long k = 0; k < size; ++k)
        src.extra_cum_t[w][k] = src.extra_cum_x[w][k] = nan();
    if (!m)
        return true;
    double *ct = src.arena.make<double>(rows * m), *cx = src.arena.make<double>(rows * m);
    if (!ct || !cx)
        return false;
    cumulative(st.rows, st.n, take, m, src.radius, ct, cx, src.arena);
    for (long j = 0; j < rows; ++j)
        for (int k = 0; k < m; ++k) {
            src.extra_cum_t[w][j * n_extra + where[k]] = ct[j * m + k];
            src.extra_cum_x[w][j * n_extra + where[k]] = cx[j * m + k];
        }
    return !src.arena.failed;
}

// The grid with rays closing in on the slowness at the source and the
// receiver, either side, and each wave's rows there.  A wave is taken at
// the other wave's rays only where a member joins the two in the mantle: an
// S ray with P's slowness at the source dives deep, and would cost the
// whole stack for samples no S curve needs.
bool merge_rays(Source &src, bool mixed)
{
    const double *grid = src.model->p;
    const int n_p = src.model->n_p;
    double own[2][4L * (kApproach + 1)] = {};
    int n_own[2] = {0, 0};
    for (int w = 0; w < 2; ++w)
        if (src.wave_used[w])
            n_own[w] = approach_rays(src, w, own[w]);
    double extra[2L * 4 * (kApproach + 1)] = {};
    int n_extra = 0;
    for (int w = 0; w < 2; ++w)
        for (int k = 0; k < n_own[w]; ++k) {
            const double e = own[w][k];
            const int at = search(grid, n_p, e, true);
            if (!(at < n_p && grid[at] == e))
                extra[n_extra++] = e;
        }
    qsort(extra, n_extra, sizeof(double), ascending);
    int distinct = 0;
    for (int k = 0; k < n_extra; ++k)
        if (k == 0 || extra[k] != extra[distinct - 1])
            extra[distinct++] = extra[k];
    n_extra = distinct;
    src.n_extra = n_extra;
    src.n = n_p + n_extra;
    src.extra = src.arena.make<double>(n_extra);
    src.grid_index = src.arena.make<int>(n_p);
    src.extra_index = src.arena.make<int>(n_extra);
    src.p = src.arena.make<double>(src.n);
    if (src.arena.failed)
        return false;
    if (n_extra)
        memcpy(src.extra, extra, sizeof(double) * n_extra);
    for (int i = 0, e = 0, k = 0; k < src.n; ++k) {
        if (e < n_extra && (i == n_p || extra[e] < grid[i])) {
            src.extra_index[e] = k;
            src.p[k] = extra[e++];
        } else {
            src.grid_index[i] = k;
            src.p[k] = grid[i++];
        }
    }
    const bool take_all = mixed || !(src.wave_used[0] && src.wave_used[1]);
    for (int w = 0; w < 2; ++w)
        if (src.wave_used[w] && !extra_rows(src, w, own[w], n_own[w], take_all))
            return false;
    return true;
}

// The core's totals on the merged grid, for the regions the members enter.
bool core_totals(Source &src)
{
    for (int c = 0; c < 3; ++c) {
        bool needed = false;
        for (int g = 0; g < src.n_members && !needed; ++g)
            for (int k = 0; k < src.members[g].n_passes; ++k) {
                const Pass &ps = src.members[g].passes[k];
                needed |= ps.region != ARRIVALS_MANTLE &&
                          (ps.region == ARRIVALS_OUTER_CORE ? 0 : ps.wave == 0 ? 1 : 2) == c;
            }
        if (!needed)
            continue;
        const arrivals_core &core = src.model->core[c];
        const int n_extra = src.n_extra;
        double *et = src.arena.make_zero<double>(n_extra), *ex = src.arena.make_zero<double>(n_extra);
        if (src.arena.failed)
            return false;
        if (n_extra && core.n && src.extra[0] < core.rows[0])
            branch_totals(core.rows, core.n, src.extra, n_extra, src.radius, core.centre_eta, et,
                          ex, src.arena);
        src.core_t[c] = merged(src, core.time, et);
        src.core_x[c] = merged(src, core.dist, ex);
        if (!src.core_t[c] || !src.core_x[c])
            return false;
    }
    return true;
}

// --- many pairs from a phase's dense table -------------------------------------
//
// The host's numpy evaluation, operation for operation: the same IEEE
// operations in the same order on the same types (the patch in float32,
// Horner's rule in v then in u; the corner's time and the cell's scales in
// float64), with no fused multiply-add (-ffp-contract=off), so that the two
// give the same bits and either is the other's check.

constexpr int kSplit = 4;                        // a split cell's sub-cells a side
constexpr int kSolve = -1, kChildren = -2;       // counts of cells
constexpr size_t kPairBlock = 32;                // pairs whose memory is asked for at once

inline void prefetch(const void *address) { __builtin_prefetch(address); }

// The cell [nodes[i], nodes[i + 1]] holding v: the largest i with
// nodes[i] <= v, at most n - 2 (and 0 below the first node).  The lookup's
// node, moved up twice, then a bisection for what is left.
int locate(const double *nodes, int n, const arrivals_lookup &lut, double v)
{
    const double f = (v - lut.start) * lut.scale;
    const int bin = !(f >= 0.0) ? 0 : f >= lut.n - 1 ? lut.n - 1 : static_cast<int>(f);
    int i = lut.nodes[bin];
    for (int step = 0; step < 2; ++step)
        i += i + 1 < n && v >= nodes[i + 1];
    if (i + 1 < n && v >= nodes[i + 1])
        i = search(nodes, n, v, false) - 1;
    return smaller(i, n - 2);
}

struct PatchValue {
    double t;
    float tu, tv;  // slopes along u and v (per cell width and height)
    int names;
    float split;
};

PatchValue bicubic(const arrivals_patch &rec, float u, float v)
{
    float c[16];
    c[0] = 0.0f;
    for (int k = 0; k < 15; ++k)
        c[k + 1] = rec.c[k];
    float a[4], b[4];  // the polynomials in u's powers
    for (int i = 0; i < 4; ++i) {
        const float *r = c + 4L * i;
        a[i] = ((r[3] * v + r[2]) * v + r[1]) * v + r[0];
        b[i] = (3.0f * r[3] * v + 2.0f * r[2]) * v + r[1];
    }
    PatchValue out;
    out.t = rec.t0 + static_cast<double>(((a[3] * u + a[2]) * u + a[1]) * u + a[0]);
    out.tu = (3.0f * a[3] * u + 2.0f * a[2]) * u + a[1];
    out.tv = ((b[3] * u + b[2]) * u + b[1]) * u + b[0];
    out.names = rec.names;
    out.split = rec.p_split;
    return out;
}

// A pair located in the grid: where it lies in its cell (u, v), the
// cell's inverse width and height, and the cell.
struct Located {
    double u, v, iu, iv;
    long cell;
    bool finite;
};

Located locate_pair(const arrivals_pair_table &tb, double h, double x)
{
    Located at{0.0, 0.0, 0.0, 0.0, 0, is_finite(h) && is_finite(x)};
    if (!at.finite)
        return at;
    const int i = locate(tb.depths, tb.n_depths, tb.depth_lookup, h);
    const int j = locate(tb.distances, tb.n_distances, tb.distance_lookup, x);
    at.iv = 1.0 / (tb.depths[i + 1] - tb.depths[i]);
    at.iu = 1.0 / (tb.distances[j + 1] - tb.distances[j]);
    at.v = (h - tb.depths[i]) * at.iv;
    at.u = (x - tb.distances[j]) * at.iu;
    at.cell = static_cast<long>(i) * (tb.n_distances - 1) + j;
    return at;
}

// One located pair: its time, slopes and name code into the outputs; false
// if the calculator must solve it.
bool pair_at(const arrivals_pair_table &tb, const Located &at, double &time, double &p,
             double &dtdh, int &code)
{
    time = p = dtdh = nan();
    code = -1;
    if (!at.finite)
        return true;
    double u = at.u, v = at.v, iu = at.iu, iv = at.iv;
    long cell = at.cell;
    int word = tb.cells[cell];
    int count = (word & 7) - 2;
    PatchValue got;
    if (count == 1) {
        got = bicubic(tb.patches[word >> 3], static_cast<float>(u), static_cast<float>(v));
    } else {
        while (count == kChildren) {
            // The sub-cell holding (u, v), numpy's truncation; a pair
            // beyond the grid goes to the sub-cells at its edge.
            const double su_f = u * kSplit, sv_f = v * kSplit;
            const int su = !(su_f >= 0.0) ? 0 : su_f >= kSplit - 1 ? kSplit - 1
                                                                   : static_cast<int>(su_f);
            const int sv = !(sv_f >= 0.0) ? 0 : sv_f >= kSplit - 1 ? kSplit - 1
                                                                   : static_cast<int>(sv_f);
            u = u * kSplit - su;
            v = v * kSplit - sv;
            iu *= kSplit;
            iv *= kSplit;
            cell = static_cast<long>(word >> 3) + static_cast<long>(sv) * kSplit + su;
            word = tb.cells[cell];
            count = (word & 7) - 2;
        }
        if (count < 1)
            return count != kSolve;
        got.t = nan();
        for (int e = 0; e < count; ++e) {
            const PatchValue other = bicubic(tb.patches[(word >> 3) + e], static_cast<float>(u),
                                             static_cast<float>(v));
            if (!(other.t >= got.t))  // the first patch, or an earlier one
                got = other;
        }
    }
    time = got.t;
    p = static_cast<double>(got.tu) * iu;
    dtdh = static_cast<double>(got.tv) * iv;
    code = p > static_cast<double>(got.split) ? (got.names & 0xFFFF) : (got.names >> 16);
    return true;
}

}  // namespace

extern "C" {

int arrivals_version(void) { return ARRIVALS_VERSION; }

arrivals_source *arrivals_source_new(const arrivals_model *model, const arrivals_leg *legs,
                                     const arrivals_member *members, int n_members,
                                     const double *region_depth, const int *region_code,
                                     const unsigned char *wanted, int n_codes, double depth,
                                     double receiver)
{
    if (!(depth >= 0.0 && depth < model->cmb && receiver >= 0.0 && receiver < model->cmb) ||
        n_members < 0 || model->n_p < 2)
        return nullptr;
    Source *s = static_cast<Source *>(calloc(1, sizeof(Source)));
    if (!s)
        return nullptr;
    Source &src = *s;  // calloc's zeros are every member's starting value
    src.model = model;
    src.depth = depth;
    src.receiver = receiver;
    src.radius = model->radius;
    src.n_members = n_members;
    src.n_codes = n_codes;
    src.wanted = wanted;
    src.members = src.arena.make_zero<Member>(n_members);
    bool mixed = false;
    const bool made = src.members && resolve_members(src, legs, members, mixed) &&
                      merge_rays(src, mixed) && core_totals(src) && lay_out(src) &&
                      prepare_naming(src, members, region_depth, region_code);
    if (!made || src.arena.failed) {
        arrivals_source_free(s);
        return nullptr;
    }
    return s;
}

void arrivals_source_free(arrivals_source *source)
{
    if (!source)
        return;
    source->arena.release();
    free(source);
}

int arrivals_at(const arrivals_source *source, const double *degrees, int n,
                arrivals_arrival *out, int capacity)
{
    Sink sink{out, capacity < 0 ? 0 : capacity, 0};
    for (int i = 0; i < n; ++i)
        search_degree(*source, degrees[i], i, sink);
    if (sink.count > sink.capacity)
        return sink.count;
    // One ray found twice (where two pieces meet) is one arrival: same name,
    // times within kSameArrival and the same ray parameter.
    qsort(out, sink.count, sizeof(arrivals_arrival), before);
    int kept = 0;
    for (int i = 0; i < sink.count; ++i) {
        bool same = false;
        for (int j = kept - 1; j >= 0 && !same; --j) {
            const arrivals_arrival &b = out[j];
            if (b.which != out[i].which || b.code != out[i].code ||
                !(out[i].time - b.time < kSameArrival))
                break;
            same = fabs(out[i].p - b.p) <= kSameRay * b.p;
        }
        if (!same)
            out[kept++] = out[i];
    }
    qsort(out, kept, sizeof(arrivals_arrival), earlier);
    return kept;
}

int arrivals_first(const arrivals_source *source, const double *degrees, int n,
                   arrivals_arrival *out)
{
    int found = 0;
    for (int i = 0; i < n; ++i) {
        Earliest sink{};
        search_degree(*source, degrees[i], i, sink);
        if (sink.found) {
            out[i] = sink.best;
            ++found;
        } else {
            out[i] = arrivals_arrival{};
            out[i].which = -1;
            out[i].member = out[i].code = -1;
            out[i].time = out[i].p = out[i].takeoff = out[i].incidence = out[i].travelled =
                out[i].dtdh = out[i].dpdx = nan();
        }
    }
    return found;
}

size_t arrivals_pairs(const arrivals_pair_table *table, const double *depths,
                      const double *distances, size_t n, double *time, double *p, double *dtdh,
                      size_t stride, int *code, size_t *solve)
{
    // Each pair reads one word and one patch at random in tables of tens of
    // MB, so the pairs go in blocks: all located and their words asked of
    // memory, then their patches asked for, then evaluated, so that the
    // block's misses overlap rather than follow one another.
    if (n == 0)
        return 0;
    const arrivals_pair_table &tb = *table;
    size_t n_solve = 0;
    unsigned char *t = reinterpret_cast<unsigned char *>(time);
    unsigned char *q = reinterpret_cast<unsigned char *>(p);
    unsigned char *d = reinterpret_cast<unsigned char *>(dtdh);
    Located at[kPairBlock];
    for (size_t start = 0; start < n; start += kPairBlock) {
        const int m = static_cast<int>(n - start < kPairBlock ? n - start : kPairBlock);
        for (int k = 0; k < m; ++k) {
            at[k] = locate_pair(tb, depths[start + k], distances[start + k]);
            prefetch(tb.cells + at[k].cell);
        }
        for (int k = 0; k < m; ++k) {
            const int word = tb.cells[at[k].cell];
            const arrivals_patch *first = tb.patches + (word >> 3);
            if (at[k].finite && (word & 7) == 3) {
                prefetch(first);
                prefetch(reinterpret_cast<const unsigned char *>(first) + sizeof *first - 1);
            }
        }
        for (int k = 0; k < m; ++k, t += stride, q += stride, d += stride) {
            double tk, pk, dk;
            if (!pair_at(tb, at[k], tk, pk, dk, code[start + k]))
                solve[n_solve++] = start + k;
            memcpy(t, &tk, sizeof tk);
            memcpy(q, &pk, sizeof pk);
            memcpy(d, &dk, sizeof dk);
        }
    }
    return n_solve;
}

}  // extern "C"
