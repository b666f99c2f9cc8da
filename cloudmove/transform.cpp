#include "transform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

struct Moved {
    double newX, newY;  // moved real coordinates
    double qX, qY, qZ;  // new stored values before truncation
};

// Every step is one IEEE double operation in the order written, and the build
// forbids fused multiply-add: vectorised and scalar code give the same bits.
// The same steps run for an angle of 0 (c = 1, s = 0): the centre is still
// subtracted and added back, and 0 times a NaN is still NaN.
inline Moved move_point(int32_t X, int32_t Y, int32_t Z, const Transform &t) {
    const double oldX = (X * t.XScaleFactor) + t.XOffset;
    const double oldY = (Y * t.YScaleFactor) + t.YOffset;
    const double dx = oldX - t.rotCenterX;
    const double dy = oldY - t.rotCenterY;
    const double newX = ((t.c * dx + t.rotCenterX) + t.s * dy) + t.transX;
    const double newY = ((t.sPrime * dx + t.rotCenterY) + t.c * dy) + t.transY;
    const double oldZ = (Z * t.ZScaleFactor) + t.ZOffset;
    const double newZ = oldZ + t.transZ;
    return {newX, newY, (newX - t.XOffset) / t.XScaleFactor, (newY - t.YOffset) / t.YScaleFactor,
            (newZ - t.ZOffset) / t.ZScaleFactor};
}

// Whether truncating q toward zero gives a signed 32-bit integer; false for NaN.
inline bool fits(double q) {
    return (q > -2147483649.0) & (q < 2147483648.0);
}

// Truncation toward zero, not rounding: 28.9999 gives 28, -28.9999 gives -28.
// A quotient that does not fit is replaced first, since converting it would
// be undefined; the caller refuses such a record anyway.
inline int32_t truncated(double q, bool fit) {
    return static_cast<int32_t>(fit ? q : 0.0);
}

// Records are taken in chunks: their coordinates are gathered into arrays,
// moved by a loop that the compiler vectorises, and scattered back.
constexpr size_t chunk = 512;

// The vectorised loop is built for several instruction sets, and the best one
// that the machine has is chosen when the program starts; the results are the
// same bits on all of them.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define VECTOR_CLONES
#endif

// The helpers below pass vectors by value; they are inlined, so the note that
// their calling convention would differ between instruction sets is moot.
#pragma GCC diagnostic ignored "-Wpsabi"

// Eight doubles that the compiler keeps in vector registers (four SSE
// registers, two AVX registers or one AVX-512 register).
typedef double Lanes __attribute__((vector_size(64)));
typedef int64_t LaneMask __attribute__((vector_size(64)));

// Whether `a` replaces the running extreme `m`: strictly lower for a minimum,
// strictly higher for a maximum (false for NaN either way).
template <bool lowest>
inline bool better(double a, double m) {
    return lowest ? a < m : a > m;
}

// One step of a running extreme kept in eight lanes.
template <bool lowest>
inline Lanes keep_extreme(Lanes lane, Lanes x) {
    LaneMask take;
    if constexpr (lowest)
        take = x < lane;
    else
        take = x > lane;
    return (Lanes)(((LaneMask)x & take) | ((LaneMask)lane & ~take));
}

// Moves `m` to the extreme of v[0..n), given the extremes of its first `full`
// values in eight lanes, exactly as `if (better(v[k], m)) m = v[k]` taken in
// order would. Only the sign of a zero depends on the order (-0 == +0, and
// the first one seen stays), so a zero result is looked for again in order.
template <bool lowest>
inline void settle(Lanes lane, const double *v, size_t full, size_t n, double &m) {
    double r = m;
    for (int l = 0; l < 8; ++l) r = better<lowest>(lane[l], r) ? lane[l] : r;
    for (size_t k = full; k < n; ++k) r = better<lowest>(v[k], r) ? v[k] : r;
    if (r == 0.0) {
        r = m;
        for (size_t k = 0; k < n; ++k) r = better<lowest>(v[k], r) ? v[k] : r;
    }
    m = r;
}

