// Small LAS files for the tests, written the way a command of this family
// writes them, plus the file and folder helpers the tests share.
#ifndef TESTS_SUPPORT_LAS_FIXTURE_H
#define TESTS_SUPPORT_LAS_FIXTURE_H

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "Korvana_LiDAR.h"

namespace fixture {

using Bytes = std::vector<uint8_t>;

// Record length of point data format 0 to 3 (20, 28, 26, 34).
uint16_t record_length(uint8_t format);

struct Point {
    int32_t X = 0;
    int32_t Y = 0;
    int32_t Z = 0;
    int8_t bitfield = 1;  // return number 1 of 1
};

// A LAS file in pieces: the header is written as it stands (make_las fills in
// a consistent one), then `vlrs` (the bytes up to OffsetToData), the point
// `records` and any `tail` bytes after them.
struct LasFile {
    LAS12Header header;
    Bytes vlrs;
    Bytes records;
    Bytes tail;
};

// A consistent LAS file of version 1.`versionMinor` and point data format
// `format`, its header begun by initialize_header12() as a command of this
// family begins a new file: scale factors 0.01, offsets 0, OffsetToData 227,
// the point count and bounds of `points`. Bytes 12 and up of every record hold a pattern that
// differs from record to record (the bitfield byte comes from the point).
LasFile make_las(uint8_t versionMinor, uint8_t format, const std::vector<Point> &points);

// Appends a variable-length record (54-byte header and `payload`) after the
// header, moving OffsetToData and counting it.
void add_vlr(LasFile &las, uint16_t recordId, const Bytes &payload);

Bytes to_bytes(const LasFile &las);

void write_file(const std::filesystem::path &path, const Bytes &bytes);
void write_las(const std::filesystem::path &path, const LasFile &las);
Bytes read_file(const std::filesystem::path &path);

// Whether anything stands under `path` itself (a dangling link counts).
bool exists(const std::string &path);

// The header at the start of `bytes` (which must hold at least 227 bytes).
LAS12Header header_of(const Bytes &bytes);

// The six bounds of a header, copied out of the packed record (in the order
// they are stored) so that tests can compare them by value.
struct Bounds {
    double MaxX, MinX, MaxY, MinY, MaxZ, MinZ;
    bool operator==(const Bounds &) const = default;
};
Bounds bounds_of(const LAS12Header &h);
std::ostream &operator<<(std::ostream &os, const Bounds &b);

// Stored X, Y, Z of record `k` of a file image.
Point point_of(const Bytes &bytes, uint32_t offsetToData, uint16_t recordLength, size_t k);

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace fixture

#endif  // TESTS_SUPPORT_LAS_FIXTURE_H
