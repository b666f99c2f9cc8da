// cloudmove: rotates a LAS point cloud in the horizontal plane about a centre
// and translates it along X, Y and Z, re-quantising every point record.

#include "cloudmove.h"

#include <sys/stat.h>

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
#include "files.h"
#include "pipeline.h"
#include "progress.h"
#include "transform.h"

namespace {

constexpr uint32_t headerBytes = sizeof(LAS12Header);

// Records stream through buffers of about this size.
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
bool is_zero(double v) {
    return v == 0.0;
}

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
    struct stat in {};
    struct stat out {};
    if (stat(input, &in) != 0 || stat(output, &out) != 0) return false;
    return in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

void report_read_failure(const char *name, int error) {
    printf("\nFailed to read %s: %s\n", name, strerror(error));
}

void report_ended_early(const char *name, uint64_t held, uint32_t count) {
    printf(
        "\nFile %s ends early: it holds %llu of the %u point records that its header announces\n",
        name, static_cast<unsigned long long>(held), count);
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
        report_ended_early(name, held, count);
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

// Prints why the records stopped before the last one.
void report_failure(const Failure &f, const Arguments &a, uint32_t count) {
    switch (f.kind) {
    case Failure::Kind::ReadError:
        report_read_failure(a.input, f.error);
        break;
    case Failure::Kind::EndedEarly:
        report_ended_early(a.input, f.record, count);
        break;
    case Failure::Kind::BadCoordinate:
        printf(
            "\nPoint record %llu of %s: the new %c (%.17g) does not fit a signed 32-bit "
            "integer\n",
            static_cast<unsigned long long>(f.record) + 1, a.input, f.bad.axis, f.bad.quotient);
        break;
    case Failure::Kind::None:
        break;
    }
}

// Copies `size` bytes from the input's position to the output's.
bool copy_bytes(Input &in, Output &out, uint64_t size) {
    unsigned char buf[65536];
    while (size > 0) {
        const size_t n = size < sizeof buf ? static_cast<size_t>(size) : sizeof buf;
        const ssize_t got = in.read(buf, n);
        if (got < 0) {
            report_read_failure(in.name(), errno);
            return false;
        }
        if (static_cast<size_t>(got) < n) {
            printf("\nFile %s ends before its point data\n", in.name());
            return false;
        }
        if (!out.write(buf, n)) return false;
        size -= n;
    }
    return true;
}

// Writes the header and whatever lies between it and the point data (the
// variable-length records, a header extension), then the moved records, and
// finally rewrites the first HeaderSize bytes (at most the 227 held) with the
// patched bounds.
bool move_points(const Arguments &a, Input &in, Output &out, LAS12Header &ph12,
                 unsigned char *storage, size_t bufferBytes) {
    if (!out.write(&ph12, headerBytes) || !copy_bytes(in, out, ph12.OffsetToData - headerBytes)) {
        return false;
    }
    const uint32_t count = ph12.NumberOfPointReturns;
    MovedRecords records(in, make_transform(a, ph12), !is_zero(a.angle), count,
                         ph12.PointDataRecordLength, storage, bufferBytes);
    const unsigned char *block = nullptr;
    size_t size = 0;
    uint64_t written = 0;
    int error = 0;
    Progress progress(uint64_t{count} * ph12.PointDataRecordLength);
    while (records.next(block, size)) {
        error = out.put(block, size);
        if (error != 0) break;
        records.release();
        progress.show(written += size);
    }
    progress.clear();
    if (error != 0) return out.failed(error);
    if (records.failure().kind != Failure::Kind::None) {
        report_failure(records.failure(), a, count);
        return false;
    }
    patch_bounds(ph12, a, records.bounds());
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
    const ssize_t got = in.read(&ph12, headerBytes);
    if (got < 0) {
        report_read_failure(a.input, errno);
        return -1;
    }
    if (got < static_cast<ssize_t>(headerBytes)) {
        printf("\nFile %s ends inside its header: %zd of %u bytes\n", a.input, got, headerBytes);
        return -1;
    }
    if (!check_layout(ph12, in.size(), a.input)) return -1;

    Output out(a.output);
    if (!out.is_open()) {
        printf("\nCannot open binary file %s for writing\n\n", a.output);
        return -1;
    }
    // Buffers of whole records, written by this thread while the next ones
    // are filled. The validator admits only record lengths 20 to 34, so each
    // holds many.
    const size_t recordLength = ph12.PointDataRecordLength;
    const size_t bufferBytes = blockBytes / recordLength * recordLength;
    std::unique_ptr<unsigned char[]> storage(
        new (std::nothrow) unsigned char[MovedRecords::buffers * bufferBytes]);
    if (!storage) {
        printf("\nFailed to allocate memory for a single return record\n");
        return -1;
    }
    if (!move_points(a, in, out, ph12, storage.get(), bufferBytes)) return -1;
    return out.commit(uint64_t{ph12.OffsetToData} +
                      uint64_t{ph12.NumberOfPointReturns} * ph12.PointDataRecordLength)
               ? 0
               : -1;
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
