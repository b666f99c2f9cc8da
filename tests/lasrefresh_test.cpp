// The lasrefresh command, run as a user runs it.

#include <gtest/gtest.h>

#include "Korvana_LiDAR.h"
#include "las_fixture.h"
#include "run_command.h"

using fixture::Bytes;
using fixture::TempDir;
using testing_support::Outcome;

namespace {

Outcome lasrefresh(const std::vector<std::string> &files) {
    std::vector<std::string> argv{testing_support::lasrefresh_path()};
    argv.insert(argv.end(), files.begin(), files.end());
    return testing_support::run_command(argv);
}

// A file whose header says nothing true about its three records.
fixture::LasFile stale_file() {
    fixture::LasFile las =
        fixture::make_las(2, 1, {{100, -200, 300, 1}, {-50, 70, 90, 2}, {10, 20, 30, 1}});
    las.header.NumberOfPointReturns = 7;
    las.header.NumberOfPointsByReturn[0] = 7;
    las.header.MaxX = 99;
    return las;
}

std::string updated(const std::string &name) {
    return "\rHeader of file " + name + " has been updated    ";
}

TEST(Lasrefresh, UsageWithoutFiles) {
    const Outcome o = lasrefresh({});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, testing_support::banner() +
                         "\nUsage:\tlasrefresh FILE.las [FILE.las ...]\n"
                         "\tRecounts the point records of each file by return number, recomputes\n"
                         "\tthe bounding box from them and rewrites the header in place.\n");
}

TEST(Lasrefresh, RepairsEveryFileNamed) {
    TempDir dir;
    const std::string a = dir / "a.las", b = dir / "b.las";
    fixture::write_las(a, stale_file());
    fixture::write_las(b, stale_file());
    const Outcome o = lasrefresh({a, b});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, updated(a) + updated(b) + "\n");
    for (const std::string &name : {a, b}) {
        const LAS12Header h = fixture::header_of(fixture::read_file(name));
        EXPECT_EQ(uint32_t{h.NumberOfPointReturns}, 3u);
        EXPECT_EQ(uint32_t{h.NumberOfPointsByReturn[0]}, 2u);
        EXPECT_EQ(uint32_t{h.NumberOfPointsByReturn[1]}, 1u);
        // Stored extremes times the scale factor of 0.01.
        const double scale = 0.01;
        EXPECT_EQ(fixture::bounds_of(h), (fixture::Bounds{100 * scale, -50 * scale, 70 * scale,
                                                          -200 * scale, 300 * scale, 30 * scale}));
    }
}

TEST(Lasrefresh, StopsAtTheFirstFileThatFails) {
    TempDir dir;
    const std::string a = dir / "a.las", bad = dir / "bad.las", c = dir / "c.las";
    fixture::write_las(a, stale_file());
    fixture::write_file(bad, {'L', 'A', 'S', 'F'});
    fixture::write_las(c, stale_file());
    const Bytes before = fixture::read_file(c);
    const Outcome o = lasrefresh({a, bad, c});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, updated(a) + "\n" + bad + " is not a valid .las file\n\n");
    EXPECT_EQ(fixture::read_file(c), before);
}

}  // namespace
