// The argument and file-name checks: what each accepts, what it prints, and
// how the process ends when it refuses.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Korvana_LiDAR.h"
#include "las_fixture.h"
#include "run_command.h"

using fixture::TempDir;
using testing_support::captured_stdout;
using testing_support::Outcome;
using testing_support::run_in_child;

namespace {

constexpr int kRefused = 255;  // exit(-1)

TEST(CheckNumericArgument, Table) {
    const std::string accepted[] = {"0", "-5", "12.75", ".5", "5.", "-.5", "12-3", "5-", "-.", ""};
    for (const std::string &text : accepted) {
        const Outcome o = run_in_child([&] { check_numeric_argument(text.c_str()); });
        EXPECT_EQ(o.status, 0) << "'" << text << "'";
        EXPECT_EQ(o.out, "") << "'" << text << "'";
    }
    const std::string refused[] = {".",   "-",   "1.2.3", "--5", "5-3-1",    "+5", "1e5",
                                   "1,5", "1/2", " 5",    "5 ",  "\xc2\xbd", "5\t"};
    for (const std::string &text : refused) {
        const Outcome o = run_in_child([&] { check_numeric_argument(text.c_str()); });
        EXPECT_EQ(o.status, kRefused) << "'" << text << "'";
        EXPECT_EQ(o.out, "\nInvalid argument value (" + text + ")\n") << "'" << text << "'";
    }
}

// Past 65,535 characters a 16-bit position would wrap around and never reach
// the end of the text.
TEST(CheckNumericArgument, ExaminesTextsOfAnyLength) {
    const std::string digits(70'000, '7');
    Outcome o = run_in_child([&] { check_numeric_argument(digits.c_str()); });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "");

    for (const std::string &text :
         {digits + "x", "." + digits + ".", digits + "-" + digits + "-"}) {
        o = run_in_child([&] { check_numeric_argument(text.c_str()); });
        EXPECT_EQ(o.status, kRefused);
        EXPECT_EQ(o.out, "\nInvalid argument value (" + text + ")\n");
    }
}

TEST(CheckYN, Table) {
    const std::string message = "\nASCII Header Flag should be either Y (y) or N (n)\n";
    const std::pair<const char *, int> cases[] = {
        {"Y", 0},   {"N", 0},   {"y", 0},  {"n", 0}, {"yes", -1},
        {"Y ", -1}, {"YN", -1}, {"0", -1}, {"", -1}, {" y", -1},
    };
    for (const auto &c : cases) {
        int got = 1;
        const std::string out = captured_stdout([&] { got = check_YN(c.first); });
        EXPECT_EQ(got, c.second) << "'" << c.first << "'";
        EXPECT_EQ(out, c.second == 0 ? "" : message) << "'" << c.first << "'";
    }
}

std::string mismatch(const std::string &name, const char *extension) {
    return "\nFile extension of " + name + " is not ." + extension + "\n";
}
const std::string kNotDem =
    "\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)\n";
const std::string kNoHeader =
    "\nFloating point binary DEM files also require a ASCII header file ('.hdr')\n";
std::string unable(const std::string &name) {
    return "Unable to open file " + name + " in file_access()\n";
}

TEST(CheckDEM, Table) {
    TempDir dir;
    std::filesystem::create_directory(dir / "dem.d");
    // The header files that exist; the DEM files themselves never do.
    for (const char *header : {"tile.hdr", "dem.d/tile.hdr", "a.b.hdr", "c.hdr"}) {
        fixture::write_file(dir / header, {'h'});
    }
    // A name far past 80 characters, with and without its header file.
    const std::string stem(150, 's');
    fixture::write_file(dir / (stem + ".hdr"), {'h'});
    const std::string longFlt = dir / (stem + ".flt");
    const std::string longMissing = dir / (stem + "x.flt");

    const std::string tile = dir / "tile.flt";
    const std::string inFolder = dir / "dem.d/tile.flt";
    const std::string twoDots = dir / "a.b.flt";
    const std::string noHeader = dir / "c.d.flt";  // c.hdr exists, c.d.hdr does not
    const std::string missing = dir / "missing.flt";

    struct Case {
        std::string name;
        std::string out;
        int status;
    };
    const Case cases[] = {
        // ".asc" names are accepted without looking at the file system.
        {"tile.asc", mismatch("tile.asc", "flt"), 0},
        {"x.asc", mismatch("x.asc", "flt"), 0},
        {"no/such/dir/tile.asc", mismatch("no/such/dir/tile.asc", "flt"), 0},
        // ".flt" names need their header file: the last four characters replaced.
        {tile, mismatch(tile, "asc"), 0},
        {inFolder, mismatch(inFolder, "asc"), 0},
        {twoDots, mismatch(twoDots, "asc"), 0},
        {longFlt, mismatch(longFlt, "asc"), 0},
        {missing, mismatch(missing, "asc") + unable(dir / "missing.hdr") + kNoHeader, kRefused},
        {noHeader, mismatch(noHeader, "asc") + unable(dir / "c.d.hdr") + kNoHeader, kRefused},
        {longMissing, mismatch(longMissing, "asc") + unable(dir / (stem + "x.hdr")) + kNoHeader,
         kRefused},
        // Other extensions, letter case included.
        {"tile.ASC", mismatch("tile.ASC", "asc") + mismatch("tile.ASC", "flt") + kNotDem, kRefused},
        {"tile.Flt", mismatch("tile.Flt", "asc") + mismatch("tile.Flt", "flt") + kNotDem, kRefused},
        {"tile.txt", mismatch("tile.txt", "asc") + mismatch("tile.txt", "flt") + kNotDem, kRefused},
        {"tile.hdr", mismatch("tile.hdr", "asc") + mismatch("tile.hdr", "flt") + kNotDem, kRefused},
        {"tileflt",
         "\nExtension of file tileflt should be preceeded by a dot (.)\n"
         "\nExtension of file tileflt should be preceeded by a dot (.)\n" +
             kNotDem,
         kRefused},
        {".asc", "\nFile name (.asc) is too short\n\nFile name (.asc) is too short\n" + kNotDem,
         kRefused},
        {"", "\nFile name () is too short\n\nFile name () is too short\n" + kNotDem, kRefused},
    };
    for (const Case &c : cases) {
        const Outcome o = run_in_child([&] { check_DEM(c.name.c_str()); });
        EXPECT_EQ(o.status, c.status) << c.name;
        EXPECT_EQ(o.out, c.out) << c.name;
    }
}

}  // namespace
