// The cloudmove command, run as a user runs it: the built binary on small LAS
// files, checking what it prints, its exit status and the bytes it writes.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
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

namespace {

const std::string &banner = testing_support::banner();
const std::string &usageLines = testing_support::cloudmove_usage();

Outcome cloudmove(const std::vector<std::string> &args) {
    std::vector<std::string> argv{testing_support::cloudmove_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome o = testing_support::run_command(argv);
    o.out = testing_support::without_elapsed_time(o.out);
    return o;
}

const std::string completed = "\nCompleted in T seconds\n";

// The output a run must produce, computed record by record.
struct Move {
    double transX = 0, transY = 0, transZ = 0, angle = 0, rotCenterX = 0, rotCenterY = 0;
};

Bytes expected_output(const Bytes &input, const Move &m) {
    Bytes out = input;
    LAS12Header h = fixture::header_of(input);
    const double K = 0.01745329252;
    const double c = std::cos(K * m.angle), s = std::sin(K * m.angle), s2 = std::sin(K * -m.angle);
    double Xmin = 1e13, Xmax = -1e13, Ymin = 1e13, Ymax = -1e13;
    for (uint32_t k = 0; k < h.NumberOfPointReturns; ++k) {
        uint8_t *r = out.data() + h.OffsetToData + size_t{k} * h.PointDataRecordLength;
        int32_t X, Y, Z;
        memcpy(&X, r, 4);
        memcpy(&Y, r + 4, 4);
        memcpy(&Z, r + 8, 4);
        const double dx = (X * h.XScaleFactor + h.XOffset) - m.rotCenterX;
        const double dy = (Y * h.YScaleFactor + h.YOffset) - m.rotCenterY;
        const double newX = ((c * dx + m.rotCenterX) + s * dy) + m.transX;
        const double newY = ((s2 * dx + m.rotCenterY) + c * dy) + m.transY;
        const double newZ = (Z * h.ZScaleFactor + h.ZOffset) + m.transZ;
        X = static_cast<int32_t>((newX - h.XOffset) / h.XScaleFactor);
        Y = static_cast<int32_t>((newY - h.YOffset) / h.YScaleFactor);
        Z = static_cast<int32_t>((newZ - h.ZOffset) / h.ZScaleFactor);
        memcpy(r, &X, 4);
        memcpy(r + 4, &Y, 4);
        memcpy(r + 8, &Z, 4);
        Xmin = newX < Xmin ? newX : Xmin;
        Xmax = newX > Xmax ? newX : Xmax;
        Ymin = newY < Ymin ? newY : Ymin;
        Ymax = newY > Ymax ? newY : Ymax;
    }
    if (m.angle == 0) {
        if (m.transX != 0) h.MinX = h.MinX + m.transX, h.MaxX = h.MaxX + m.transX;
        if (m.transY != 0) h.MinY = h.MinY + m.transY, h.MaxY = h.MaxY + m.transY;
    } else {
        h.MinX = Xmin, h.MaxX = Xmax, h.MinY = Ymin, h.MaxY = Ymax;
    }
    if (m.transZ != 0) h.MinZ = h.MinZ + m.transZ, h.MaxZ = h.MaxZ + m.transZ;
    memcpy(out.data(), &h, std::min<size_t>(h.HeaderSize, sizeof h));
    out.resize(h.OffsetToData + size_t{h.NumberOfPointReturns} * h.PointDataRecordLength);
    return out;
}

std::string text(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::vector<std::string> move_args(const std::string &in, const std::string &out, const Move &m) {
    return {in,
            out,
            text(m.transX),
            text(m.transY),
            text(m.transZ),
            text(m.angle),
            text(m.rotCenterX),
            text(m.rotCenterY)};
}

TEST(Cloudmove, WrongArgumentCounts) {
    Outcome o = cloudmove({});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, usageLines);

    for (size_t count : {1u, 7u, 9u}) {
        o = cloudmove(std::vector<std::string>(count, "1"));
        EXPECT_EQ(o.status, 255) << count;
        EXPECT_EQ(o.out, usageLines + "\nWrong arguments specified \n") << count;
    }
}

TEST(Cloudmove, NothingToDo) {
    // The input is not opened, so a missing one gives the same answer; texts
    // that are not numbers read as 0, and the centre plays no part.
    for (const std::vector<std::string> &numbers :
         {std::vector<std::string>{"0", "0", "0", "0", "0", "0"},
          {"abc", "-0", " 0.0", "0e5", "5", "7"},
          {"nan", "inf", "0x10", "", "1", "1"}}) {
        std::vector<std::string> args{"/nonexistent/in.las", "/nonexistent/out.las"};
        args.insert(args.end(), numbers.begin(), numbers.end());
        const Outcome o = cloudmove(args);
        EXPECT_EQ(o.status, 255);
        EXPECT_EQ(o.out, banner + "No rotation and no translation specified. Nothing to do!\n");
    }
}

TEST(Cloudmove, ReportLines) {
    TempDir dir;
    fixture::write_las(dir / "in.las", fixture::make_las(2, 0, {{100, 200, 300}}));
    struct Case {
        std::vector<std::string> numbers;
        std::string report;
    };
    const Case cases[] = {
        {{"1.5", "0", "0", "0", "0", "0"},
         "Translation along the X axis (East/West)  by 1.500000\n"},
        {{"0", "-2", "3e1", "0", "5", "0"},
         "Translation along the Y axis (NorthSouth) by -2.000000\n"
         "Translation along the Z axis (Up/Down)    by 30.000000\n"
         "Rotation center along the X axis (5.000000) is ignored because rotation angle is 0.0\n"},
        {{"0", "0", "1", "0", "0", "5"},
         "Translation along the Z axis (Up/Down)    by 1.000000\n"
         "Rotation center along the Y axis (5.000000) is ignored because rotation angle is 0.0\n"},
        {{"1", "1", "1", "0", "5", "5.25"},
         "Translation along the X axis (East/West)  by 1.000000\n"
         "Translation along the Y axis (NorthSouth) by 1.000000\n"
         "Translation along the Z axis (Up/Down)    by 1.000000\n"
         "Rotation center along the X axis (5.000000) is ignored because rotation angle is 0.0\n"
         "Rotation center along the Y axis (5.250000) is ignored because rotation angle is 0.0\n"},
        {{"0", "0", "0", "12.5deg", "0", "0"},
         "Rotation by 12.500000 degrees\nRotation center at [0.000000, 0.000000]\n"},
        {{"  +2", "0", "0", "-90", "1e2", "-3.5"},
         "Translation along the X axis (East/West)  by 2.000000\n"
         "Rotation by -90.000000 degrees\nRotation center at [100.000000, -3.500000]\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{dir / "in.las", dir / "out.las"};
        args.insert(args.end(), c.numbers.begin(), c.numbers.end());
        const Outcome o = cloudmove(args);
        EXPECT_EQ(o.status, 0) << c.report;
        EXPECT_EQ(o.out, banner + c.report + completed);
    }
}

TEST(Cloudmove, RefusedInputLeavesTheOutputAlone) {
    TempDir dir;
    LasFile las = fixture::make_las(2, 0, {{1, 2, 3}});
    las.header.VersionMinor = 3;
    const std::string in = dir / "v13.las", out = dir / "out.las";
    fixture::write_las(in, las);
    fixture::write_file(out, {'k', 'e', 'e', 'p'});

    Outcome o = cloudmove({in, out, "1", "0", "0", "0", "0", "0"});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, banner + "Translation along the X axis (East/West)  by 1.000000\n" +
                         "\nCannot handle las files of version 1.3\n" + in +
                         " is not a valid LAS file\n" + usageLines);
    EXPECT_EQ(fixture::read_file(out), (Bytes{'k', 'e', 'e', 'p'}));

    // LAS 1.1 with format 3 is recognised but not supported: no reason of its own.
    las = fixture::make_las(1, 3, {{1, 2, 3}});
    fixture::write_las(in, las);
    std::filesystem::remove(out);
    o = cloudmove({in, out, "0", "0", "0", "45", "0", "0"});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out,
              banner + "Rotation by 45.000000 degrees\nRotation center at [0.000000, 0.000000]\n" +
                  in + " is not a valid LAS file\n" + usageLines);
    EXPECT_FALSE(fixture::exists(out));
}

TEST(Cloudmove, TruncatesTowardZero) {
    TempDir dir;
    const std::string in = dir / "in.las", out = dir / "out.las";
    fixture::write_las(in, fixture::make_las(2, 1, {{29, 29, 29}, {-29, -29, -29}}));
    const Outcome o = cloudmove({in, out, "0", "0", "1", "0", "0", "0"});
    ASSERT_EQ(o.status, 0) << o.out;
    const Bytes bytes = fixture::read_file(out);
    const Point p0 = fixture::point_of(bytes, 227, 28, 0),
                p1 = fixture::point_of(bytes, 227, 28, 1);
    EXPECT_EQ(std::vector<int32_t>({p0.X, p0.Y, p0.Z}), std::vector<int32_t>({28, 28, 129}));
    EXPECT_EQ(std::vector<int32_t>({p1.X, p1.Y, p1.Z}), std::vector<int32_t>({-28, -28, 71}));
    // With an angle of 0 only Z's bounds move; X and Y keep the input's.
    EXPECT_EQ(fixture::bounds_of(fixture::header_of(bytes)),
              (fixture::Bounds{0.29, -0.29, 0.29, -0.29, 0.29 + 1, -0.29 + 1}));
}

TEST(Cloudmove, PositiveAnglesTurnClockwise) {
    TempDir dir;
    const std::string in = dir / "in.las", out = dir / "out.las";
    fixture::write_las(in, fixture::make_las(2, 0, {{100, 0, 500}, {0, 100, 500}}));
    ASSERT_EQ(cloudmove({in, out, "0", "0", "0", "90", "0", "0"}).status, 0);
    Bytes bytes = fixture::read_file(out);
    // East of the centre moves south; north of it moves east.
    const Point east = fixture::point_of(bytes, 227, 20, 0),
                north = fixture::point_of(bytes, 227, 20, 1);
    EXPECT_EQ(std::vector<int32_t>({east.X, east.Y, east.Z}), std::vector<int32_t>({0, -100, 500}));
    EXPECT_EQ(std::vector<int32_t>({north.X, north.Y, north.Z}),
              std::vector<int32_t>({100, 0, 500}));

    // One record: the bounds are its real coordinates before truncation.
    fixture::write_las(in, fixture::make_las(2, 0, {{100, 0, 500}}));
    ASSERT_EQ(cloudmove({in, out, "0", "0", "0", "90", "0", "0"}).status, 0);
    const fixture::Bounds b = fixture::bounds_of(fixture::header_of(fixture::read_file(out)));
    EXPECT_EQ(b.MinY, -1.0);
    EXPECT_EQ(b.MaxY, -1.0);
    // cos(90 K) lies a hair below zero.
    EXPECT_EQ(b.MinX, b.MaxX);
    EXPECT_LT(b.MinX, -5.0e-12);
    EXPECT_GT(b.MinX, -5.2e-12);
}

TEST(Cloudmove, NoRecords) {
    TempDir dir;
    const std::string in = dir / "in.las", out = dir / "out.las";
    LasFile las = fixture::make_las(2, 3, {});
    las.header.MinX = 1, las.header.MaxX = 2, las.header.MinY = 3, las.header.MaxY = 4;
    las.header.MinZ = 5, las.header.MaxZ = 6;
    fixture::write_las(in, las);

    ASSERT_EQ(cloudmove({in, out, "0", "0", "0", "30", "0", "0"}).status, 0);
    Bytes bytes = fixture::read_file(out);
    ASSERT_EQ(bytes.size(), 227u);
    EXPECT_EQ(fixture::bounds_of(fixture::header_of(bytes)),
              (fixture::Bounds{-1e13, 1e13, -1e13, 1e13, 6, 5}));

    ASSERT_EQ(cloudmove({in, out, "10", "0", "0.5", "0", "0", "0"}).status, 0);
    EXPECT_EQ(fixture::bounds_of(fixture::header_of(fixture::read_file(out))),
              (fixture::Bounds{12, 11, 4, 3, 6.5, 5.5}));
}

// Every file type, random transforms, and record counts on both sides of the
// streaming block: the output equals the record-by-record result byte for byte.
TEST(Cloudmove, MatchesTheRecordByRecordResult) {
    TempDir dir;
    std::mt19937 rng(20261211);
    std::uniform_int_distribution<int32_t> coordinate(-2000000, 2000000);
    std::uniform_real_distribution<double> amount(-500, 500);
    const std::pair<uint8_t, uint8_t> types[] = {{0, 0}, {0, 1}, {1, 0}, {1, 1},
                                                 {2, 0}, {2, 1}, {2, 2}, {2, 3}};
    const size_t counts[] = {1, 3, 52428, 70001};  // 52428 fills 1 MiB of 20-byte records
    int run = 0;
    for (const auto &[minor, format] : types) {
        const size_t count = counts[run % 4];
        std::vector<Point> points(count);
        for (Point &p : points) p = {coordinate(rng), coordinate(rng), coordinate(rng), 1};
        LasFile las = fixture::make_las(minor, format, points);
        las.header.XScaleFactor = 0.001, las.header.YScaleFactor = 0.01;
        las.header.XOffset = 512000.5, las.header.YOffset = -4100.25, las.header.ZOffset = 12;
        if (run % 2) fixture::add_vlr(las, 34735, Bytes(40, 7));
        las.tail = {9, 9, 9};  // bytes after the records do not reach the output
        const std::string in = dir / "in.las", out = dir / "out.las";
        fixture::write_las(in, las);

        Move m{amount(rng), amount(rng), amount(rng), run % 3 ? amount(rng) : 0.0,
               amount(rng), amount(rng)};
        const Outcome o = cloudmove(move_args(in, out, m));
        ASSERT_EQ(o.status, 0) << o.out;
        const Bytes input = fixture::read_file(in), output = fixture::read_file(out);
        ASSERT_EQ(output.size(), input.size() - 3);
        EXPECT_TRUE(output == expected_output(input, m))
            << "1." << int(minor) << " format " << int(format);
        ++run;
    }
}

// -0 and +0 compare equal, so the bound keeps the first zero it meets. Here
// record 1 moves to +0 and record 8 to -0, while the others move east.
TEST(Cloudmove, BoundsKeepTheFirstOfEqualZeros) {
    TempDir dir;
    const std::string in = dir / "in.las", out = dir / "out.las";
    std::vector<Point> points(16, Point{0, 2, 0});
    points[1] = {1, 1, 0};
    points[8] = {0, 0, 0};
    LasFile las = fixture::make_las(2, 0, points);
    const double K = 0.01745329252, c = std::cos(180 * K), s = std::sin(180 * K);
    ASSERT_LT(c, 0);
    ASSERT_LT(s, 0);
    // With these scales c * dx and s * dy cancel exactly for record 1.
    las.header.XScaleFactor = -s;
    las.header.YScaleFactor = c;
    fixture::write_las(in, las);
    const Move m{-0.0, 0, 0, 180, -0.0, 0};
    const Outcome o = cloudmove(move_args(in, out, m));
    ASSERT_EQ(o.status, 0) << o.out;
    const Bytes output = fixture::read_file(out);
    EXPECT_TRUE(output == expected_output(fixture::read_file(in), m));
    EXPECT_EQ(fixture::bounds_of(fixture::header_of(output)).MinX, 0.0);
    EXPECT_FALSE(std::signbit(fixture::bounds_of(fixture::header_of(output)).MinX));
}

TEST(Cloudmove, CarriesVariableLengthRecordsAndHeaderExtensions) {
    TempDir dir;
    const std::string in = dir / "in.las", out = dir / "out.las";
    LasFile las = fixture::make_las(2, 3, {{1000, 2000, 3000}, {-5, 6, -7}});
    fixture::add_vlr(las, 34735, Bytes{1, 0, 1, 0, 0, 0, 1, 0});
    fixture::add_vlr(las, 2112, Bytes(300, 'w'));
    fixture::write_las(in, las);
    ASSERT_EQ(cloudmove({in, out, "1", "2", "3", "10", "4", "5"}).status, 0);
    Bytes input = fixture::read_file(in), output = fixture::read_file(out);
    ASSERT_EQ(output.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin() + 227, input.begin() + las.header.OffsetToData,
                           output.begin() + 227));
    const uint32_t offsetToData = fixture::header_of(output).OffsetToData;
    EXPECT_EQ(offsetToData, uint32_t{las.header.OffsetToData});
    EXPECT_EQ(uint32_t{fixture::header_of(output).NumberOfVariableLengthRecords}, 2u);
    for (size_t k = 0; k < 2; ++k) {
        const size_t at = offsetToData + k * 34;
        EXPECT_TRUE(
            std::equal(input.begin() + at + 12, input.begin() + at + 34, output.begin() + at + 12));
    }

