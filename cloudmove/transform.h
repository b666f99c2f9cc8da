// The per-record arithmetic of cloudmove: rotate about a centre in the
// horizontal plane, translate, re-quantise.
#ifndef CLOUDMOVE_TRANSFORM_H
#define CLOUDMOVE_TRANSFORM_H

#include <cstddef>
#include <cstdint>

// Everything the arithmetic needs, fixed before the first record.
struct Transform {
    double c;       // cos(theta)
    double s;       // sin(theta)
    double sPrime;  // sin(-theta), evaluated by itself rather than negated
    double transX, transY, transZ;
    double rotCenterX, rotCenterY;
    double XScaleFactor, YScaleFactor, ZScaleFactor;
    double XOffset, YOffset, ZOffset;
};

// Degrees to radians. Slightly larger than pi/180; moved files depend on this
// very value, so it is not to be replaced by a more exact one.
inline constexpr double K = 0.01745329252;

// Bounds of the moved cloud's real X and Y. They start far away, so that a
// file without records gets X and Y bounds of +-1e13.
struct Bounds {
    double Xmin = 10000000000000.0;
    double Xmax = -10000000000000.0;
    double Ymin = 10000000000000.0;
    double Ymax = -10000000000000.0;
};

// A new coordinate that does not fit a signed 32-bit integer (or is NaN).
struct BadCoordinate {
    char axis;        // 'X', 'Y' or 'Z'
    double quotient;  // (new real value - offset) / scale factor
};

// Rewrites X, Y and Z (bytes 0-11) of the `count` records of `recordLength`
// bytes (20, 26, 28 or 34: the point data formats 0 to 3) at `block`; every
// other byte stays as it is. When `rotating`, the
// bounds take in the moved real X and Y (before truncation). Returns how many
// leading records were rewritten: `count`, or fewer when a new coordinate of
// the next record does not fit, which `bad` then describes.
size_t transform_records(unsigned char *block, size_t count, size_t recordLength,
                         const Transform &t, bool rotating, Bounds &bounds, BadCoordinate &bad);

#endif  // CLOUDMOVE_TRANSFORM_H
