// The header statistics refresh and the default header builders.
//
// Expected headers are written here from the LAS standard's byte offsets and
// from the points each test generated, not read back through the library.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "Korvana_LiDAR.h"
#include "las_fixture.h"
#include "run_command.h"

using fixture::Bytes;
using fixture::LasFile;
using fixture::Point;
using fixture::TempDir;
using testing_support::Outcome;
using testing_support::run_in_child;

namespace {

template <typename T>
void put(Bytes &bytes, size_t offset, T value) {
    memcpy(bytes.data() + offset, &value, sizeof value);
}

// Raw extremes and counts that a refresh puts into a header.
struct Tally {
    int32_t maxX = -2147483646, minX = 2147483646;
    int32_t maxY = -2147483646, minY = 2147483646;
    int32_t maxZ = -10000000, minZ = 10000000;
    uint32_t records = 0;
    uint32_t byReturn[5] = {};
};

Tally tally_of(const std::vector<Point> &points) {
    Tally t;
    for (const Point &p : points) {
        t.maxX = std::max(t.maxX, p.X), t.minX = std::min(t.minX, p.X);
        t.maxY = std::max(t.maxY, p.Y), t.minY = std::min(t.minY, p.Y);
        t.maxZ = std::max(t.maxZ, p.Z), t.minZ = std::min(t.minZ, p.Z);
        const int returnNumber = p.bitfield & 7;
        if (returnNumber >= 1 && returnNumber <= 5) ++t.byReturn[returnNumber - 1];
        ++t.records;
    }
    return t;
}

// `file` with its header patched by `t`: bytes 107-130 and 179-226 change,
// the bounds from the scale factors and offsets at 131-178.
Bytes patched(Bytes file, const Tally &t) {
    double scale[3], offset[3];
    memcpy(scale, file.data() + 131, sizeof scale);
    memcpy(offset, file.data() + 155, sizeof offset);
    put(file, 107, t.records);
    memcpy(file.data() + 111, t.byReturn, sizeof t.byReturn);
    const int32_t raw[6] = {t.maxX, t.minX, t.maxY, t.minY, t.maxZ, t.minZ};
    for (size_t k = 0; k < 6; ++k) {
        const double product = raw[k] * scale[k / 2];
        put(file, 179 + 8 * k, product + offset[k / 2]);
    }
    return file;
}

std::string updated(const std::string &path) {
    return "\rHeader of file " + path + " has been updated    ";
}

Outcome refresh(const std::string &path) {
    return run_in_child([&] { update_header(path.c_str()); });
}

// Every file type, on both sides of 1 MiB of records, with variable-length
// records, fragments after the last record and a header that says something
// else: the whole file afterwards is the input with the header recomputed
// from the points, and a second run changes nothing.
TEST(UpdateHeader, RecountsEveryFileType) {
    TempDir dir;
    std::mt19937 rng(20261213);
    std::uniform_int_distribution<int32_t> coordinate(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<int32_t> height(-30000000, 30000000);
    std::uniform_int_distribution<int> byte(-128, 127);
    struct Case {
        uint8_t minor, format;
        size_t count;
    };
    const Case cases[] = {{0, 0, 52428}, {0, 1, 74898}, {1, 0, 3},     {1, 1, 1},
                          {2, 0, 70001}, {2, 1, 2},     {2, 2, 40330}, {2, 3, 61681}};
    int run = 0;
    for (const Case &c : cases) {
        std::vector<Point> points(c.count);
        for (Point &p : points) {
            p = {coordinate(rng), coordinate(rng), height(rng), static_cast<int8_t>(byte(rng))};
        }
        LasFile las = fixture::make_las(c.minor, c.format, points);
        las.header.XScaleFactor = 0.001, las.header.ZScaleFactor = 0.0001;
        las.header.XOffset = 512000.5, las.header.YOffset = -4100.25, las.header.ZOffset = 12;
        las.header.NumberOfPointReturns = run % 3 == 0 ? 0 : 0xFFFFFFFF;
        las.header.NumberOfPointsByReturn[2] = 77;
        las.header.MinZ = -1;
        if (run % 2) fixture::add_vlr(las, 34735, Bytes(40, 7));
        if (run % 4 < 2) las.tail = Bytes(fixture::record_length(c.format) - 1u, 0xAB);
        const std::string path = dir / "t.las";
        fixture::write_las(path, las);
        const Bytes expected = patched(fixture::to_bytes(las), tally_of(points));
        const std::string what = "1." + std::to_string(c.minor) + " format " +
                                 std::to_string(c.format) + ", " + std::to_string(c.count);

        for (int pass = 0; pass < 2; ++pass) {
            const Outcome o = refresh(path);
            EXPECT_EQ(o.status, 0) << what;
            EXPECT_EQ(o.out, updated(path)) << what;
            EXPECT_TRUE(fixture::read_file(path) == expected) << what << ", pass " << pass;
        }
        ++run;
    }
}

// Points in the cube from 0 to 100 (its corners first), but for six records
// far apart, each one step outside on one side.
std::vector<Point> stray_points() {
    std::vector<Point> points(4000, {50, 50, 50, 1});
    for (int32_t k = 0; k < 8; ++k)
        points[k] = {k & 1 ? 100 : 0, k & 2 ? 100 : 0, k & 4 ? 100 : 0, 1};
    points[600].X = 101, points[1200].X = -1, points[1800].Y = 101;
    points[2400].Y = -1, points[3000].Z = 101, points[3999].Z = -1;
    return points;
}

TEST(UpdateHeader, StartingExtremesAndReturnNumbers) {
    const int32_t lo = INT32_MIN, hi = INT32_MAX;
    struct Case {
        const char *what;
        std::vector<Point> points;
        size_t tail;            // bytes after the last record
        uint32_t offsetToData;  // 0: where the fixture puts it
        Tally expected;
    };
    const Tally start;
    const Case cases[] = {
        {"no records", {}, 0, 0, start},
        {"a fragment only", {}, 19, 0, start},
        {"point data past the end", {}, 0, 5000, start},
        {"one record", {{5, -6, 7, 1}}, 0, 0, {5, 5, -6, -6, 7, 7, 1, {1, 0, 0, 0, 0}}},
        {"beyond the starting range",
         {{hi, lo, 10000001, 2}, {hi, lo + 1, 20000000, 2}},
         0,
         0,
         {hi, 2147483646, -2147483646, lo, 20000000, 10000000, 2, {0, 2, 0, 0, 0}}},
        {"below the starting range",
         {{lo, hi, -10000001, 3}, {lo + 1, hi, -20000000, 4}},
         0,
         0,
         {-2147483646, lo, hi, 2147483646, -10000000, -20000000, 2, {0, 0, 1, 1, 0}}},
        // Only the low three bits count: 0xF9 is return 1, 0xFA return 2, 0x2D return 5;
        // 0, 6 and 7 go into no slot but still count as records.
        {"return numbers",
         {{1, 1, 1, 0}, {1, 1, 1, 6}, {1, 1, 1, 7}, {1, 1, 1, -7}, {1, 1, 1, -6}, {1, 1, 1, 0x2D}},
         0,
         0,
         {1, 1, 1, 1, 1, 1, 6, {1, 1, 0, 0, 1}}},
        {"single records one step outside, far apart",
         stray_points(),
         0,
         0,
         {101, -1, 101, -1, 101, -1, 4000, {4000, 0, 0, 0, 0}}},
        {"a long run of one return number",
         std::vector<Point>(70000, {1, 1, 1, 2}),
         0,
         0,
         {1, 1, 1, 1, 1, 1, 70000, {0, 70000, 0, 0, 0}}},
    };
    TempDir dir;
    const std::string path = dir / "t.las";
    for (const Case &c : cases) {
        LasFile las = fixture::make_las(2, 0, c.points);
        las.header.XOffset = 100, las.header.YOffset = -50, las.header.ZOffset = 0.5;
        las.header.NumberOfPointReturns = 12;
        if (c.offsetToData) las.header.OffsetToData = c.offsetToData;
        las.tail = Bytes(c.tail, 0x11);
        fixture::write_las(path, las);

        const Outcome o = refresh(path);
        EXPECT_EQ(o.status, 0) << c.what;
        EXPECT_EQ(o.out, updated(path)) << c.what;
        EXPECT_TRUE(fixture::read_file(path) == patched(fixture::to_bytes(las), c.expected))
            << c.what;
    }
}

// Point data beyond 4 GiB, in a sparse file: the records start 256 bytes
// before the 4 GiB mark and run on for more than 1 MiB past it.
TEST(UpdateHeader, FilesLargerThanFourGiB) {
    TempDir dir;
    const std::string path = dir / "big.las";
    std::vector<Point> points(60000);
    for (size_t k = 0; k < points.size(); ++k) {
        const int32_t v = static_cast<int32_t>(k);
        points[k] = {v, -v, v % 1000, static_cast<int8_t>(k % 8)};
    }
    points[59999].X = 9000000;  // the largest X is in the last record
    LasFile las = fixture::make_las(2, 0, points);
    const uint32_t offsetToData = 0xFFFFFF00u;
    las.header.OffsetToData = offsetToData;
    las.header.NumberOfPointReturns = 1;

    {
        fixture::write_file(path, fixture::to_bytes(LasFile{las.header, {}, {}, {}}));
        const int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const ssize_t n = pwrite(fd, las.records.data(), las.records.size(), off_t{offsetToData});
        close(fd);
        if (n != static_cast<ssize_t>(las.records.size())) GTEST_SKIP() << "no room for the file";
    }
    const off_t size = off_t{offsetToData} + static_cast<off_t>(las.records.size());

    const Outcome o = refresh(path);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, updated(path));

    Bytes expected = patched(fixture::to_bytes(LasFile{las.header, {}, {}, {}}), tally_of(points));
    Bytes head(227), records(las.records.size());
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pread(fd, head.data(), head.size(), 0), 227);
    EXPECT_EQ(pread(fd, records.data(), records.size(), off_t{offsetToData}),
              static_cast<ssize_t>(records.size()));
    struct stat info {};
    fstat(fd, &info);
    close(fd);
    EXPECT_TRUE(head == expected);
    EXPECT_TRUE(records == las.records);
    EXPECT_EQ(info.st_size, size);
}

