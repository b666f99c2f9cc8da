// Korvana LiDAR Utilities: the LAS support library.
//
// Everything here is built with hidden visibility; only the routines declared
// in Korvana_LiDAR.h are exported.

#include "Korvana_LiDAR.h"

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

// ---------------------------------------------------------------------------
// Argument and file-name checks
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Index-carrying quicksorts
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Default header builders
// ---------------------------------------------------------------------------