    // A header larger than 227 bytes: its extension travels like the records
    // after it, and only the 227 bytes held are patched.
    las = fixture::make_las(2, 0, {{10, 20, 30}});
    las.vlrs = Bytes(16, 0xEE);
    las.header.HeaderSize = 243;
    las.header.OffsetToData = 243;
    fixture::write_las(in, las);
    ASSERT_EQ(cloudmove({in, out, "0", "0", "1", "0", "0", "0"}).status, 0);
    input = fixture::read_file(in), output = fixture::read_file(out);
    EXPECT_TRUE(output == expected_output(input, Move{0, 0, 1}));
    EXPECT_TRUE(std::equal(input.begin() + 227, input.begin() + 243, output.begin() + 227));

    // A header smaller than 227 bytes: only its own bytes are patched.
    las.header.HeaderSize = 200;
    las.header.OffsetToData = 227;
    las.vlrs.clear();
    fixture::write_las(in, las);
    ASSERT_EQ(cloudmove({in, out, "0", "0", "1", "0", "0", "0"}).status, 0);
    input = fixture::read_file(in), output = fixture::read_file(out);
    EXPECT_TRUE(output == expected_output(input, Move{0, 0, 1}));
    // Byte 211 lies beyond HeaderSize: MaxZ keeps the input's value.
    EXPECT_EQ(fixture::bounds_of(fixture::header_of(output)).MaxZ, double{las.header.MaxZ});
}

