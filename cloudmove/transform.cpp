#include "transform.h"

#include <algorithm>
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
inline bool fits(double q) { return (q > -2147483649.0) & (q < 2147483648.0); }

// Truncation toward zero, not rounding: 28.9999 gives 28, -28.9999 gives -28.
// A quotient that does not fit is replaced first, since converting it would
// be undefined; the caller refuses such a record anyway.
inline int32_t truncated(double q, bool fit) { return static_cast<int32_t>(fit ? q : 0.0); }

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
    if constexpr (lowest) take = x < lane;
    else take = x > lane;
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
                              int32_t *__restrict zs, double *__restrict nx,
                              double *__restrict ny, size_t n, const Transform &t) {
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
        if (!fits(m.qX)) bad = {'X', m.qX};
        else if (!fits(m.qY)) bad = {'Y', m.qY};
        else if (!fits(m.qZ)) bad = {'Z', m.qZ};
        else continue;
        return k;
    }
    return n;
}

// `Length` is the record length when it is known at compile time (the four
// point data formats), 0 when it is taken from `runtimeLength`.
template <size_t Length, bool rotating>
size_t move_records(unsigned char *block, size_t count, size_t runtimeLength, const Transform &t,
                    Bounds &bounds, BadCoordinate &bad) {
    const size_t length = Length ? Length : runtimeLength;
    alignas(64) int32_t xs[chunk], ys[chunk], zs[chunk];
    alignas(64) double nx[chunk], ny[chunk];
    for (size_t base = 0; base < count; base += chunk) {
        const size_t n = std::min(chunk, count - base);
        unsigned char *records = block + base * length;
        for (size_t k = 0; k < n; ++k) {
            memcpy(&xs[k], records + k * length, 4);
            memcpy(&ys[k], records + k * length + 4, 4);
            memcpy(&zs[k], records + k * length + 8, 4);
        }
        if (!move_chunk(xs, ys, zs, nx, ny, n, t)) return base + first_bad(records, n, length, t, bad);
        if constexpr (rotating) take_bounds(nx, ny, n, bounds);
        for (size_t k = 0; k < n; ++k) {
            memcpy(records + k * length, &xs[k], 4);
            memcpy(records + k * length + 4, &ys[k], 4);
            memcpy(records + k * length + 8, &zs[k], 4);
        }
    }
    return count;
}

template <size_t Length>
size_t move_records(unsigned char *block, size_t count, size_t runtimeLength, const Transform &t,
                    bool rotating, Bounds &bounds, BadCoordinate &bad) {
    return rotating ? move_records<Length, true>(block, count, runtimeLength, t, bounds, bad)
                    : move_records<Length, false>(block, count, runtimeLength, t, bounds, bad);
}

}  // namespace

size_t transform_records(unsigned char *block, size_t count, size_t recordLength,
                         const Transform &t, bool rotating, Bounds &bounds, BadCoordinate &bad) {
    switch (recordLength) {
    case 20:
        return move_records<20>(block, count, recordLength, t, rotating, bounds, bad);
    case 26:
        return move_records<26>(block, count, recordLength, t, rotating, bounds, bad);
    case 28:
        return move_records<28>(block, count, recordLength, t, rotating, bounds, bad);
    case 34:
        return move_records<34>(block, count, recordLength, t, rotating, bounds, bad);
    default:
        return move_records<0>(block, count, recordLength, t, rotating, bounds, bad);
    }
}
