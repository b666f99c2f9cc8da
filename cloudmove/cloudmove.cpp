// cloudmove: rotates a LAS point cloud in the horizontal plane about a centre
// and translates it along X, Y and Z, re-quantising every point record.

#include "cloudmove.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "Korvana_LiDAR.h"
#include "transform.h"

namespace {

constexpr uint32_t headerBytes = sizeof(LAS12Header);

// Records stream through one buffer of about this size.
constexpr size_t blockBytes = size_t{1} << 20;

struct Arguments {
    const char *input;
    const char *output;
    double transX;
    double transY;
    double transZ;
    double angle;
    double rotCenterX;
    double rotCenterY;
};

// Reads the longest leading signed decimal number (optional fraction and
// exponent) after leading white space, and 0.0 when the text does not begin
// with one. Unlike strtod alone, "inf", "nan" and hexadecimal texts are not
// numbers here ("0x10" reads as 0).
double decimal_value(const char *text) {
    const auto isDigit = [](char ch) { return ch >= '0' && ch <= '9'; };
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    const char *start = p;
    if (*p == '+' || *p == '-') ++p;
    size_t mantissaDigits = 0;
    for (; isDigit(*p); ++p) ++mantissaDigits;
    if (*p == '.') {
        for (++p; isDigit(*p); ++p) ++mantissaDigits;
    }
    if (mantissaDigits == 0) return 0.0;
    if (*p == 'e' || *p == 'E') {
        const char *e = p + 1;
        if (*e == '+' || *e == '-') ++e;
        if (isDigit(*e)) {
            while (isDigit(*e)) ++e;
            p = e;
        }
    }
    return strtod(std::string(start, p).c_str(), nullptr);
}

// Reads until `size` bytes have arrived or the file ends. Returns the number
// of bytes read, or -1 after an error (errno tells which).
ssize_t read_fully(int fd, void *buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, static_cast<char *>(buf) + done, size - done);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Writes all `size` bytes at the file's position, or at `offset` when it is
// not negative. False after an error (errno tells which).
bool write_fully(int fd, const void *buf, size_t size, off_t offset = -1) {
    size_t done = 0;
    while (done < size) {
        const char *from = static_cast<const char *>(buf) + done;
        const ssize_t n = offset < 0 ? write(fd, from, size - done)
                                     : pwrite(fd, from, size - done,
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

// The input file, read once from its first byte to its last point record.
class Input {
public:
    explicit Input(const char *name) : name_(name) {
        fd_ = open(name, O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (fd_ >= 0 && fstat(fd_, &info) == 0) size_ = static_cast<uint64_t>(info.st_size);
        if (fd_ >= 0) (void)posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input() {
        if (fd_ >= 0) close(fd_);
    }
    bool is_open() const { return fd_ >= 0; }
    uint64_t size() const { return size_; }

    // Reads exactly `size` bytes, or prints why it could not and returns false.
    // A short read means the file ended early: `ended` says what was missing.
    template <typename Ended>
    bool read_exactly(void *buf, size_t size, Ended ended) {
        const ssize_t n = read_fully(fd_, buf, size);
        if (n < 0) {
            printf("\nFailed to read %s: %s\n", name_, strerror(errno));
            return false;
        }
        if (static_cast<size_t>(n) < size) {
            ended(static_cast<size_t>(n));
            return false;
        }
        return true;
    }

private:
    const char *name_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// The output file while it is written. A run that does not reach commit()
// takes back what it did: it empties the file it wrote and removes it, but
// only a regular file that still stands under the output name itself (not
// behind a symbolic link). A device such as /dev/full, a link and a link's
// target are never removed.
//
// An existing file is not truncated when it is opened but overwritten in place
// and cut to its new length by commit(): this spares the file system freeing
// all its blocks only to allocate them again. For the same reason the blocks
// of the whole file are reserved at once, before the first write.
class Output {
public:
    Output(const char *name, uint64_t /*size*/) : name_(name) {
        fd_ = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        struct stat info {};
        if (fd_ < 0 || fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return;
        regular_ = true;
        device_ = info.st_dev;
        inode_ = info.st_ino;
    }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output() {
        if (fd_ < 0) return;
        discard();
        close(fd_);
    }
    bool is_open() const { return fd_ >= 0; }

    bool write(const void *buf, size_t size, off_t offset = -1) {
        if (write_fully(fd_, buf, size, offset)) return true;
        return failed();
    }

    // Cuts the completed file to `size` bytes (an existing file may have been
    // longer) and closes it; false after a message if either fails, in which
    // case the file is discarded like any other failed output.
    bool commit(uint64_t size) {
        if (regular_ && ftruncate(fd_, static_cast<off_t>(size)) != 0) return failed();
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) == 0) return true;
        failed();
        discard();
        return false;
    }

private:
    bool failed() {
        printf("\nFailed to write %s: %s\n", name_, strerror(errno));
        return false;
    }

    bool same_file(const struct stat &info) const {
        return info.st_dev == device_ && info.st_ino == inode_;
    }

    void discard() {
        if (!regular_) return;
        // Empty first: a file reached through a link keeps no half-written data.
        struct stat named {};
        if (fd_ >= 0) {
            (void)ftruncate(fd_, 0);
        } else if (stat(name_, &named) == 0 && same_file(named)) {
            (void)truncate(name_, 0);
        }
        if (lstat(name_, &named) == 0 && S_ISREG(named.st_mode) && same_file(named)) {
            unlink(name_);
        }
    }

    const char *name_;
    int fd_ = -1;
    bool regular_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

Arguments parse_arguments(char **argv) {
    Arguments a{};
    a.input = argv[1];
    a.output = argv[2];
    a.transX = decimal_value(argv[3]);
    a.transY = decimal_value(argv[4]);
    a.transZ = decimal_value(argv[5]);
    a.angle = decimal_value(argv[6]);
    a.rotCenterX = decimal_value(argv[7]);
    a.rotCenterY = decimal_value(argv[8]);
    return a;
}

// A NaN is "not 0" like any other value that differs from 0.0.
bool is_zero(double v) { return v == 0.0; }

void report(const Arguments &a) {
    if (!is_zero(a.transX)) printf("Translation along the X axis (East/West)  by %.6f\n", a.transX);
    if (!is_zero(a.transY)) printf("Translation along the Y axis (NorthSouth) by %.6f\n", a.transY);
    if (!is_zero(a.transZ)) printf("Translation along the Z axis (Up/Down)    by %.6f\n", a.transZ);
    if (!is_zero(a.angle)) {
        printf("Rotation by %.6f degrees\n", a.angle);
        printf("Rotation center at [%f, %f]\n", a.rotCenterX, a.rotCenterY);
        return;
    }
    if (!is_zero(a.rotCenterX)) {
        printf("Rotation center along the X axis (%.6f) is ignored because rotation angle is 0.0\n",
               a.rotCenterX);
    }
    if (!is_zero(a.rotCenterY)) {
        printf("Rotation center along the Y axis (%.6f) is ignored because rotation angle is 0.0\n",
               a.rotCenterY);
    }
}

// Input and output must be two files: the same name, or two names (links) of
// one file, would have the output empty the input before it is read.
bool same_file(const char *input, const char *output) {
    if (strcmp(input, output) == 0) return true;
    struct stat in {}, out {};
    if (stat(input, &in) != 0 || stat(output, &out) != 0) return false;
    return in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

// Checks that the header's layout fits the file before any output exists:
// the point data must begin after the public header, and the file must hold
// every record that the header announces.
bool check_layout(const LAS12Header &ph12, uint64_t fileSize, const char *name) {
    const uint32_t offsetToData = ph12.OffsetToData;
    if (offsetToData < headerBytes) {
        printf("\nOffsetToData of %s (%u) lies inside its %u-byte header\n", name, offsetToData,
               headerBytes);
        return false;
    }
    if (fileSize < offsetToData) {
        printf("\nFile %s ends at byte %llu, before its point data at byte %u\n", name,
               static_cast<unsigned long long>(fileSize), offsetToData);
        return false;
    }
    const uint32_t count = ph12.NumberOfPointReturns;
    const uint64_t recordLength = ph12.PointDataRecordLength;
    const uint64_t held = (fileSize - offsetToData) / recordLength;
    if (held < count) {
        printf("\nFile %s ends early: it holds %llu of the %u point records that its header "
               "announces\n",
               name, static_cast<unsigned long long>(held), count);
        return false;
    }
    return true;
}

void patch_bounds(LAS12Header &ph12, const Arguments &a, const Bounds &b) {
    if (is_zero(a.angle)) {
        if (!is_zero(a.transX)) {
            ph12.MinX = ph12.MinX + a.transX;
            ph12.MaxX = ph12.MaxX + a.transX;
        }
        if (!is_zero(a.transY)) {
            ph12.MinY = ph12.MinY + a.transY;
            ph12.MaxY = ph12.MaxY + a.transY;
        }
    }
    if (!is_zero(a.transZ)) {
        ph12.MinZ = ph12.MinZ + a.transZ;
        ph12.MaxZ = ph12.MaxZ + a.transZ;
    }
    if (!is_zero(a.angle)) {
        ph12.MinX = b.Xmin;
        ph12.MaxX = b.Xmax;
        ph12.MinY = b.Ymin;
        ph12.MaxY = b.Ymax;
    }
}

Transform make_transform(const Arguments &a, const LAS12Header &ph12) {
    const double theta = K * a.angle;
    Transform t{};
    t.c = cos(theta);
    t.s = sin(theta);
    t.sPrime = sin(K * (-a.angle));
    t.transX = a.transX;
    t.transY = a.transY;
    t.transZ = a.transZ;
    t.rotCenterX = a.rotCenterX;
    t.rotCenterY = a.rotCenterY;
    t.XScaleFactor = ph12.XScaleFactor;
    t.YScaleFactor = ph12.YScaleFactor;
    t.ZScaleFactor = ph12.ZScaleFactor;
    t.XOffset = ph12.XOffset;
    t.YOffset = ph12.YOffset;
    t.ZOffset = ph12.ZOffset;
    return t;
}

// Copies the header and whatever lies between it and the point data (the
// variable-length records, a header extension), then streams the records
// through `buf`, rewriting their coordinates, and finally rewrites the first
// HeaderSize bytes (at most the 227 held) with the patched bounds.
bool move_points(const Arguments &a, Input &in, Output &out, LAS12Header &ph12,
                 unsigned char *buf, size_t bufSize) {
    if (!out.write(&ph12, headerBytes)) return false;

    const auto endsEarly = [&a](size_t) {
        printf("\nFile %s ends before the end of its point records\n", a.input);
    };
    uint64_t between = ph12.OffsetToData - headerBytes;
    while (between > 0) {
        const size_t n = between < bufSize ? static_cast<size_t>(between) : bufSize;
        if (!in.read_exactly(buf, n, endsEarly) || !out.write(buf, n)) return false;
        between -= n;
    }

    const Transform t = make_transform(a, ph12);
    const bool rotating = !is_zero(a.angle);
    Bounds bounds;
    const size_t recordLength = ph12.PointDataRecordLength;
    const size_t blockRecords = bufSize / recordLength;
    const uint32_t count = ph12.NumberOfPointReturns;
    for (uint32_t i = 0; i < count;) {
        const size_t n = count - i < blockRecords ? count - i : blockRecords;
        if (!in.read_exactly(buf, n * recordLength, endsEarly)) return false;
        BadCoordinate bad{};
        const size_t done = transform_records(buf, n, recordLength, t, rotating, bounds, bad);
        if (done < n) {
            printf("\nPoint record %llu of %s: the new %c (%.17g) does not fit a signed 32-bit "
                   "integer\n",
                   static_cast<unsigned long long>(i) + done + 1, a.input, bad.axis, bad.quotient);
            return false;
        }
        if (!out.write(buf, n * recordLength)) return false;
        i += static_cast<uint32_t>(n);
    }

    patch_bounds(ph12, a, bounds);
    const uint16_t headerSize = ph12.HeaderSize;
    return out.write(&ph12, headerSize < headerBytes ? headerSize : headerBytes, 0);
}

// Steps from opening the input to the completed output. Every input-side
// refusal comes before the output is opened, so a refused run leaves the
// output as it was.
int move_file(const Arguments &a) {
    if (same_file(a.input, a.output)) {
        error_msg(3, a.output);
        return -1;
    }
    Input in(a.input);
    if (!in.is_open()) {
        printf("\nCannot open binary file %s for reading\n\n", a.input);
        return -1;
    }
    LAS12Header ph12;
    const auto shortHeader = [&a](size_t got) {
        printf("\nFile %s ends inside its header: %zu of %u bytes\n", a.input, got, headerBytes);
    };
    if (!in.read_exactly(&ph12, headerBytes, shortHeader)) return -1;
    if (!check_layout(ph12, in.size(), a.input)) return -1;

    const uint64_t outputSize = uint64_t{ph12.OffsetToData} +
                                uint64_t{ph12.NumberOfPointReturns} * ph12.PointDataRecordLength;
    Output out(a.output, outputSize);
    if (!out.is_open()) {
        printf("\nCannot open binary file %s for writing\n\n", a.output);
        return -1;
    }
    // The validator admits only record lengths 20 to 34, so the buffer holds
    // many whole records.
    const size_t recordLength = ph12.PointDataRecordLength;
    const size_t bufSize = blockBytes / recordLength * recordLength;
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[bufSize]);
    if (!buf) {
        printf("\nFailed to allocate memory for a single return record\n");
        return -1;
    }
    if (!move_points(a, in, out, ph12, buf.get(), bufSize)) return -1;
    return out.commit(outputSize) ? 0 : -1;
}

}  // namespace

void usage(void) {
    credits();
    printf("\nUsage:\tcloudmove INPUT.las OUTPUT.las\n");
    printf("\tX_translation Y_translation Z_translation\n");
    printf("\tRotation_angle X_rotation_center Y_rotation_center\n");
}

int cloudmove_run(int argc, char **argv) {
    if (argc != 9) {
        usage();
        if (argc != 1) printf("\nWrong arguments specified \n");
        return -1;
    }
    const Arguments a = parse_arguments(argv);
    credits();
    const clock_t cstart = clock();

    if (is_zero(a.transX) && is_zero(a.transY) && is_zero(a.transZ) && is_zero(a.angle)) {
        printf("No rotation and no translation specified. Nothing to do!\n");
        return -1;
    }
    report(a);

    const int16_t LASType = check_las(a.input);
    if (LASType < LAS_TYPE_10_FORMAT0 || LASType > LAS_TYPE_12_FORMAT3) {
        printf("%s is not a valid LAS file\n", a.input);
        usage();
        return -1;
    }
    if (move_file(a) != 0) return -1;

    printf("\nCompleted in %.3f seconds\n",
           static_cast<double>(clock() - cstart) / static_cast<double>(CLOCKS_PER_SEC));
    return 0;
}
