// Writes examples/sample.las: a small LAS 1.2 tile with point data format 3
// (GPS time and colour) and a projection record, as an airborne scanner might
// deliver it: gently sloping ground, one flat-roofed building and a few trees,
// in UTM coordinates with centimetre resolution.
//
// Usage: make_sample OUTPUT.las [POINT_COUNT [FORMAT]]
// The same arguments give the same file on every run: the generator uses its
// own random numbers. Large counts make the benchmark's files; the points
// stream to the file, so memory stays small whatever the count.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Korvana_LiDAR.h"

namespace {

// A small xorshift generator, so that the sample does not depend on the
// standard library's distributions.
class Random {
public:
    double uniform() {  // [0, 1)
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<double>(state_ >> 11) / 9007199254740992.0;
    }

private:
    uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

constexpr double originX = 512300.0;  // south-west corner of the tile
constexpr double originY = 5403200.0;
constexpr double tileSize = 60.0;  // metres
constexpr unsigned long long defaultPointCount = 4000;

enum Class : uint8_t { Ground = 2, Vegetation = 5, Building = 6 };

struct Surface {
    double z;
    double ground;  // the terrain below the first thing hit
    Class cls;
    uint16_t red, green, blue;
};

// What the scanner sees at (x, y), relative to the tile's corner.
Surface surface_at(double x, double y, Random &random) {
    const double ground = 412.0 + 0.03 * x + 0.015 * y + 0.2 * std::sin(x / 7.0);
    if (x > 20 && x < 38 && y > 25 && y < 40) {
        return {ground + 6.5, ground, Building, 38400, 14080, 12800};  // red tiled roof
    }
    const double trees[][3] = {{10, 12, 4.0}, {48, 15, 3.5}, {14, 48, 5.0}, {50, 50, 4.5}};
    for (const auto &t : trees) {
        const double d = std::hypot(x - t[0], y - t[1]);
        if (d < t[2]) {
            const double crown = 9.0 * std::sqrt(1 - (d / t[2]) * (d / t[2]));
            const double top = ground + crown * (0.7 + 0.3 * random.uniform());
            return {top, ground, Vegetation, 8960, 26880, 8960};
        }
    }
    return {ground, ground, Ground, 30720, 28160, 21760};  // bare soil
}

void put_vlr(std::vector<uint8_t> &out, uint16_t recordId, const char *description,
             const std::vector<uint16_t> &payload) {
    uint8_t head[54] = {};
    const uint16_t length = static_cast<uint16_t>(payload.size() * 2);
    memcpy(head + 2, "LASF_Projection", 15);
    memcpy(head + 18, &recordId, 2);
    memcpy(head + 20, &length, 2);
    memcpy(head + 22, description, strlen(description));
    out.insert(out.end(), head, head + sizeof head);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(payload.data());
    out.insert(out.end(), bytes, bytes + length);
}

// Encodes one point as a record of point data format `format` (0 to 3).
void put_point(uint8_t *record, uint8_t format, const LAS12fm3 &p) {
    memcpy(record, &p, 20);  // the fields that all formats share
    if (format == 1 || format == 3) memcpy(record + 20, &p.GPSTime, 8);
    const size_t rgbAt = format == 2 ? 20 : 28;
    if (format >= 2) {
        memcpy(record + rgbAt, &p.Red, 2);
        memcpy(record + rgbAt + 2, &p.Green, 2);
        memcpy(record + rgbAt + 4, &p.Blue, 2);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 4) {
        printf(
            "Usage: make_sample OUTPUT.las [POINT_COUNT [FORMAT]]\n"
            "Writes a LAS 1.2 tile of POINT_COUNT points (default %llu) in point data\n"
            "format FORMAT (0 to 3, default 3).\n",
            defaultPointCount);
        return 1;
    }
    const unsigned long long pointCount =
        argc > 2 ? strtoull(argv[2], nullptr, 10) : defaultPointCount;
    const int format = argc > 3 ? atoi(argv[3]) : 3;
    if (pointCount > 0xFFFFFFFFull || format < 0 || format > 3) {
        printf("POINT_COUNT must fit 32 bits and FORMAT be 0, 1, 2 or 3\n");
        return 1;
    }
    static constexpr uint16_t lengths[4] = {sizeof(LAS12fm0), sizeof(LAS12fm1), sizeof(LAS12fm2),
                                            sizeof(LAS12fm3)};
    const uint16_t recordLength = lengths[format];

    // GeoTIFF keys: projected, metres, WGS 84 / UTM zone 33N.
    std::vector<uint8_t> vlrs;
    put_vlr(vlrs, 34735, "GeoKeyDirectoryTag",
            {1, 1, 0, 3, 1024, 0, 1, 1, 3072, 0, 1, 32633, 3076, 0, 1, 9001});

    LAS12Header h;
    memset(&h, 0, sizeof h);
    memcpy(h.LASF, "LASF", 4);
    h.VersionMajor = 1;
    h.VersionMinor = 2;
    strcpy(h.SystemIdentifier, "Sample airborne scanner");
    strcpy(h.GeneratingSoftware, "Korvana LiDAR Utilities");
    h.FileCreationDay = 152;
    h.FileCreationYear = 2026;
    h.HeaderSize = sizeof(LAS12Header);
    h.OffsetToData = static_cast<uint32_t>(sizeof(LAS12Header) + vlrs.size());
    h.NumberOfVariableLengthRecords = 1;
    h.PointDataFormatID = static_cast<uint8_t>(format);
    h.PointDataRecordLength = recordLength;
    h.NumberOfPointReturns = static_cast<uint32_t>(pointCount);
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 0.01;
    h.XOffset = 512000.0;
    h.YOffset = 5403000.0;
    h.ZOffset = 0.0;

    FILE *out = fopen(argv[1], "wb");
    if (out == nullptr) {
        printf("Cannot open %s for writing\n", argv[1]);
        return 1;
    }
    // The header goes out first as a placeholder and again at the end, with
    // the counts and bounds of the points written.
    bool written =
        fwrite(&h, sizeof h, 1, out) == 1 && fwrite(vlrs.data(), vlrs.size(), 1, out) == 1;

    Random random;
    std::vector<uint8_t> block;
    block.reserve(65536 * size_t{recordLength});
    double maxX = -1e300, minX = 1e300, maxY = -1e300, minY = 1e300, maxZ = -1e300, minZ = 1e300;
    uint32_t byReturn[5] = {};
    double gpsTime = 362514.25;  // seconds into the GPS week of the flight
    for (unsigned long long k = 0; k < pointCount && written; ++k) {
        const double x = tileSize * random.uniform(), y = tileSize * random.uniform();
        const Surface s = surface_at(x, y, random);
        // Vegetation gives a second return from the ground below half the time.
        const bool secondReturn = s.cls == Vegetation && random.uniform() < 0.5;
        const double z = secondReturn ? s.ground : s.z;
        const int returnNumber = secondReturn ? 2 : 1;
        const int returns = s.cls == Vegetation ? 2 : 1;

        LAS12fm3 p{};
        p.X = static_cast<int32_t>(std::lround((originX + x - h.XOffset) / h.XScaleFactor));
        p.Y = static_cast<int32_t>(std::lround((originY + y - h.YOffset) / h.YScaleFactor));
        p.Z = static_cast<int32_t>(std::lround((z - h.ZOffset) / h.ZScaleFactor));
        p.Intensity =
            static_cast<uint16_t>((s.cls == Building ? 900 : 400) + 300 * random.uniform());
        p.bitfield = static_cast<int8_t>(returnNumber | returns << 3);
        p.Classification = s.cls;
        p.ScanAngleRank = static_cast<uint8_t>(static_cast<int8_t>(-12 + 24 * x / tileSize));
        p.PointSourceID = 7;
        gpsTime += 0.00002 + 0.00001 * random.uniform();
        p.GPSTime = gpsTime;
        p.Red = s.red;
        p.Green = s.green;
        p.Blue = s.blue;

        block.resize(block.size() + recordLength);
        put_point(block.data() + block.size() - recordLength, static_cast<uint8_t>(format), p);
        if (block.size() == block.capacity()) {
            written = fwrite(block.data(), block.size(), 1, out) == 1;
            block.clear();
        }

        const double realX = p.X * h.XScaleFactor + h.XOffset;
        const double realY = p.Y * h.YScaleFactor + h.YOffset;
        const double realZ = p.Z * h.ZScaleFactor + h.ZOffset;
        maxX = std::fmax(maxX, realX), minX = std::fmin(minX, realX);
        maxY = std::fmax(maxY, realY), minY = std::fmin(minY, realY);
        maxZ = std::fmax(maxZ, realZ), minZ = std::fmin(minZ, realZ);
        ++byReturn[returnNumber - 1];
    }
    if (written && !block.empty()) written = fwrite(block.data(), block.size(), 1, out) == 1;
    memcpy(h.NumberOfPointsByReturn, byReturn, sizeof byReturn);
    if (pointCount > 0) {
        h.MaxX = maxX, h.MinX = minX, h.MaxY = maxY, h.MinY = minY, h.MaxZ = maxZ, h.MinZ = minZ;
    }
    written = written && fseeko(out, 0, SEEK_SET) == 0 && fwrite(&h, sizeof h, 1, out) == 1;
    if (fclose(out) != 0 || !written) {
        printf("Failed to write %s\n", argv[1]);
        return 1;
    }
    printf("Wrote %llu points to %s\n", pointCount, argv[1]);
    return 0;
}