TEST(Cloudmove, ReplacesAnExistingOutput) {
    TempDir dir;
    const std::string in = dir / "in.las", out = dir / "out.las";
    fixture::write_las(in, fixture::make_las(2, 0, {{1, 2, 3}}));
    fixture::write_file(out, Bytes(5000, 1));
    ASSERT_EQ(cloudmove({in, out, "1", "0", "0", "0", "0", "0"}).status, 0);
    EXPECT_EQ(fixture::read_file(out).size(), 247u);
}

// SIGINT or SIGTERM in the middle of a large file ends the run with that
// signal, and the half-written output goes with it.
TEST(Cloudmove, InterruptedRunsLeaveNoOutput) {
    TempDir dir;
    const std::string in = dir / "in.las", out = dir / "out.las";
    // A gigabyte of records at (0, 0, 0), left sparse so that it costs no disk.
    LasFile las = fixture::make_las(2, 0, {});
    las.header.NumberOfPointReturns = 50000000;
    fixture::write_las(in, las);
    std::filesystem::resize_file(in, 227 + uint64_t{50000000} * 20);

    for (int signal : {SIGINT, SIGTERM}) {
        const testing_support::Started run = testing_support::start_command(
            {testing_support::cloudmove_path(), in, out, "0", "0", "1", "0", "0", "0"});
        std::error_code ignored;
        while (std::filesystem::file_size(out, ignored) < (1u << 20) || ignored) {
            ASSERT_EQ(waitpid(run.pid, nullptr, WNOHANG), 0) << "the run ended before the signal";
            usleep(1000);
        }
        kill(run.pid, signal);
        const Outcome o = testing_support::finish_command(run);
        EXPECT_EQ(o.status, 128 + signal);
        EXPECT_FALSE(fixture::exists(out)) << signal;
        EXPECT_EQ(std::filesystem::file_size(in), 227 + uint64_t{50000000} * 20);
    }
}