// The four running bounds advance together, eight values at a time: four
// independent chains of comparisons keep the processor busy.
VECTOR_CLONES void take_bounds(const double *nx, const double *ny, size_t n, Bounds &b) {
    Lanes xMin = {}, xMax = {}, yMin = {}, yMax = {};
    xMin += b.Xmin;
    xMax += b.Xmax;
    yMin += b.Ymin;
    yMax += b.Ymax;
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        Lanes x, y;
        memcpy(&x, nx + k, sizeof x);
        memcpy(&y, ny + k, sizeof y);
        xMin = keep_extreme<true>(xMin, x);
        xMax = keep_extreme<false>(xMax, x);
        yMin = keep_extreme<true>(yMin, y);
        yMax = keep_extreme<false>(yMax, y);
    }
    settle<true>(xMin, nx, k, n, b.Xmin);
    settle<false>(xMax, nx, k, n, b.Xmax);
    settle<true>(yMin, ny, k, n, b.Ymin);
    settle<false>(yMax, ny, k, n, b.Ymax);
}

// Moves the `n` points whose stored coordinates are in xs, ys, zs: they
// receive the new stored values, nx and ny the moved real X and Y. False when
// a new value does not fit (its slot then holds 0).
VECTOR_CLONES bool move_chunk(int32_t *__restrict xs, int32_t *__restrict ys,
                              int32_t *__restrict zs, double *__restrict nx, double *__restrict ny,
                              size_t n, const Transform &t) {
    unsigned allFit = 1;
    for (size_t k = 0; k < n; ++k) {
        const Moved m = move_point(xs[k], ys[k], zs[k], t);
        const bool fx = fits(m.qX), fy = fits(m.qY), fz = fits(m.qZ);
        allFit &= static_cast<unsigned>(fx & fy & fz);
        xs[k] = truncated(m.qX, fx);
        ys[k] = truncated(m.qY, fy);
        zs[k] = truncated(m.qZ, fz);
        nx[k] = m.newX;
        ny[k] = m.newY;
    }
    return allFit != 0;
}

// The first of the `n` records at `records` with a coordinate that does not fit.
size_t first_bad(const unsigned char *records, size_t n, size_t length, const Transform &t,
                 BadCoordinate &bad) {
    for (size_t k = 0; k < n; ++k) {
        int32_t X, Y, Z;
        memcpy(&X, records + k * length, 4);
        memcpy(&Y, records + k * length + 4, 4);
        memcpy(&Z, records + k * length + 8, 4);
        const Moved m = move_point(X, Y, Z, t);
        if (!fits(m.qX))
            bad = {'X', m.qX};
        else if (!fits(m.qY))
            bad = {'Y', m.qY};
        else if (!fits(m.qZ))
            bad = {'Z', m.qZ};
        else
            continue;
        return k;
    }
    return n;
}

// The first sixteen bytes of a record: X, Y, Z and four bytes that stay.
typedef int32_t Head __attribute__((vector_size(16)));

// Copies X, Y and Z of `n` records into three arrays. Four records at a time
// are loaded whole (sixteen bytes each) and turned from rows into columns,
// which costs far fewer loads and stores than taking the values one by one.
template <size_t Length>
void gather(const unsigned char *records, size_t n, int32_t *xs, int32_t *ys, int32_t *zs) {
    size_t k = 0;
    if constexpr (Length >= sizeof(Head)) {
        for (; k + 4 <= n; k += 4) {
            Head r0, r1, r2, r3;
            memcpy(&r0, records + k * Length, sizeof r0);
            memcpy(&r1, records + (k + 1) * Length, sizeof r1);
            memcpy(&r2, records + (k + 2) * Length, sizeof r2);
            memcpy(&r3, records + (k + 3) * Length, sizeof r3);
            const Head xy01 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);  // x0 x1 y0 y1
            const Head xy23 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);  // x2 x3 y2 y3
            const Head z01 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);   // z0 z1 . .
            const Head z23 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);   // z2 z3 . .
            const Head x = __builtin_shufflevector(xy01, xy23, 0, 1, 4, 5);
            const Head y = __builtin_shufflevector(xy01, xy23, 2, 3, 6, 7);
            const Head z = __builtin_shufflevector(z01, z23, 0, 1, 4, 5);
            memcpy(xs + k, &x, sizeof x);
            memcpy(ys + k, &y, sizeof y);
            memcpy(zs + k, &z, sizeof z);
        }
    }
    for (; k < n; ++k) {
        memcpy(&xs[k], records + k * Length, 4);
        memcpy(&ys[k], records + k * Length + 4, 4);
        memcpy(&zs[k], records + k * Length + 8, 4);
    }
}

