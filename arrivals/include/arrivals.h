/* arrivals.h - the arrivals of seismic phases at any distance, from a
 * spherical model's tau-p tables, for one source and receiver depth.
 *
 * A host hands the engine its tables (a grid of ray parameters; each wave's
 * mantle as slowness layers with the time and distance a ray spends above
 * each layer boundary; the core's totals), and its phases already read as
 * legs.  arrivals_source_new cuts the source's and the receiver's layers,
 * sums each phase's curve over the grid and lays the curves out;
 * arrivals_at then finds, names and interpolates every arrival at one or
 * many distances.  Units: depths and radii in km, slownesses and ray
 * parameters in s/rad, distances in rad (degrees where asked), times in s.
 *
 * A source is read-only once made: any number of threads may search it at
 * once.  arrivals_at allocates nothing.  Every input value gives a defined
 * result: bad values give no arrivals, never a crash or a hang.  Pointers
 * and counts are trusted. */
#ifndef ARRIVALS_H
#define ARRIVALS_H

#if defined(_WIN32) && defined(ARRIVALS_BUILDING)
#define ARRIVALS_API __declspec(dllexport)
#elif defined(_WIN32)
#define ARRIVALS_API __declspec(dllimport)
#elif defined(ARRIVALS_BUILDING) && defined(__GNUC__)
#define ARRIVALS_API __attribute__((visibility("default")))
#else
#define ARRIVALS_API
#endif

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface: a host checks it before anything else. */
#define ARRIVALS_VERSION 1

/* Depth codes of a leg's ends that the source and receiver depths fill in. */
#define ARRIVALS_AT_SOURCE (-1.0)
#define ARRIVALS_AT_RECEIVER (-2.0)

enum ArrivalsRegion { ARRIVALS_MANTLE = 0, ARRIVALS_OUTER_CORE = 1, ARRIVALS_INNER_CORE = 2 };
enum ArrivalsKind { ARRIVALS_RAY = 0, ARRIVALS_DIRECT = 1, ARRIVALS_DIFFRACTED = 2,
                    ARRIVALS_HEAD = 3 };
enum ArrivalsNaming { ARRIVALS_NAME_FIXED = 0, ARRIVALS_NAME_FOLD = 1, ARRIVALS_NAME_REGION = 2 };

/* One wave's crust and mantle: n slowness-layer rows (4 doubles each, as
 * traveltime.h lays them out) from the surface to the core, the least
 * slowness from the surface down to each layer, and for every ray of the
 * grid the time and distance it spends above the top of each layer coming
 * down from the surface ((n + 1) rows of n_p, row n the whole mantle; a ray
 * stops at its first layer it cannot cross, turning inside it if it can). */
typedef struct {
    int n;
    const double *rows;
    const double *least;
    const double *cum_time;
    const double *cum_dist;
} arrivals_stack;

/* A region of the core: its rows, and every grid ray's time and distance
 * across it, turning in it or not; centre_eta > 0 where the region holds
 * the small ball left at the centre (the slowness at its edge). */
typedef struct {
    int n;
    const double *rows;
    const double *time;
    const double *dist;
    double centre_eta;
} arrivals_core;

typedef struct {
    double radius, cmb, icb;
    int n_p;
    const double *p; /* the grid, ascending */
    arrivals_stack mantle[2];
    arrivals_core core[3]; /* outer core (P), inner core P, inner core S */
} arrivals_model;

/* A leg: a wave in a region from `start` going down (or up) to `end`,
 * arriving down (or up); one going down and arriving up turns, below
 * `below` if that is not NaN.  Depths in km, or ARRIVALS_AT_SOURCE,
 * ARRIVALS_AT_RECEIVER. */
typedef struct {
    int wave, region;
    double start, end, below;
    int going_up, arriving_up;
} arrivals_leg;

/* A member of a family of phases: its legs, what it is, how its arrivals
 * are named (a fixed code; PKP's two codes either side of its fold; or a
 * plain code with a code for each boundary a ray bottoms above, taken from
 * the region lists), and which codes answer the request it belongs to
 * (row `member` of the wanted matrix).  A diffracted or head wave runs
 * along the boundary at head_depth in head_region for head_reach rad
 * beyond the distance its legs take (the whole way to 180 deg for
 * head_reach <= 0). */
typedef struct {
    int first_leg, n_legs;
    int kind;
    int head_wave, head_region;
    double head_depth, head_reach;
    int naming;
    int code, code_b;
    int first_region, n_regions;
} arrivals_member;

