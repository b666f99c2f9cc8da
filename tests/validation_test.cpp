// The library's file checks, validator, message table and banner.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "Korvana_LiDAR.h"
#include "las_fixture.h"
#include "run_command.h"

using fixture::TempDir;
using testing_support::captured_stdout;

namespace {

struct Said {
    int result;
    std::string out;
};

template <typename Call>
Said said(Call call) {
    int result = 0;
    const std::string out = captured_stdout([&] { result = call(); });
    return {result, out};
}

TEST(FileAccess, OpensReadableFilesAndNamesTheOthers) {
    TempDir dir;
    fixture::write_file(dir / "a.las", {1, 2, 3});
    EXPECT_EQ(said([&] { return file_access((dir / "a.las").c_str()); }).out, "");
    EXPECT_EQ(said([&] { return file_access((dir / "a.las").c_str()); }).result, 0);

    const std::string missing = dir / "missing.las";
    const Said s = said([&] { return file_access(missing.c_str()); });
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.out, "Unable to open file " + missing + " in file_access()\n");
}

TEST(CheckFileExtension, Table) {
    struct Case {
        const char *name;
        const char *extension;
        int result;
        std::string out;
    };
    const Case cases[] = {
        {"a.las", "las", 0, ""},
        {"dir.d/tile.las", "las", 0, ""},
        {".las", "las", -1, "\nFile name (.las) is too short\n"},
        {"", "las", -1, "\nFile name () is too short\n"},
        {"abc.LAS", "las", -1, "\nFile extension of abc.LAS is not .las\n"},
        {"abc.lasx", "las", -1, "\nExtension of file abc.lasx should be preceeded by a dot (.)\n"},
        {"abc.las", ".las", -1, "\nFile extension of abc.las is not ..las\n"},
        {"abc.las", "la", -1, "\nFile extension of abc.las is not .la\n"},
        {"tile.flt", "asc", -1, "\nFile extension of tile.flt is not .asc\n"},
    };
    for (const Case &c : cases) {
        const Said s = said([&] { return check_file_extension(c.name, c.extension); });
        EXPECT_EQ(s.result, c.result) << c.name << " / " << c.extension;
        EXPECT_EQ(s.out, c.out) << c.name << " / " << c.extension;
    }
}

