#include "las_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace fixture {

uint16_t record_length(uint8_t format) {
    static constexpr uint16_t lengths[4] = {sizeof(LAS12fm0), sizeof(LAS12fm1), sizeof(LAS12fm2),
                                            sizeof(LAS12fm3)};
    return format < 4 ? lengths[format] : 0;
}

LasFile make_las(uint8_t versionMinor, uint8_t format, const std::vector<Point> &points) {
    LasFile las{};
    LAS12Header &h = las.header;
    // The defaults leave some bytes as they were: `las{}` has cleared them.
    initialize_header12(&h);
    h.VersionMinor = versionMinor;
    h.PointDataFormatID = format;
    h.PointDataRecordLength = record_length(format);
    h.NumberOfPointReturns = static_cast<uint32_t>(points.size());
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 0.01;

    const size_t length = record_length(format);
    las.records.assign(points.size() * length, 0);
    double maxX = -1e300, minX = 1e300, maxY = -1e300, minY = 1e300, maxZ = -1e300, minZ = 1e300;
    uint32_t byReturn[5] = {};
    for (size_t k = 0; k < points.size(); ++k) {
        const Point &p = points[k];
        uint8_t *r = las.records.data() + k * length;
        memcpy(r, &p.X, 4);
        memcpy(r + 4, &p.Y, 4);
        memcpy(r + 8, &p.Z, 4);
        for (size_t b = 12; b < length; ++b) r[b] = static_cast<uint8_t>(k * 31 + b * 7 + 3);
        memcpy(r + 14, &p.bitfield, 1);
        const int returnNumber = p.bitfield & 7;
        if (returnNumber >= 1 && returnNumber <= 5) ++byReturn[returnNumber - 1];
        maxX = std::max(maxX, p.X * 0.01);
        minX = std::min(minX, p.X * 0.01);
        maxY = std::max(maxY, p.Y * 0.01);
        minY = std::min(minY, p.Y * 0.01);
        maxZ = std::max(maxZ, p.Z * 0.01);
        minZ = std::min(minZ, p.Z * 0.01);
    }
    memcpy(h.NumberOfPointsByReturn, byReturn, sizeof byReturn);
    if (!points.empty()) {
        h.MaxX = maxX;
        h.MinX = minX;
        h.MaxY = maxY;
        h.MinY = minY;
        h.MaxZ = maxZ;
        h.MinZ = minZ;
    }
    return las;
}

void add_vlr(LasFile &las, uint16_t recordId, const Bytes &payload) {
    Bytes vlr(54, 0);
    const uint16_t length = static_cast<uint16_t>(payload.size());
    memcpy(vlr.data() + 2, "LASF_Projection", 15);
    memcpy(vlr.data() + 18, &recordId, 2);
    memcpy(vlr.data() + 20, &length, 2);
    memcpy(vlr.data() + 22, "test record", 11);
    vlr.insert(vlr.end(), payload.begin(), payload.end());
    las.vlrs.insert(las.vlrs.end(), vlr.begin(), vlr.end());
    las.header.OffsetToData = static_cast<uint32_t>(sizeof(LAS12Header) + las.vlrs.size());
    las.header.NumberOfVariableLengthRecords = las.header.NumberOfVariableLengthRecords + 1;
}

Bytes to_bytes(const LasFile &las) {
    Bytes bytes(sizeof(LAS12Header) + las.vlrs.size() + las.records.size() + las.tail.size());
    uint8_t *at = bytes.data();
    memcpy(at, &las.header, sizeof(LAS12Header));
    at += sizeof(LAS12Header);
    for (const Bytes *piece : {&las.vlrs, &las.records, &las.tail}) {
        if (!piece->empty()) memcpy(at, piece->data(), piece->size());
        at += piece->size();
    }
    return bytes;
}

void write_file(const std::filesystem::path &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void write_las(const std::filesystem::path &path, const LasFile &las) {
    write_file(path, to_bytes(las));
}

Bytes read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

LAS12Header header_of(const Bytes &bytes) {
    if (bytes.size() < sizeof(LAS12Header)) throw std::runtime_error("no LAS header");
    LAS12Header h;
    memcpy(&h, bytes.data(), sizeof h);
    return h;
}

Bounds bounds_of(const LAS12Header &h) {
    return {h.MaxX, h.MinX, h.MaxY, h.MinY, h.MaxZ, h.MinZ};
}

std::ostream &operator<<(std::ostream &os, const Bounds &b) {
    return os << "X " << b.MinX << ".." << b.MaxX << ", Y " << b.MinY << ".." << b.MaxY << ", Z "
              << b.MinZ << ".." << b.MaxZ;
}

Point point_of(const Bytes &bytes, uint32_t offsetToData, uint16_t recordLength, size_t k) {
    Point p;
    const uint8_t *r = bytes.data() + offsetToData + k * recordLength;
    memcpy(&p.X, r, 4);
    memcpy(&p.Y, r + 4, 4);
    memcpy(&p.Z, r + 8, 4);
    memcpy(&p.bitfield, r + 14, 1);
    return p;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvana-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // A test may have taken write permission away from a folder inside.
    for (const auto &entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace fixture