// A long run shows its progress on standard error when that is a terminal,
// and erases it before the completion line; standard output stays the same.
TEST(Cloudmove, ShowsProgressOnATerminalOnly) {
    TempDir dir;
    const std::string in = dir / "in.las", out = dir / "out.las";
    LasFile las = fixture::make_las(2, 0, {});
    las.header.NumberOfPointReturns = 15000000;  // 300 MB, sparse
    fixture::write_las(in, las);
    std::filesystem::resize_file(in, 227 + uint64_t{15000000} * 20);
    const std::vector<std::string> args{
        testing_support::cloudmove_path(), in, out, "0", "0", "1", "0", "0", "0"};
    const std::string expected =
        banner + "Translation along the Z axis (Up/Down)    by 1.000000\n" + completed;

    std::string terminal;
    Outcome o = testing_support::run_with_terminal(args, terminal);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(testing_support::without_elapsed_time(o.out), expected);
    EXPECT_NE(terminal.find("%"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find(" MB/s"), std::string::npos) << terminal;
    EXPECT_TRUE(terminal.ends_with("\r\033[K")) << terminal;

    // Standard error in a file: nothing is shown there.
    o = testing_support::run_command(
        {"/bin/sh", "-c", "\"$0\" \"$@\" 2>\"" + (dir / "stderr") + "\"", args[0], args[1], args[2],
         args[3], args[4], args[5], args[6], args[7], args[8]});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(testing_support::without_elapsed_time(o.out), expected);
    EXPECT_EQ(std::filesystem::file_size(dir / "stderr"), 0u);
}

TEST(Cloudmove, ExportsTheLibraryRoutinesOnly) {
    if (testing_support::underSanitizer)
        GTEST_SKIP() << "the sanitizer runtime exports its own symbols";
    const Outcome o =
        testing_support::run_command({"/bin/sh", "-c",
                                      "nm -D --defined-only " + testing_support::cloudmove_path() +
                                          " | awk '{print $3}' | LC_ALL=C sort"});
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(o.out,
              "check_DEM\ncheck_YN\ncheck_file_extension\ncheck_las\ncheck_numeric_argument\n"
              "credits\nd_parallel_qs\nd_parallel_quicksort\nd_qs\nd_quicksort\nerror_msg\n"
              "file_access\ninitialize_header10\ninitialize_header11\ninitialize_header12\n"
              "l_parallel_qs\nl_parallel_quicksort\nl_qs\nl_quicksort\nupdate_header\n");
}

}  // namespace
