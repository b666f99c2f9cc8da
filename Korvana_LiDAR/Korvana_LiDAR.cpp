// Korvana LiDAR Utilities: the LAS support library.
//
// Everything here is built with hidden visibility; only the routines declared
// in Korvana_LiDAR.h are exported.

#include "Korvana_LiDAR.h"
#include "Korvana_LiDAR_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

// A one-digit value inside a message is printed as the character 48 + value.
char digit(uint8_t value) { return static_cast<char>(48 + value); }

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

    static constexpr uint16_t lengthOfFormat[4] = {sizeof(LAS12fm0), sizeof(LAS12fm1),
                                                   sizeof(LAS12fm2), sizeof(LAS12fm3)};
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
// Header statistics refresh
// ---------------------------------------------------------------------------

#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>

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

// Record length of file type code 1 to 8.
size_t record_length_of(int16_t lasType) {
    static constexpr size_t lengths[9] = {0,
                                          sizeof(LAS12fm0),
                                          sizeof(LAS12fm1),
                                          sizeof(LAS12fm0),
                                          sizeof(LAS12fm1),
                                          sizeof(LAS12fm0),
                                          sizeof(LAS12fm1),
                                          sizeof(LAS12fm2),
                                          sizeof(LAS12fm3)};
    return lengths[lasType];
}

// Reads at `offset` until `size` bytes have arrived or the file ends. Returns
// the number of bytes read, or -1 after an error (errno tells which).
ssize_t pread_fully(int fd, void *buf, size_t size, off_t offset) {
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

// False after an error (errno tells which).
bool pwrite_fully(int fd, const void *buf, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, static_cast<const char *>(buf) + done, size - done,
                                 offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
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
        const ssize_t got = pread_fully(fd, block.get(), blockBytes, offset);
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
    const ssize_t got = pread_fully(file.get(), &header, sizeof header, 0);
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

    if (!pwrite_fully(file.get(), &header, sizeof header, 0)) {
        printf("\nFailed to write %s: %s\n", filename, strerror(errno));
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

// ---------------------------------------------------------------------------
// Index-carrying quicksorts
// ---------------------------------------------------------------------------

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