// Makes system call `nr` fail with `error` in this process from now on,
// always (mask 0) or when the low 32 bits of argument `arg`, masked, equal
// `value` (or differ from it, with `whenEqual` false). Meant for a forked
// child; false if the kernel does not take the filter.
struct Fault {
    long nr;
    int error;
    unsigned arg = 0;
    uint32_t mask = 0;
    uint32_t value = 0;
    bool whenEqual = true;
};

#if defined(__x86_64__)
constexpr uint32_t nativeArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t nativeArch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t nativeArch = 0;  // no faults here
#endif

bool inject(const Fault &f) {
    if (nativeArch == 0) return false;
    const auto at = [](size_t offset) { return static_cast<uint32_t>(offset); };
    const uint8_t toFail = f.whenEqual ? 0 : 1, toAllow = f.whenEqual ? 1 : 0;
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at(offsetof(seccomp_data, arch))),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nativeArch, 0, 6),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at(offsetof(seccomp_data, nr))),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(f.nr), 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at(offsetof(seccomp_data, args) + 8 * f.arg)),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, f.mask),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, f.value, toFail, toAllow),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<uint32_t>(f.error) & 0xFFFF)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog fprog{static_cast<unsigned short>(std::size(program)), program};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

constexpr int noFaults = 77;  // the child could not install its fault