// The way back: stores the new X, Y and Z into bytes 0-11 of `n` records,
// four records at a time as whole sixteen-byte heads whose bytes 12-15 are
// the ones read from the record.
template <size_t Length>
void scatter(unsigned char *records, size_t n, const int32_t *xs, const int32_t *ys,
             const int32_t *zs) {
    size_t k = 0;
    if constexpr (Length >= sizeof(Head)) {
        for (; k + 4 <= n; k += 4) {
            Head x, y, z, r[4];
            memcpy(&x, xs + k, sizeof x);
            memcpy(&y, ys + k, sizeof y);
            memcpy(&z, zs + k, sizeof z);
            for (size_t j = 0; j < 4; ++j) memcpy(&r[j], records + (k + j) * Length, sizeof r[j]);
            const Head xy01 = __builtin_shufflevector(x, y, 0, 4, 1, 5);  // x0 y0 x1 y1
            const Head xy23 = __builtin_shufflevector(x, y, 2, 6, 3, 7);  // x2 y2 x3 y3
            r[0] = __builtin_shufflevector(xy01, __builtin_shufflevector(z, r[0], 0, 7, 0, 7), 0, 1,
                                           4, 5);
            r[1] = __builtin_shufflevector(xy01, __builtin_shufflevector(z, r[1], 1, 7, 1, 7), 2, 3,
                                           4, 5);
            r[2] = __builtin_shufflevector(xy23, __builtin_shufflevector(z, r[2], 2, 7, 2, 7), 0, 1,
                                           4, 5);
            r[3] = __builtin_shufflevector(xy23, __builtin_shufflevector(z, r[3], 3, 7, 3, 7), 2, 3,
                                           4, 5);
            for (size_t j = 0; j < 4; ++j) memcpy(records + (k + j) * Length, &r[j], sizeof r[j]);
        }
    }
    for (; k < n; ++k) {
        memcpy(records + k * Length, &xs[k], 4);
        memcpy(records + k * Length + 4, &ys[k], 4);
        memcpy(records + k * Length + 8, &zs[k], 4);
    }
}

// The record length is a constant of each instantiation, so that the loops
// stride by a known amount.
template <size_t Length, bool rotating>
size_t move_records(unsigned char *block, size_t count, const Transform &t, Bounds &bounds,
                    BadCoordinate &bad) {
    alignas(64) int32_t xs[chunk], ys[chunk], zs[chunk];
    alignas(64) double nx[chunk], ny[chunk];
    for (size_t base = 0; base < count; base += chunk) {
        const size_t n = std::min(chunk, count - base);
        unsigned char *records = block + base * Length;
        gather<Length>(records, n, xs, ys, zs);
        if (!move_chunk(xs, ys, zs, nx, ny, n, t))
            return base + first_bad(records, n, Length, t, bad);
        if constexpr (rotating) take_bounds(nx, ny, n, bounds);
        scatter<Length>(records, n, xs, ys, zs);
    }
    return count;
}

template <size_t Length>
size_t move_records(unsigned char *block, size_t count, const Transform &t, bool rotating,
                    Bounds &bounds, BadCoordinate &bad) {
    return rotating ? move_records<Length, true>(block, count, t, bounds, bad)
                    : move_records<Length, false>(block, count, t, bounds, bad);
}

}  // namespace

size_t transform_records(unsigned char *block, size_t count, size_t recordLength,
                         const Transform &t, bool rotating, Bounds &bounds, BadCoordinate &bad) {
    switch (recordLength) {
    case 20:
        return move_records<20>(block, count, t, rotating, bounds, bad);
    case 26:
        return move_records<26>(block, count, t, rotating, bounds, bad);
    case 28:
        return move_records<28>(block, count, t, rotating, bounds, bad);
    case 34:
        return move_records<34>(block, count, t, rotating, bounds, bad);
    default:
        // Only the four point data formats pass the validator.
        abort();
    }
}
