// Malformed inputs, and outputs that cannot be written, run through the built
// commands as a user runs them. Each ends with its message and exit status
// 255, leaves the input as it was, and leaves no half-written output: a run
// refused before it opens its output leaves an existing output alone; a run
// that fails after that removes what it wrote (but never a device or a link).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>

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
const std::string moveX = "Translation along the X axis (East/West)  by 1.000000\n";
const std::string moveZ = "Translation along the Z axis (Up/Down)    by 1.000000\n";

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Two records of format 1, edited by `edit`.
Bytes las_bytes(const std::function<void(LasFile &)> &edit = [](LasFile &) {}) {
    LasFile las = fixture::make_las(2, 1, {{1, 2, 3}, {4, 5, 6}});
    edit(las);
    return fixture::to_bytes(las);
}

Bytes cut(Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

struct Paths {
    std::string dir, in, out;
};

enum class Output {
    Kept,     // refused before the output is opened: an existing output keeps its bytes
    Removed,  // failed after the output was opened: the output is gone
    Special,  // the output is not a plain new file; the case checks it itself
};

struct Case {
    const char *what;
    std::function<void(Paths &)> make;  // writes the input; may choose another output
    std::string message;                // after the report; {in} and {out} stand for the paths
    Output output = Output::Kept;
    std::string report = moveX;
    std::vector<std::string> numbers = {"1", "0", "0", "0", "0", "0"};
    bool asUser = false;  // run without root's right to write anywhere
};

const std::string notLas = "\n{in} is not a valid .las file\n\n";
const std::string refusedInput = "{in} is not a valid LAS file\n" + usageLines;

std::vector<Case> cases() {
    const auto input = [](Bytes bytes) {
        return [bytes](Paths &p) { fixture::write_file(p.in, bytes); };
    };
    std::vector<Case> c = {
        // Files that the validator refuses.
        {"header cut at 0 bytes", input({}), notLas + refusedInput},
        {"header cut at 100 bytes", input(cut(las_bytes(), 100)), notLas + refusedInput},
        {"wrong signature", input(las_bytes([](LasFile &l) { memcpy(l.header.LASF, "LASG", 4); })),
         notLas + refusedInput},
        {"record length one below its format's",
         input(las_bytes([](LasFile &l) { l.header.PointDataRecordLength = 27; })),
         "\nData format of {in} (1) is incompatible with Length of Data Record (27)\n" +
             refusedInput},
        {"record length one above its format's",
         input(las_bytes([](LasFile &l) { l.header.PointDataRecordLength = 29; })),
         "\nData format of {in} (1) is incompatible with Length of Data Record (29)\n" +
             refusedInput},
        {"input a folder", [](Paths &p) { std::filesystem::create_directory(p.in); },
         notLas + refusedInput},
        {"input a FIFO", [](Paths &p) { ASSERT_EQ(mkfifo(p.in.c_str(), 0600), 0); },
         notLas + refusedInput},

        // Files whose header does not fit what they hold.
        {"header cut at 107 bytes", input(cut(las_bytes(), 107)),
         "\nFile {in} ends inside its header: 107 of 227 bytes\n"},
        {"header cut at 226 bytes", input(cut(las_bytes(), 226)),
         "\nFile {in} ends inside its header: 226 of 227 bytes\n"},
        {"OffsetToData of 0", input(las_bytes([](LasFile &l) { l.header.OffsetToData = 0; })),
         "\nOffsetToData of {in} (0) lies inside its 227-byte header\n"},
        {"OffsetToData of 100", input(las_bytes([](LasFile &l) { l.header.OffsetToData = 100; })),
         "\nOffsetToData of {in} (100) lies inside its 227-byte header\n"},
        {"OffsetToData one past the end",
         input(las_bytes([](LasFile &l) { l.header.OffsetToData = 227 + 56 + 1; })),
         "\nFile {in} ends at byte 283, before its point data at byte 284\n"},
        {"one record more than the file holds",
         input(las_bytes([](LasFile &l) { l.header.NumberOfPointReturns = 3; })),
         "\nFile {in} ends early: it holds 2 of the 3 point records that its header announces\n"},
        {"half a record missing", input(cut(las_bytes(), 227 + 56 - 14)),
         "\nFile {in} ends early: it holds 1 of the 2 point records that its header announces\n"},
        {"a count of 0xFFFFFFFF",
         input(las_bytes([](LasFile &l) { l.header.NumberOfPointReturns = 0xFFFFFFFF; })),
         "\nFile {in} ends early: it holds 2 of the 4294967295 point records that its header "
         "announces\n"},

        // Input and output are one file.
        {"output the input's name",
         [](Paths &p) { fixture::write_file(p.in, las_bytes()), p.out = p.in; },
         "\nSame file name ({out}) has been specified twice\n", Output::Special},
        {"output the input's name by another path",
         [](Paths &p) { fixture::write_file(p.in, las_bytes()), p.out = p.dir + "/./in.las"; },
         "\nSame file name ({out}) has been specified twice\n", Output::Special},
        {"output a hard link to the input",
         [](Paths &p) {
             fixture::write_file(p.in, las_bytes());
             ASSERT_EQ(link(p.in.c_str(), p.out.c_str()), 0);
         },
         "\nSame file name ({out}) has been specified twice\n", Output::Special},
        {"output a symbolic link to the input",
         [](Paths &p) {
             fixture::write_file(p.in, las_bytes());
             ASSERT_EQ(symlink(p.in.c_str(), p.out.c_str()), 0);
         },
         "\nSame file name ({out}) has been specified twice\n", Output::Special},

        // Failures after the output was opened.
        {"a quotient past the 32-bit range in the second block",
         [](Paths &p) {
             std::vector<Point> points(40000, Point{100, 100, 100});
             points[35000] = {2000000000, 5, 5};  // 2e7 + 2e7 is 4e9 hundredths
             fixture::write_las(p.in, fixture::make_las(2, 0, points));
         },
         "\nPoint record 35001 of {in}: the new X (4000000000) does not fit a signed 32-bit "
         "integer\n",
         Output::Removed,
         "Translation along the X axis (East/West)  by 20000000.000000\n",
         {"20000000", "0", "0", "0", "0", "0"}},
        {"a zero scale factor",
         input(las_bytes([](LasFile &l) { l.header.ZScaleFactor = 0; })),
         "\nPoint record 1 of {in}: the new Z (inf) does not fit a signed 32-bit integer\n",
         Output::Removed,
         moveZ,
         {"0", "0", "1", "0", "0", "0"}},
        // Even with an angle of 0, X takes 0 times dy, and 0 times NaN is NaN.
        {"a NaN scale factor",
         input(las_bytes([](LasFile &l) { l.header.YScaleFactor = NAN; })),
         "\nPoint record 1 of {in}: the new X (nan) does not fit a signed 32-bit integer\n",
         Output::Removed,
         moveZ,
         {"0", "0", "1", "0", "0", "0"}},
        {"output /dev/full through a link",
         [](Paths &p) {
             fixture::write_las(p.in, fixture::make_las(2, 0, std::vector<Point>(70000)));
             p.out = p.dir + "/full.las";
             ASSERT_EQ(symlink("/dev/full", p.out.c_str()), 0);
         },
         "\nFailed to write {out}: No space left on device\n", Output::Special},

        // Outputs that cannot be opened.
        {"output a folder",
         [](Paths &p) {
             fixture::write_file(p.in, las_bytes());
             std::filesystem::create_directory(p.out);
         },
         "\nCannot open binary file {out} for writing\n\n", Output::Special},
        {"output in a folder without write permission",
         [](Paths &p) {
             fixture::write_file(p.in, las_bytes());
             std::filesystem::create_directory(p.dir + "/locked");
             std::filesystem::permissions(
                 p.dir + "/locked",
                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
             p.out = p.dir + "/locked/out.las";
         },
         "\nCannot open binary file {out} for writing\n\n",
         Output::Kept,
         moveX,
         {"1", "0", "0", "0", "0", "0"},
         true},
        {"output in a folder that does not exist",
         [](Paths &p) {
             fixture::write_file(p.in, las_bytes());
             p.out = p.dir + "/no/such/out.las";
         },
         "\nCannot open binary file {out} for writing\n\n"},
    };
    return c;
}

// Root may write anywhere: a case about permissions runs as nobody instead.
std::vector<std::string> as_user(std::vector<std::string> args, const TempDir &dir) {
    if (geteuid() != 0) return args;
    std::filesystem::permissions(
        dir.path(), std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
        std::filesystem::perm_options::add);
    args.insert(args.begin(),
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return args;
}

TEST(Malformed, CloudmoveRefusesAndLeavesNothingHalfWritten) {
    for (const Case &c : cases()) {
        for (const bool outputExists : {false, true}) {
            if (outputExists && c.output == Output::Special) continue;
            TempDir dir;
            Paths p{dir.path().string(), dir / "in.las", dir / "out.las"};
            c.make(p);
            if (outputExists) {
                // An output in a folder that does not exist cannot exist either.
                if (!std::filesystem::exists(std::filesystem::path(p.out).parent_path())) continue;
                fixture::write_file(p.out, {'o', 'l', 'd'});
            }
            if (c.asUser && geteuid() == 0) chmod(p.in.c_str(), 0644);
            const bool regularInput = std::filesystem::is_regular_file(p.in);
            const Bytes before = regularInput ? fixture::read_file(p.in) : Bytes{};

            std::vector<std::string> args{testing_support::cloudmove_path(), p.in, p.out};
            args.insert(args.end(), c.numbers.begin(), c.numbers.end());
            const Outcome o = testing_support::run_command(c.asUser ? as_user(args, dir) : args);

            const std::string where = std::string(c.what) + (outputExists ? ", output exists" : "");
            EXPECT_EQ(o.status, 255) << where;
            EXPECT_EQ(o.out, banner + c.report +
                                 replaced(replaced(c.message, "{in}", p.in), "{out}", p.out))
                << where;
            if (regularInput) {
                EXPECT_EQ(fixture::read_file(p.in), before) << where;
            }
            if (c.output == Output::Special) continue;
            if (outputExists && c.output == Output::Kept) {
                EXPECT_EQ(fixture::read_file(p.out), (Bytes{'o', 'l', 'd'})) << where;
            } else {
                EXPECT_FALSE(fixture::exists(p.out)) << where;
            }
        }
    }
}

TEST(Malformed, SpecialOutputsStayWhatTheyWere) {
    TempDir dir;
    const std::string in = dir / "in.las";
    fixture::write_las(in, fixture::make_las(2, 0, std::vector<Point>(70000)));
    const std::string full = dir / "full.las", folder = dir / "folder.las", soft = dir / "soft.las";
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    std::filesystem::create_directory(folder);
    ASSERT_EQ(symlink(in.c_str(), soft.c_str()), 0);
    for (const std::string &out : {full, folder, soft}) {
        EXPECT_EQ(testing_support::run_command(
                      {testing_support::cloudmove_path(), in, out, "1", "0", "0", "0", "0", "0"})
                      .status,
                  255);
    }
    EXPECT_TRUE(std::filesystem::is_symlink(full));
    EXPECT_TRUE(fixture::exists("/dev/full"));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::is_symlink(soft));
    EXPECT_EQ(std::filesystem::file_size(in), 227u + 70000 * 20);

    // Reading through a link to a file of its own is fine.
    const Outcome o = testing_support::run_command(
        {testing_support::cloudmove_path(), soft, dir / "out.las", "1", "0", "0", "0", "0", "0"});
    EXPECT_EQ(o.status, 0) << o.out;
}

// The header refresh, where a case concerns it: the same inputs, refused with
// the same reasons, the file left as it was.
TEST(Malformed, LasrefreshRefusesAndLeavesTheFileAlone) {
    const char *applies[] = {"header cut at 0 bytes",
                             "header cut at 100 bytes",
                             "wrong signature",
                             "record length one below its format's",
                             "record length one above its format's",
                             "input a folder",
                             "input a FIFO",
                             "header cut at 107 bytes",
                             "header cut at 226 bytes"};
    for (const Case &c : cases()) {
        if (std::find_if(std::begin(applies), std::end(applies), [&](const char *what) {
                return std::string(what) == c.what;
            }) == std::end(applies)) {
            continue;
        }
        TempDir dir;
        Paths p{dir.path().string(), dir / "in.las", dir / "out.las"};
        c.make(p);
        const bool regularInput = std::filesystem::is_regular_file(p.in);
        const Bytes before = regularInput ? fixture::read_file(p.in) : Bytes{};
        const Outcome o = testing_support::run_command({testing_support::lasrefresh_path(), p.in});
        // The refresh prints the reason alone, without cloudmove's lines after it.
        std::string reason = replaced(c.message, "{in}", p.in);
        reason = reason.substr(0, reason.find(p.in + " is not a valid LAS file"));
        EXPECT_EQ(o.status, 255) << c.what;
        EXPECT_EQ(o.out, reason) << c.what;
        if (regularInput) {
            EXPECT_EQ(fixture::read_file(p.in), before) << c.what;
        }
    }
}

}  // namespace