/* One arrival: the distance it answers (index into the degrees asked), its
 * member and name code, time, ray parameter, take-off and incidence angles
 * (deg), the distance its ray travels (rad), dT/dh (s/km) and
 * dp/dX = d2T/dX2 (s/rad^2). */
typedef struct {
    int which, member, code;
    double time, p, takeoff, incidence, travelled, dtdh, dpdx;
} arrivals_arrival;

typedef struct arrivals_source arrivals_source;

ARRIVALS_API int arrivals_version(void);

/* The curves of the members for a source at `depth` and a receiver at
 * `receiver` km; region_depth/region_code hold the naming boundaries,
 * wanted is n_members x n_codes (nonzero: kept).  NULL if memory runs
 * out or a depth lies outside the mantle. */
ARRIVALS_API arrivals_source *arrivals_source_new(
    const arrivals_model *model, const arrivals_leg *legs, const arrivals_member *members,
    int n_members, const double *region_depth, const int *region_code,
    const unsigned char *wanted, int n_codes, double depth, double receiver);

ARRIVALS_API void arrivals_source_free(arrivals_source *source);

/* Every arrival at each of the n distances (degrees), sorted by distance
 * asked then time, into out; returns how many.  A return above capacity
 * means out holds none of them: call again with room for that many (the
 * rays found before one found twice is dropped, so that many suffices).
 * Distances are reduced like the phase search's (any sign, any number of
 * turns); a non-finite one has no arrival. */
ARRIVALS_API int arrivals_at(const arrivals_source *source, const double *degrees, int n,
                             arrivals_arrival *out, int capacity);

/* The earliest arrival at each of the n distances (degrees): out[i] is the
 * one arrivals_at would list first for degrees[i], or has which = -1 (and
 * a NaN time) where none arrives.  out holds n arrivals; returns how many
 * distances have one.  For the first P of many stations, say, with no sort
 * of the arrivals and no room to guess. */
ARRIVALS_API int arrivals_first(const arrivals_source *source, const double *degrees, int n,
                                arrivals_arrival *out);

/* --- many (depth, distance) pairs from one phase's dense table -------------
 *
 * A host's table of one phase's first arrival over a grid of source depths
 * (km) by distances (degrees): over each cell, each branch that can be first
 * is a bicubic patch of the time, and the earliest of them is taken.  This
 * evaluates it for many pairs at once, each at its own depth. */

/* A patch over a cell, u along the distance and v along the depth, each 0
 * to 1 across it: T = t0 + sum c[4i + j - 1] u^i v^j over (i, j) != (0, 0),
 * the coefficients in float32 (80 bytes, the host's record); the name is
 * code `names & 0xFFFF` where p (s/deg) lies above p_split, `names >> 16`
 * below. */
typedef struct {
    double t0;
    float c[15];
    float p_split;
    int names;
    int pad;
} arrivals_patch;

/* nodes[(int)((value - start) * scale)], the index clipped into 0 .. n - 1,
 * is the index of a grid node at or below the value (a guess the search
 * moves up from). */
typedef struct {
    double start, scale;
    int n;
    const int *nodes;
} arrivals_lookup;

/* The grid's nodes, ascending, and a word per cell, first * 8 + count + 2:
 * the cells of the grid row by row in depth, then the sub-cells of split
 * ones.  count patches from patches[first]; count 0: the phase does not
 * arrive there; -1: the calculator must solve the pair; -2: the cell is
 * split 4 x 4 into the cells first .. first + 15, by depth then distance. */
typedef struct {
    int n_depths, n_distances;
    const double *depths, *distances;
    const int *cells;
    const arrivals_patch *patches;
    arrivals_lookup depth_lookup, distance_lookup;
} arrivals_pair_table;

/* The first arrival of the table's phase at n pairs: the time (s), p = dT/dD
 * (s/deg) and dT/dh (s/km), the slopes of the time interpolated, each
 * written `stride` bytes after the last (sizeof(double) for plain arrays,
 * a record's size to fill the fields of records), and code[k] the name's
 * code.  NaN and code -1 where the phase does not arrive, the depth or
 * distance is not finite, or the calculator must solve the pair; the
 * indices of the last go into solve, in order, and the return value says
 * how many.  Beyond the grid the edge cells' patches are extrapolated.
 * The arithmetic is the host's (numpy's), operation for operation, so
 * that the two give the same bits. */
ARRIVALS_API size_t arrivals_pairs(const arrivals_pair_table *table, const double *depths,
                                   const double *distances, size_t n, double *time, double *p,
                                   double *dtdh, size_t stride, int *code, size_t *solve);

#ifdef __cplusplus
}
#endif

#endif /* ARRIVALS_H */
