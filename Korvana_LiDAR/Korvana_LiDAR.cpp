// Korvana LiDAR Utilities: the LAS support library.
//
// Everything here is built with hidden visibility; only the routines declared
// in Korvana_LiDAR.h are exported.

#include "Korvana_LiDAR.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "Korvana_LiDAR_internal.h"

namespace {

// Closes a file descriptor when the routine that opened it returns.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Opens for reading without blocking, so that probing a FIFO never waits for
// a writer.
int open_for_probe(const char *filename) {
    return open(filename, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// The record length of point data formats 0 to 3.
constexpr uint16_t lengthOfFormat[4] = {sizeof(LAS12fm0), sizeof(LAS12fm1), sizeof(LAS12fm2),
                                        sizeof(LAS12fm3)};

// A one-digit value inside a message is printed as the character 48 + value.
char digit(uint8_t value) {
    return static_cast<char>(48 + value);
}

}  // namespace

// ---------------------------------------------------------------------------
// File checks, validator, messages and banner
// ---------------------------------------------------------------------------

int16_t file_access(const char *filename) {
    FileDescriptor file(open_for_probe(filename));
    if (file.get() < 0) {
        printf("Unable to open file %s in file_access()\n", filename);
        return -1;
    }
    return 0;
}

int16_t check_file_extension(const char *filename, const char *extension) {
    const size_t n = strlen(filename);
    if (n <= 4) {
        printf("\nFile name (%s) is too short\n", filename);
        return -1;
    }
    if (filename[n - 4] != '.') {
        printf("\nExtension of file %s should be preceeded by a dot (.)\n", filename);
        return -1;
    }
    // An extension that is not exactly three characters long never matches.
    if (strcmp(filename + n - 3, extension) == 0) return 0;
    printf("\nFile extension of %s is not .%s\n", filename, extension);
    return -1;
}

void error_msg(int32_t i, const char *text) {
    switch (i) {
    case 1:
        printf("\nFile %s does NOT exist\n", text);
        break;
    case 2:
        printf("\nFile %s already exists\n", text);
        break;
    case 3:
        printf("\nSame file name (%s) has been specified twice\n", text);
        break;
    default:
        break;
    }
}

int16_t check_las(const char *filename) {
    if (file_access(filename) != 0) {
        error_msg(1, filename);
        return LAS_TYPE_FAILURE;
    }
    if (check_file_extension(filename, "las") != 0) return LAS_TYPE_FAILURE;

    FileDescriptor file(open_for_probe(filename));
    if (file.get() < 0) {
        printf("\nCannot open binary file %s for reading\n\n", filename);
        return LAS_TYPE_FAILURE;
    }

    // The fields examined all lie in the first 107 bytes. A file that is not a
    // regular file (a directory, a FIFO), or that ends before a field, is not
    // a LAS file that can be processed.
    unsigned char head[107] = {};
    struct stat info {};
    ssize_t got = -1;
    if (fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode)) {
        got = pread(file.get(), head, sizeof head, 0);
    }
    const auto holds = [got](size_t offset, size_t width) {
        return got >= 0 && static_cast<size_t>(got) >= offset + width;
    };
    const auto not_las = [filename] {
        printf("\n%s is not a valid .las file\n\n", filename);
        return static_cast<int16_t>(LAS_TYPE_FAILURE);
    };

    if (!holds(0, 4) || memcmp(head, "LASF", 4) != 0) return not_las();

    if (!holds(offsetof(LAS12Header, VersionMajor), 1)) return not_las();
    const uint8_t versionMajor = head[offsetof(LAS12Header, VersionMajor)];
    if (versionMajor != 1) {
        printf("\nCannot handle las files of version %c.x\n", digit(versionMajor));
        return LAS_TYPE_FAILURE;
    }

    if (!holds(offsetof(LAS12Header, VersionMinor), 1)) return not_las();
    const uint8_t versionMinor = head[offsetof(LAS12Header, VersionMinor)];
    if (versionMinor > 2) {
        printf("\nCannot handle las files of version %c.%c\n", digit(versionMajor),
               digit(versionMinor));
        return LAS_TYPE_FAILURE;
    }

    if (!holds(offsetof(LAS12Header, PointDataFormatID), 1)) return not_las();
    const uint8_t format = head[offsetof(LAS12Header, PointDataFormatID)];
    if (format > 3) {
        printf("\nPointDataFormatID in %s is %c. Only 0, 1, 2, or 3 is accepted\n", filename,
               digit(format));
        return LAS_TYPE_FAILURE;
    }

    if (!holds(offsetof(LAS12Header, PointDataRecordLength), 2)) return not_las();
    uint16_t recordLength = 0;
    memcpy(&recordLength, head + offsetof(LAS12Header, PointDataRecordLength), 2);

    // LAS 1.0 and 1.1 know formats 2 and 3 only as an unsupported type.
    if (versionMinor < 2 && format >= 2) return LAS_TYPE_UNSUPPORTED;

    if (recordLength != lengthOfFormat[format]) {
        printf("\nData format of %s (%c) is incompatible with Length of Data Record (%d)\n",
               filename, digit(format), static_cast<int>(recordLength));
        return LAS_TYPE_FAILURE;
    }
    // Codes 1-2 for LAS 1.0, 3-4 for 1.1, 5-8 for 1.2.
    return static_cast<int16_t>(1 + 2 * versionMinor + format);
}

void credits(void) {
    printf("\nKorvana LiDAR Utilities");
    printf("\n\nDeveloped and maintained by the Korvana LiDAR team");
    printf("\nKorvana Geospatial Tools Group");
    printf("\n12 Baseline Road, Meridian Town 00000");
    printf("\n\n** No warranty regarding script behavior is given or implied **");
    printf("\n** Acknowledging the author's efforts ensures script updates and availability **\n");
}

// ---------------------------------------------------------------------------
// File access shared with the commands of this project
// ---------------------------------------------------------------------------

ssize_t korvana_internal::read_at(int fd, void *buf, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, static_cast<char *>(buf) + done, size - done,
                                offset + static_cast<off_t>(done));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int korvana_internal::write_at(int fd, const void *buf, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, static_cast<const char *>(buf) + done, size - done,
                                 offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Header statistics refresh
// ---------------------------------------------------------------------------

namespace {

static_assert(sizeof(off_t) >= 8, "files beyond 4 GiB need 64-bit file offsets");

// Point records stream through one buffer of this size, rounded down to whole
// records, so that memory use does not depend on the size of the file.
constexpr size_t scanBlockBytes = size_t{1} << 20;

// Running state of one scan. The extremes start inside the 32-bit range (and
// within ten million for Z) rather than at its limits: callers rely on these
// very values, which is what a file without records ends up with.
struct RecordTally {
    int32_t maxX = -2147483646;
    int32_t minX = 2147483646;
    int32_t maxY = -2147483646;
    int32_t minY = 2147483646;
    int32_t maxZ = -10000000;
    int32_t minZ = 10000000;
    uint64_t records = 0;
    uint64_t byReturnNumber[8] = {};  // index: bitfield & 7
    bool moving = true;               // the last chunk moved the extremes
};

// Adds one to the 8-bit counter of a record's return number: eight counters
// in one word, indexed by the low three bits of the bitfield byte.
constexpr std::array<uint64_t, 256> returnNumberUnits = [] {
    std::array<uint64_t, 256> units{};
    for (size_t b = 0; b < units.size(); ++b) units[b] = uint64_t{1} << ((b & 7) * 8);
    return units;
}();

uint64_t return_number_unit(const unsigned char *record) {
    return returnNumberUnits[record[offsetof(LAS12fm0, bitfield)]];
}

// The first sixteen bytes of a record, X, Y and Z in the first three lanes.
using Lanes = uint32_t __attribute__((vector_size(16)));
using LaneMask = int32_t __attribute__((vector_size(16)));

// Moves the extremes record by record; returns the return number counters
// of the records when asked to count them.
template <size_t recordLength, bool counting>
uint64_t update_extremes(const unsigned char *block, size_t count, RecordTally &t) {
    int32_t maxX = t.maxX, minX = t.minX, maxY = t.maxY, minY = t.minY, maxZ = t.maxZ,
            minZ = t.minZ;
    uint64_t counters = 0;
    for (const unsigned char *r = block, *end = block + count * recordLength; r != end;
         r += recordLength) {
        int32_t X, Y, Z;
        memcpy(&X, r, 4);
        memcpy(&Y, r + 4, 4);
        memcpy(&Z, r + 8, 4);
        if (maxX < X) maxX = X;
        if (minX > X) minX = X;
        if (maxY < Y) maxY = Y;
        if (minY > Y) minY = Y;
        if (maxZ < Z) maxZ = Z;
        if (minZ > Z) minZ = Z;
        if constexpr (counting) counters += return_number_unit(r);
    }
    t.moving = maxX != t.maxX || minX != t.minX || maxY != t.maxY || minY != t.minY ||
               maxZ != t.maxZ || minZ != t.minZ;
    t.maxX = maxX, t.minX = minX, t.maxY = maxY, t.minY = minY, t.maxZ = maxZ, t.minZ = minZ;
    return counters;
}

// True if a record lies outside the extremes (its wrapping distance from the
// minimum exceeds the span), checked four lanes at a time without a branch
// per record. Adds the records' return number counters to `counters`.
template <size_t recordLength>
bool any_outside(const unsigned char *block, size_t count, const RecordTally &t,
                 uint64_t &counters) {
    const Lanes low = {static_cast<uint32_t>(t.minX), static_cast<uint32_t>(t.minY),
                       static_cast<uint32_t>(t.minZ), 0};
    const Lanes span = Lanes{static_cast<uint32_t>(t.maxX), static_cast<uint32_t>(t.maxY),
                             static_cast<uint32_t>(t.maxZ), 0} -
                       low;
    LaneMask outside = {};
    for (const unsigned char *r = block, *end = block + count * recordLength; r != end;
         r += recordLength) {
        Lanes lanes;
        memcpy(&lanes, r, sizeof lanes);
        outside |= (lanes - low) > span;
        counters += return_number_unit(r);
    }
    // The fourth lane (intensity, bitfield, classification) is not looked at.
    return (outside[0] | outside[1] | outside[2]) != 0;
}

// Tallies `count` records of `recordLength` bytes, a constant so that the
// loops stride by a known amount, in chunks of at most 255 records so that
// the 8-bit counters cannot wrap before they are emptied.
//
// Once the extremes settle, most records lie within them and cannot move
// them: a chunk is then only checked, and updated record by record only if it
// holds a record outside. While the extremes keep moving (ordered points, and
// always at the start, where each maximum lies below its minimum and the
// check does not hold) chunks go straight to the update.
template <size_t recordLength>
void tally_records(const unsigned char *block, size_t count, RecordTally &t) {
    static_assert(recordLength >= sizeof(Lanes), "a lane load stays inside its record");
    constexpr size_t chunkRecords = 255;
    while (count > 0) {
        const size_t n = count < chunkRecords ? count : chunkRecords;
        uint64_t counters = 0;
        if (t.moving) {
            counters = update_extremes<recordLength, true>(block, n, t);
        } else if (any_outside<recordLength>(block, n, t, counters)) {
            update_extremes<recordLength, false>(block, n, t);
        }
        for (size_t k = 0; k < 8; ++k) t.byReturnNumber[k] += (counters >> (8 * k)) & 0xFF;
        t.records += n;
        block += n * recordLength;
        count -= n;
    }
}

void tally(const unsigned char *block, size_t count, size_t recordLength, RecordTally &t) {
    switch (recordLength) {
    case sizeof(LAS12fm0):
        return tally_records<sizeof(LAS12fm0)>(block, count, t);
    case sizeof(LAS12fm1):
        return tally_records<sizeof(LAS12fm1)>(block, count, t);
    case sizeof(LAS12fm2):
        return tally_records<sizeof(LAS12fm2)>(block, count, t);
    default:
        return tally_records<sizeof(LAS12fm3)>(block, count, t);
    }
}

// Record length of file type code 1 to 8 (codes 1-6 alternate formats 0
// and 1; 7 and 8 are formats 2 and 3).
size_t record_length_of(int16_t lasType) {
    return lengthOfFormat[lasType <= 6 ? (lasType - 1) % 2 : lasType - 5];
}

// The file being refreshed. Unlike FileDescriptor its close is checked: the
// header has only reached the file once the close has succeeded too.
class FileForUpdate {
public:
    explicit FileForUpdate(const char *filename) : fd_(open(filename, O_RDWR | O_CLOEXEC)) {}
    FileForUpdate(const FileForUpdate &) = delete;
    FileForUpdate &operator=(const FileForUpdate &) = delete;
    ~FileForUpdate() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    bool close_checked() {
        const int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

private:
    int fd_;
};

// Scans every complete record from `offset` on into `t`. False after
// printing why the file could not be read.
bool scan_records(int fd, off_t offset, size_t recordLength, const char *filename, RecordTally &t) {
    const size_t blockBytes = scanBlockBytes / recordLength * recordLength;
    const std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[blockBytes]);
    if (!block) {
        printf("\nCannot allocate memory for storing a record of information from %s\n", filename);
        return false;
    }
    posix_fadvise(fd, offset, 0, POSIX_FADV_SEQUENTIAL);
    for (;;) {
        const ssize_t got = korvana_internal::read_at(fd, block.get(), blockBytes, offset);
        if (got < 0) {
            printf("\nFailed to read %s: %s\n", filename, strerror(errno));
            return false;
        }
        // A short block is the end of the file; a fragment after the last
        // complete record is not a record.
        tally(block.get(), static_cast<size_t>(got) / recordLength, recordLength, t);
        if (static_cast<size_t>(got) < blockBytes) return true;
        offset += static_cast<off_t>(blockBytes);
    }
}

// Everything but the final exit: returns false after printing why, having
// released what it holds, so that the caller only has to end the process.
bool refresh_header(const char *filename, size_t recordLength) {
    FileForUpdate file(filename);
    if (file.get() < 0) {
        printf("\nCannot open binary file %s for header update\n\n", filename);
        return false;
    }

    LAS12Header header;
    const ssize_t got = korvana_internal::read_at(file.get(), &header, sizeof header, 0);
    if (got < 0) {
        printf("\nFailed to read %s: %s\n", filename, strerror(errno));
        return false;
    }
    if (static_cast<size_t>(got) < sizeof header) {
        printf("\nFile %s ends inside its header: %zu of %zu bytes\n", filename,
               static_cast<size_t>(got), sizeof header);
        return false;
    }

    RecordTally t;
    if (!scan_records(file.get(), off_t{header.OffsetToData}, recordLength, filename, t)) {
        return false;
    }

    // The counters are 32 bits wide in the header.
    header.NumberOfPointReturns = static_cast<uint32_t>(t.records);
    uint32_t byReturn[5];
    for (size_t k = 0; k < 5; ++k) byReturn[k] = static_cast<uint32_t>(t.byReturnNumber[k + 1]);
    memcpy(
        reinterpret_cast<unsigned char *>(&header) + offsetof(LAS12Header, NumberOfPointsByReturn),
        byReturn, sizeof byReturn);

    // Product and sum are rounded separately (the build never fuses them).
    const double XScaleFactor = header.XScaleFactor, XOffset = header.XOffset;
    const double YScaleFactor = header.YScaleFactor, YOffset = header.YOffset;
    const double ZScaleFactor = header.ZScaleFactor, ZOffset = header.ZOffset;
    header.MaxX = t.maxX * XScaleFactor + XOffset;
    header.MinX = t.minX * XScaleFactor + XOffset;
    header.MaxY = t.maxY * YScaleFactor + YOffset;
    header.MinY = t.minY * YScaleFactor + YOffset;
    header.MaxZ = t.maxZ * ZScaleFactor + ZOffset;
    header.MinZ = t.minZ * ZScaleFactor + ZOffset;

    if (const int error = korvana_internal::write_at(file.get(), &header, sizeof header, 0)) {
        printf("\nFailed to write %s: %s\n", filename, strerror(error));
        return false;
    }
    if (!file.close_checked()) {
        printf("\nFailed to close %s: %s\n", filename, strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int korvana_internal::update_header_status(const char *filename) {
    const int16_t lasType = check_las(filename);
    // check_las() has said why it refused the file; 0 needs no words.
    if (lasType < LAS_TYPE_10_FORMAT0 || lasType > LAS_TYPE_12_FORMAT3) return -1;
    if (!refresh_header(filename, record_length_of(lasType))) return -1;
    printf("\rHeader of file %s has been updated    ", filename);
    return 0;
}

void update_header(const char *filename) {
    if (korvana_internal::update_header_status(filename) != 0) exit(-1);
}

// ---------------------------------------------------------------------------
// Argument and file-name checks
// ---------------------------------------------------------------------------

void check_numeric_argument(const char *str) {
    // The position is a size_t so that texts of any length are examined to
    // their end; the counts only need to tell 0, 1 and more.
    size_t ndots = 0;
    size_t ndashes = 0;
    bool acceptable = true;
    for (size_t t = 0; acceptable && str[t] != '\0'; ++t) {
        const char c = str[t];
        if (c == '.') {
            ++ndots;
        } else if (c == '-') {
            ++ndashes;
        } else if (c < '0' || c > '9') {
            acceptable = false;
        }
    }
    if (ndots > 1 || ndashes > 1 || strcmp(str, ".") == 0 || strcmp(str, "-") == 0) {
        acceptable = false;
    }
    if (!acceptable) {
        printf("\nInvalid argument value (%s)\n", str);
        exit(-1);
    }
}

int16_t check_YN(const char *text) {
    if ((text[0] == 'Y' || text[0] == 'N' || text[0] == 'y' || text[0] == 'n') && text[1] == '\0') {
        return 0;
    }
    printf("\nASCII Header Flag should be either Y (y) or N (n)\n");
    return -1;
}

void check_DEM(const char *str) {
    // Each probe that does not match prints its own mismatch message, so an
    // ".asc" name shows the one for "flt" and an ".flt" name the one for "asc".
    if (check_file_extension(str, "asc") != 0 && check_file_extension(str, "flt") != 0) {
        printf(
            "\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point "
            "binary)\n");
        exit(-1);
    }
    if (check_file_extension(str, "flt") != 0) return;

    // The header file's name is the DEM file's with ".hdr" in place of its
    // last four characters (a directory part stays), built at whatever length
    // the name has. It is released before the process may end.
    bool headerOpens = false;
    {
        std::string header(str, strlen(str) - 4);
        header += ".hdr";
        headerOpens = file_access(header.c_str()) == 0;
    }
    if (!headerOpens) {
        printf("\nFloating point binary DEM files also require a ASCII header file ('.hdr')\n");
        exit(-1);
    }
}

// ---------------------------------------------------------------------------
// Index-carrying quicksorts
// ---------------------------------------------------------------------------

namespace {

// Every sort below is one quicksort, written once for both key types. Its
// partition step is Hoare's with the middle key as pivot: v is a copy of that
// key; i scans up past keys < v, j scans down past keys > v; the keys at i
// and j (and their index entries) are exchanged while i <= j, even when
// i == j, and each exchange is followed by i++, j--. Both comparisons are
// strict, so keys equal to v (and NaNs, which compare false both ways) stop
// both scans. The arrangement this gives for equal keys and NaNs is part of
// the routines' contract, so every shortcut below is one that provably makes
// exactly the same exchanges, or reaches exactly the same arrangement.
//
// Positions are ptrdiff_t inside: i may step one past `right` and j one
// before `left`, which must not overflow for ranges that end at INT32_MAX or
// start at 0.

using Pos = std::ptrdiff_t;

// Ranges of at most this many keys first try an insertion sort.
constexpr Pos kSmallRange = 16;
// The partition examines blocks of this many keys at a time on either side.
constexpr int kBlock = 32;

// The offsets 0, 1, ..., kBlock - 1: the stops of a block where every key
// stops the scan.
constexpr std::array<uint8_t, kBlock> kInOrder = [] {
    std::array<uint8_t, kBlock> offsets{};
    for (int t = 0; t < kBlock; ++t) offsets[t] = static_cast<uint8_t>(t);
    return offsets;
}();

// How many of the kBlock keys from `block` on are < v (Less) or > v. Written
// with vector types, since compilers do not vectorise a count of double
// comparisons on their own.
template <bool Less, typename Key>
int count_beyond(const Key *block, Key v) {
    using Lane = std::conditional_t<sizeof(Key) == 8, int64_t, int32_t>;
    typedef Key Keys __attribute__((vector_size(16)));
    typedef Lane Mask __attribute__((vector_size(16)));
    constexpr int kLanes = 16 / sizeof(Key);
    Keys pivot;
    for (int l = 0; l < kLanes; ++l) pivot[l] = v;
    Mask sum = {};
    for (int t = 0; t < kBlock; t += kLanes) {
        Keys keys;
        memcpy(&keys, block + t, sizeof keys);
        // A true lane of a comparison is -1.
        if constexpr (Less) {
            sum += keys < pivot;
        } else {
            sum += pivot < keys;
        }
    }
    Lane count = 0;
    for (int l = 0; l < kLanes; ++l) count -= sum[l];
    return static_cast<int>(count);
}

struct Split {
    Pos i;  // the right part is [i, right]
    Pos j;  // the left part is [left, j]
};

template <typename Key>
inline void exchange(Key *p, int32_t *ind, Pos a, Pos b) {
    const Key key = p[a];
    p[a] = p[b];
    p[b] = key;
    const int32_t index = ind[a];
    ind[a] = ind[b];
    ind[b] = index;
}

// When all keys of a range are distinct and ordered (no two equal, no NaN, no
// -0 beside +0), every sort that orders them leaves the keys and the index
// entries in the one arrangement that the partition steps give too. Such a
// range is sorted here by insertion into a scratch copy; as soon as two keys
// turn out to be neither < nor > each other the copy is dropped, the range is
// untouched and false tells the caller to partition it.
template <typename Key>
bool sort_if_distinct(Key *p, int32_t *ind, Pos n) {
    // A run that already ascends strictly needs nothing (sorted input is
    // made of such runs); otherwise the insertion starts where the run ends.
    Pos t = 1;
    while (t < n && p[t - 1] < p[t]) ++t;
    if (t == n) return true;

    Key keys[kSmallRange];
    int32_t indexes[kSmallRange];
    std::copy(p, p + t, keys);
    std::copy(ind, ind + t, indexes);
    for (; t < n; ++t) {
        const Key x = p[t];
        Pos s = t;
        while (s > 0 && x < keys[s - 1]) {
            keys[s] = keys[s - 1];
            indexes[s] = indexes[s - 1];
            --s;
        }
        if (s > 0 && !(keys[s - 1] < x)) return false;
        keys[s] = x;
        indexes[s] = ind[t];
    }
    std::copy(keys, keys + n, p);
    std::copy(indexes, indexes + n, ind);
    return true;
}

// Partitions [left, right] (left < right) and returns where the scans
// crossed.
//
// The scans carry no bound checks (i < right, j > left), and need none: in
// the first round the pivot's own position stops both scans, and after each
// exchange the key just put at the old j stops the up scan and the key just
// put at the old i stops the down scan, so neither scan can leave the range.
// The bounds could only ever halt a scan on a position where a key would halt
// it as well.
template <typename Key>
Split partition(Key *p, int32_t *ind, Pos left, Pos right) {
    const Key v = p[left + (right - left) / 2];
    // Where the scans go on from; the block-wise pass below may move them
    // further in than the steps would, past keys known not to stop them.
    Pos i = left;
    Pos j = right;

    if (right - left + 1 >= 2 * kBlock) {
        // Between two exchanges the up scan stops at the next key that is not
        // < v, and the down scan at the next one that is not > v. As long as
        // the two are far apart, the k-th such key from the left is exchanged
        // with the k-th from the right, and the exchanged pairs are disjoint,
        // so all of them can be found first, block by block without a branch
        // per key, and exchanged afterwards, in any order, with the same
        // result. The blocks [lb, lb + kBlock) and (rb - kBlock, rb] never
        // overlap; close to the crossing the scalar scans below take over.
        uint8_t stopL[kBlock];
        uint8_t stopR[kBlock];
        const uint8_t *offL = stopL;  // offsets from lb of the left block's stops
        const uint8_t *offR = stopR;  // offsets down from rb of the right block's
        int numL = 0, numR = 0, firstL = 0, firstR = 0;
        // Sorted runs and runs of equal keys give blocks in which no key or
        // every key stops the scan. After such a block the next one is first
        // counted, which vectorises; a block found uniform needs no list.
        bool uniformL = true, uniformR = true;
        Pos lb = left;
        Pos rb = right;
        while (rb - lb + 1 >= 2 * kBlock) {
            if (numL == 0) {
                const Key *block = p + lb;
                firstL = 0;
                int stops = -1;
                if (uniformL) stops = kBlock - count_beyond<true>(block, v);
                if (stops == 0 || stops == kBlock) {
                    numL = stops;
                    offL = kInOrder.data();
                } else {
                    offL = stopL;
                    size_t found = 0;
                    for (int t = 0; t < kBlock; ++t) {
                        stopL[found] = static_cast<uint8_t>(t);
                        found += !(block[t] < v);
                    }
                    numL = static_cast<int>(found);
                }
                uniformL = numL == 0 || numL == kBlock;
            }
            if (numR == 0) {
                const Key *block = p + rb;
                firstR = 0;
                int stops = -1;
                if (uniformR) stops = kBlock - count_beyond<false>(block - kBlock + 1, v);
                if (stops == 0 || stops == kBlock) {
                    numR = stops;
                    offR = kInOrder.data();
                } else {
                    offR = stopR;
                    size_t found = 0;
                    for (int t = 0; t < kBlock; ++t) {
                        stopR[found] = static_cast<uint8_t>(t);
                        found += !(v < block[-t]);
                    }
                    numR = static_cast<int>(found);
                }
                uniformR = numR == 0 || numR == kBlock;
            }
            const int pairs = std::min(numL, numR);
            if (pairs > 0) {
                if (offL == kInOrder.data() && offR == kInOrder.data()) {
                    // Runs of equal keys: the pairs are mirror images.
                    for (int k = 0; k < pairs; ++k) {
                        exchange(p, ind, lb + firstL + k, rb - firstR - k);
                    }
                } else {
                    for (int k = 0; k < pairs; ++k) {
                        exchange(p, ind, lb + offL[firstL + k], rb - offR[firstR + k]);
                    }
                }
                numL -= pairs;
                numR -= pairs;
                firstL += pairs;
                firstR += pairs;
            }
            if (numL == 0) lb += kBlock;
            if (numR == 0) rb -= kBlock;
        }
        // The scans go on at the next stop still listed, or at the first key
        // not yet examined. After an exchange at positions a < b the steps go
        // on only if a + 1 <= b - 1; when b == a + 1 the two blocks were used
        // up together and i, j land on b and a, where both scans stop at
        // once and nothing more is exchanged, as in the steps.
        i = numL > 0 ? lb + offL[firstL] : lb;
        j = numR > 0 ? rb - offR[firstR] : rb;
    }

    for (;;) {
        while (p[i] < v) ++i;
        while (v < p[j]) --j;
        if (i <= j) {
            exchange(p, ind, i, j);
            ++i;
            --j;
        }
        if (i > j) break;
    }
    return {i, j};
}

// The two parts of a partition, [left, j] and [i, right], are disjoint and
// everything between them is final, so the order in which they are sorted
// does not change the result. Both workers recurse into the smaller part and
// go on with the larger one in the same call, which bounds the nesting by
// log2 of the range's length, however uneven the partitions are.
template <typename Key>
void sort_plain(Key *p, int32_t *ind, Pos left, Pos right) {
    while (left < right) {
        if (right - left < kSmallRange &&
            sort_if_distinct(p + left, ind + left, right - left + 1)) {
            return;
        }
        const Split s = partition(p, ind, left, right);
        if (s.j - left < right - s.i) {
            sort_plain(p, ind, left, s.j);
            left = s.i;
        } else {
            sort_plain(p, ind, s.i, right);
            right = s.j;
        }
    }
}

// Makes the partitions of `deep` + 1 levels itself and hands the ranges below
// them to the plain worker. Both parts of a partition are one level down, so
// they get the same remaining depth whichever of them is recursed into; a
// negative depth never reaches 0 and is kept as it is. As the partitions are
// the plain worker's, so is the result.
template <typename Key>
void sort_limited(Key *p, int32_t *ind, Pos left, Pos right, int32_t deep) {
    while (left < right) {
        if (right - left < kSmallRange &&
            sort_if_distinct(p + left, ind + left, right - left + 1)) {
            return;
        }
        const Split s = partition(p, ind, left, right);
        if (deep == 0) {
            sort_plain(p, ind, left, s.j);
            sort_plain(p, ind, s.i, right);
            return;
        }
        if (deep > 0) --deep;
        if (s.j - left < right - s.i) {
            sort_limited(p, ind, left, s.j, deep);
            left = s.i;
        } else {
            sort_limited(p, ind, s.i, right, deep);
            right = s.j;
        }
    }
}

// The entries start the depth-limited workers with this depth.
constexpr int32_t kEntryDepth = 15;

}  // namespace

void l_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind) {
    sort_plain(p, p_ind, left, right);
}

void l_quicksort(int32_t *p, int32_t count, int32_t *p_ind) {
    if (count > 0) sort_plain(p, p_ind, 0, count - 1);
}

void d_qs(double *p, int32_t left, int32_t right, int32_t *p_ind) {
    sort_plain(p, p_ind, left, right);
}

void d_quicksort(double *p, int32_t count, int32_t *p_ind) {
    if (count > 0) sort_plain(p, p_ind, 0, count - 1);
}

void l_parallel_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep) {
    sort_limited(p, p_ind, left, right, deep);
}

void l_parallel_quicksort(int32_t *p, int32_t count, int32_t *p_ind) {
    if (count > 0) sort_limited(p, p_ind, 0, count - 1, kEntryDepth);
}

void d_parallel_qs(double *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep) {
    sort_limited(p, p_ind, left, right, deep);
}

void d_parallel_quicksort(double *p, int32_t count, int32_t *p_ind) {
    if (count > 0) sort_limited(p, p_ind, 0, count - 1, kEntryDepth);
}

// ---------------------------------------------------------------------------
// Default header builders
// ---------------------------------------------------------------------------

namespace {

// The fields that the three header versions share, at the same offsets.
// Bytes 17-23, 27-57 and 82-89 are deliberately left as they are.
template <typename Header>
void set_common_defaults(Header *ph, uint8_t versionMinor) {
    memcpy(ph->LASF, "LASF", 4);
    ph->GUIDData1 = 0;
    ph->GUIDData2 = 0;
    ph->GUIDData3 = 0;
    ph->GUIDData4[0] = 0;
    ph->VersionMajor = 1;
    ph->VersionMinor = versionMinor;
    ph->SystemIdentifier[0] = '\0';
    memcpy(ph->GeneratingSoftware, "Korvana LiDAR Utilities", 24);  // with its terminator
    ph->HeaderSize = static_cast<uint16_t>(sizeof(Header));
    ph->OffsetToData = static_cast<uint32_t>(sizeof(Header));
    ph->NumberOfVariableLengthRecords = 0;
    ph->PointDataFormatID = 0;
    ph->PointDataRecordLength = 0;
    ph->NumberOfPointReturns = 0;
    memset(reinterpret_cast<unsigned char *>(ph) + offsetof(Header, NumberOfPointsByReturn), 0,
           sizeof ph->NumberOfPointsByReturn);
    ph->XScaleFactor = 1.0;
    ph->YScaleFactor = 1.0;
    ph->ZScaleFactor = 1.0;
    ph->XOffset = 0.0;
    ph->YOffset = 0.0;
    ph->ZOffset = 0.0;
    ph->MaxX = 0.0;
    ph->MinX = 0.0;
    ph->MaxY = 0.0;
    ph->MinY = 0.0;
    ph->MaxZ = 0.0;
    ph->MinZ = 0.0;
}

}  // namespace

void initialize_header10(LAS10Header *ph) {
    set_common_defaults(ph, 0);
    ph->Reserved = 0;
    ph->FlightDateJulian = 0;
    ph->Year = 0;
}

void initialize_header11(LAS11Header *ph) {
    set_common_defaults(ph, 1);
    ph->FileSourceID = 0;
    ph->Reserved = 0;
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
}

void initialize_header12(LAS12Header *ph) {
    set_common_defaults(ph, 2);
    ph->FileSourceID = 0;
    ph->GlobalEncoding = 0;
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
}