Outcome refresh_with(const Fault &f, const std::string &path) {
    return run_in_child([&] {
        if (!inject(f)) _exit(noFaults);
        update_header(path.c_str());
    });
}

const Fault openForUpdate{SYS_openat, EACCES, 2, O_ACCMODE, O_RDWR};

// Files the validator turns away, or calls unsupported: the routine adds no
// text of its own and does not open the file for update (that would fail
// here, with a message).
TEST(UpdateHeader, RefusedFilesAreNotOpened) {
    TempDir dir;
    const auto with = [](uint8_t minor, uint8_t format) {
        return fixture::to_bytes(fixture::make_las(minor, format, {{1, 2, 3}}));
    };
    struct Case {
        std::string path;
        Bytes bytes;  // none: the file does not exist
    };
    const Case cases[] = {
        {dir / "v13.las", with(3, 0)},
        {dir / "v11-format3.las", with(1, 3)},
        {dir / "v10-format2.las", with(0, 2)},
        {dir / "tile.txt", with(2, 0)},
        {dir / "missing.las", {}},
    };
    for (const Case &c : cases) {
        const std::string &path = c.path;
        const Bytes &bytes = c.bytes;
        if (!bytes.empty()) fixture::write_file(path, bytes);
        const std::string reason =
            testing_support::captured_stdout([&] { check_las(path.c_str()); });
        const Outcome o = refresh_with(openForUpdate, path);
        if (o.status == noFaults) GTEST_SKIP() << "system call faults are not available";
        EXPECT_EQ(o.status, 255) << path;
        EXPECT_EQ(o.out, reason) << path;
        if (!bytes.empty()) {
            EXPECT_TRUE(fixture::read_file(path) == bytes) << path;
        }
    }
}