TEST(ErrorMsg, PrintsTheMessageOfEachCode) {
    const std::pair<int, std::string> cases[] = {
        {0, ""},
        {1, "\nFile x.las does NOT exist\n"},
        {2, "\nFile x.las already exists\n"},
        {3, "\nSame file name (x.las) has been specified twice\n"},
        {4, ""},
        {-1, ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(captured_stdout([&] { error_msg(c.first, "x.las"); }), c.second) << c.first;
    }
}

TEST(Credits, PrintsTheBanner) {
    EXPECT_EQ(captured_stdout([] { credits(); }),
              "\nKorvana LiDAR Utilities"
              "\n\nDeveloped and maintained by the Korvana LiDAR team"
              "\nKorvana Geospatial Tools Group"
              "\n12 Baseline Road, Meridian Town 00000"
              "\n\n** No warranty regarding script behavior is given or implied **"
              "\n** Acknowledging the author's efforts ensures script updates and availability "
              "**\n");
}

// A 227-byte header with the fields that the validator reads.
fixture::Bytes header_bytes(uint8_t major, uint8_t minor, uint8_t format, uint16_t length) {
    fixture::LasFile las = fixture::make_las(2, 0, {});
    las.header.VersionMajor = major;
    las.header.VersionMinor = minor;
    las.header.PointDataFormatID = format;
    las.header.PointDataRecordLength = length;
    return fixture::to_bytes(las);
}

fixture::Bytes cut(fixture::Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

TEST(CheckLas, DecisionTable) {
    struct Case {
        uint8_t major, minor, format;
        uint16_t length;
        int code;
        const char *message;  // %s stands for the file name
    };
    const char *mismatch =
        "\nData format of %s (%c) is incompatible with Length of Data Record (%d)\n";
    const Case cases[] = {
        {1, 0, 0, 20, 1, ""},
        {1, 0, 1, 28, 2, ""},
        {1, 1, 0, 20, 3, ""},
        {1, 1, 1, 28, 4, ""},
        {1, 2, 0, 20, 5, ""},
        {1, 2, 1, 28, 6, ""},
        {1, 2, 2, 26, 7, ""},
        {1, 2, 3, 34, 8, ""},
        // LAS 1.0 and 1.1 with format 2 or 3: unsupported, silently, whatever the length.
        {1, 0, 2, 26, 0, ""},
        {1, 0, 3, 0, 0, ""},
        {1, 1, 2, 99, 0, ""},
        {1, 1, 3, 34, 0, ""},
        // Record lengths that do not fit the format, shorter or longer.
        {1, 0, 0, 28, -1, mismatch},
        {1, 0, 1, 20, -1, mismatch},
        {1, 1, 0, 0, -1, mismatch},
        {1, 1, 1, 65535, -1, mismatch},
        {1, 2, 0, 21, -1, mismatch},
        {1, 2, 1, 30, -1, mismatch},
        {1, 2, 2, 34, -1, mismatch},
        {1, 2, 3, 26, -1, mismatch},
        {1, 2, 3, 35, -1, mismatch},
    };
    TempDir dir;
    const std::string name = dir / "t.las";
    for (const Case &c : cases) {
        fixture::write_file(name, header_bytes(c.major, c.minor, c.format, c.length));
        const Said s = said([&] { return check_las(name.c_str()); });
        char expected[512] = "";
        if (*c.message) {
            snprintf(expected, sizeof expected, c.message, name.c_str(), '0' + c.format, c.length);
        }
        const std::string where = std::to_string(c.minor) + "/" + std::to_string(c.format) + "/" +
                                  std::to_string(c.length);
        EXPECT_EQ(s.result, c.code) << where;
        EXPECT_EQ(s.out, expected) << where;
    }
}

TEST(CheckLas, RefusesWhatItCannotHandle) {
    TempDir dir;
    const std::string name = dir / "t.las";
    struct Case {
        const char *what;
        fixture::Bytes bytes;
        std::string out;
    };
    fixture::Bytes lowerCase = header_bytes(1, 2, 0, 20);
    memcpy(lowerCase.data(), "lasf", 4);
    const Case cases[] = {
        {"signature in lower case", lowerCase, "\n" + name + " is not a valid .las file\n\n"},
        {"version 2.0", header_bytes(2, 0, 0, 20), "\nCannot handle las files of version 2.x\n"},
        {"version 0.9", header_bytes(0, 9, 0, 20), "\nCannot handle las files of version 0.x\n"},
        {"version 1.3", header_bytes(1, 3, 0, 20), "\nCannot handle las files of version 1.3\n"},
        {"version 1.4", header_bytes(1, 4, 6, 30), "\nCannot handle las files of version 1.4\n"},
        {"format 5", header_bytes(1, 2, 5, 63),
         "\nPointDataFormatID in " + name + " is 5. Only 0, 1, 2, or 3 is accepted\n"},
        // Files that end before the fields the validator reads are not LAS files.
        {"empty file", {}, "\n" + name + " is not a valid .las file\n\n"},
        {"cut at 3 bytes", {'L', 'A', 'S'}, "\n" + name + " is not a valid .las file\n\n"},
        {"cut at 100 bytes", cut(header_bytes(1, 2, 0, 20), 100),
         "\n" + name + " is not a valid .las file\n\n"},
        {"cut at 106 bytes", cut(header_bytes(1, 2, 0, 20), 106),
         "\n" + name + " is not a valid .las file\n\n"},
    };
    for (const Case &c : cases) {
        fixture::write_file(name, c.bytes);
        const Said s = said([&] { return check_las(name.c_str()); });
        EXPECT_EQ(s.result, -1) << c.what;
        EXPECT_EQ(s.out, c.out) << c.what;
    }

    // A header cut right after the record length is enough for the validator.
    fixture::write_file(name, cut(header_bytes(1, 2, 3, 34), 107));
    EXPECT_EQ(said([&] { return check_las(name.c_str()); }).result, 8);
}

TEST(CheckLas, NamesAndKindsOfFile) {
    TempDir dir;
    const std::string missing = dir / "missing.las";
    Said s = said([&] { return check_las(missing.c_str()); });
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.out, "Unable to open file " + missing + " in file_access()\n\nFile " + missing +
                         " does NOT exist\n");

    // The extension is examined before the contents.
    const std::string capitals = dir / "tile.LAS";
    fixture::write_file(capitals, header_bytes(1, 2, 0, 20));
    s = said([&] { return check_las(capitals.c_str()); });
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.out, "\nFile extension of " + capitals + " is not .las\n");

    // Neither a folder nor a FIFO is a LAS file, and probing a FIFO does not wait for a writer.
    const std::string folder = dir / "folder.las";
    std::filesystem::create_directory(folder);
    s = said([&] { return check_las(folder.c_str()); });
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.out, "\n" + folder + " is not a valid .las file\n\n");

    const std::string fifo = dir / "fifo.las";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    s = said([&] { return check_las(fifo.c_str()); });
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.out, "\n" + fifo + " is not a valid .las file\n\n");
}

}  // namespace