// The validator reads only the first 107 bytes; a file that ends inside its
// header is refused before anything is written.
TEST(UpdateHeader, RefusesAFileShorterThanItsHeader) {
    TempDir dir;
    const std::string path = dir / "short.las";
    for (size_t size : {107u, 226u}) {
        Bytes bytes = fixture::to_bytes(fixture::make_las(2, 0, {}));
        bytes.resize(size);
        fixture::write_file(path, bytes);
        const Outcome o = refresh(path);
        EXPECT_EQ(o.status, 255) << size;
        EXPECT_EQ(o.out, "\nFile " + path + " ends inside its header: " + std::to_string(size) +
                             " of 227 bytes\n");
        EXPECT_TRUE(fixture::read_file(path) == bytes) << size;
    }
}

TEST(UpdateHeader, ReadOnlyFile) {
    if (geteuid() == 0) GTEST_SKIP() << "root can write to a read-only file";
    TempDir dir;
    const std::string path = dir / "locked.las";
    fixture::write_las(path, fixture::make_las(2, 1, {{1, 2, 3}}));
    std::filesystem::permissions(path, std::filesystem::perms::owner_read);
    const Outcome o = refresh(path);
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, "\nCannot open binary file " + path + " for header update\n\n");
}

// Each failing system call ends the run with its message, and never with the
// completion text. Until the header is written the file keeps its bytes.
TEST(UpdateHeader, FailingSystemCalls) {
    TempDir dir;
    const std::string path = dir / "t.las";
    LasFile las = fixture::make_las(2, 3, {{1, 2, 3}, {4, 5, 6}});
    las.header.NumberOfPointReturns = 9;
    const Bytes bytes = fixture::to_bytes(las);
    struct Case {
        const char *what;
        Fault fault;
        std::string message;
        bool unchanged;
    };
    const Case cases[] = {
        {"open for update", openForUpdate,
         "\nCannot open binary file " + path + " for header update\n\n", true},
        // The validator reads 107 bytes, the header read 227.
        {"read of the header",
         {SYS_pread64, EIO, 2, 0xFFFFFFFF, 227},
         "\nFailed to read " + path + ": Input/output error\n",
         true},
        // The validator and the header read at offset 0; the records lie beyond.
        {"read of the records",
         {SYS_pread64, EIO, 3, 0xFFFFFFFF, 0, false},
         "\nFailed to read " + path + ": Input/output error\n",
         true},
        {"write",
         {SYS_pwrite64, ENOSPC},
         "\nFailed to write " + path + ": No space left on device\n",
         true},
        {"close", {SYS_close, EIO}, "\nFailed to close " + path + ": Input/output error\n", false},
    };
    for (const Case &c : cases) {
        fixture::write_file(path, bytes);
        const Outcome o = refresh_with(c.fault, path);
        if (o.status == noFaults) GTEST_SKIP() << "system call faults are not available";
        EXPECT_EQ(o.status, 255) << c.what;
        EXPECT_EQ(o.out, c.message) << c.what;
        if (c.unchanged) {
            EXPECT_TRUE(fixture::read_file(path) == bytes) << c.what;
        }
    }
}

// The size of glibc's data segment, in bytes, read without allocating.
size_t data_segment_size() {
    char text[4096] = {};
    const int fd = open("/proc/self/status", O_RDONLY);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    const char *line = n > 0 ? strstr(text, "VmData:") : nullptr;
    return line ? strtoull(line + 7, nullptr, 10) * 1024 : 0;
}

TEST(UpdateHeader, RecordBufferCannotBeAllocated) {
    if (testing_support::underSanitizer)
        GTEST_SKIP() << "the sanitizers' allocator does not return null";
    TempDir dir;
    const std::string path = dir / "t.las";
    const Bytes bytes = fixture::to_bytes(fixture::make_las(2, 0, {{1, 2, 3}}));
    fixture::write_file(path, bytes);
    const Outcome o = run_in_child([&] {
        // Hand free heap back and stop the data segment from growing, so that
        // no allocation of a megabyte can succeed.
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
        malloc_trim(0);
        const size_t used = data_segment_size();
        if (used == 0 || mallinfo2().fordblks >= (size_t{1} << 19)) _exit(noFaults);
        const rlimit limit{used + 64 * 1024, RLIM_INFINITY};
        if (setrlimit(RLIMIT_DATA, &limit) != 0) _exit(noFaults);
        update_header(path.c_str());
    });
    if (o.status == noFaults) GTEST_SKIP() << "the heap could not be limited";
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out,
              "\nCannot allocate memory for storing a record of information from " + path + "\n");
    EXPECT_TRUE(fixture::read_file(path) == bytes);
}

// A builder's record, written from the LAS standard's offsets: what it
// writes, on top of `fill` in the bytes it leaves alone.
Bytes default_header(uint8_t fill, uint8_t versionMinor) {
    Bytes b(227, fill);
    const auto zero = [&b](size_t first, size_t last) {
        std::fill(b.begin() + first, b.begin() + last + 1, 0);
    };
    memcpy(b.data(), "LASF", 4);
    zero(4, 16);  // version-specific bytes 4-7, GUID but its last seven bytes
    b[24] = 1;
    b[25] = versionMinor;
    b[26] = 0;
    memcpy(b.data() + 58, "Korvana LiDAR Utilities", 24);
    zero(90, 226);  // dates, sizes, counts, scale factors, offsets, bounds
    put<uint16_t>(b, 94, 227);
    put<uint32_t>(b, 96, 227);
    for (size_t k = 0; k < 3; ++k) put(b, 131 + 8 * k, 1.0);
    return b;
}

template <typename Header>
Bytes built(uint8_t fill, void (*builder)(Header *)) {
    Header h;
    memset(&h, fill, sizeof h);
    builder(&h);
    Bytes b(sizeof h);
    memcpy(b.data(), &h, sizeof h);
    return b;
}

TEST(InitializeHeader, WritesTheDefaultsAndLeavesTheRestAlone) {
    for (uint8_t fill : {0x00, 0xFF}) {
        EXPECT_EQ(built(fill, initialize_header10), default_header(fill, 0)) << int(fill);
        EXPECT_EQ(built(fill, initialize_header11), default_header(fill, 1)) << int(fill);
        EXPECT_EQ(built(fill, initialize_header12), default_header(fill, 2)) << int(fill);
    }
}

}  // namespace
