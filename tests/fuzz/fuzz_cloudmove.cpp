// The whole run of cloudmove on arbitrary file bytes and transform numbers.
// Either it completes, and its output is OffsetToData + count x record length
// bytes long and carries the input's header (but for the bounds), the bytes
// between the header and the point data, and bytes 12 and up of every
// record; or it refuses with -1 and leaves no output behind.
//
// Input: six doubles (X, Y, Z translation, angle, X and Y of the centre), then
// the bytes of the LAS file.

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Korvana_LiDAR.h"
#include "cloudmove.h"
#include "fuzz_support.h"

namespace {

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "cloudmove: %s\n", what);
    abort();
}

void check_completed(const uint8_t *in, size_t inSize, const std::vector<uint8_t> &out) {
    if (inSize < sizeof(LAS12Header)) fail("completed with less than a header");
    LAS12Header h;
    memcpy(&h, in, sizeof h);
    const uint64_t offset = h.OffsetToData, length = h.PointDataRecordLength;
    const uint64_t count = h.NumberOfPointReturns;
    if (out.size() != offset + count * length) fail("output of the wrong size");
    // The bounds (bytes 179 to 226) are the only header bytes that change.
    if (memcmp(out.data(), in, offsetof(LAS12Header, MaxX)) != 0) fail("header changed");
    if (memcmp(out.data() + sizeof h, in + sizeof h, offset - sizeof h) != 0) {
        fail("bytes before the point data changed");
    }
    for (uint64_t k = 0; k < count; ++k) {
        const uint64_t at = offset + k * length + 12;
        if (memcmp(out.data() + at, in + at, length - 12) != 0)
            fail("record bytes 12 and up changed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fuzz_support::Scratch scratch;
    constexpr size_t numbersSize = 6 * sizeof(double);
    if (size < numbersSize) return 0;
    char texts[6][64];
    for (int k = 0; k < 6; ++k) {
        double v;
        memcpy(&v, data + k * sizeof v, sizeof v);
        snprintf(texts[k], sizeof texts[k], "%.17g", v);
    }
    const std::string in = scratch.path("input.las"), out = scratch.path("output.las");
    fuzz_support::write_file(in, data + numbersSize, size - numbersSize);
    remove(out.c_str());

    char name[] = "cloudmove";
    char *argv[] = {name,
                    const_cast<char *>(in.c_str()),
                    const_cast<char *>(out.c_str()),
                    texts[0],
                    texts[1],
                    texts[2],
                    texts[3],
                    texts[4],
                    texts[5],
                    nullptr};
    const int status = cloudmove_run(9, argv);
    struct stat info {};
    const bool outputExists = stat(out.c_str(), &info) == 0;
    if (status == 0) {
        if (!outputExists) fail("completed without an output");
        check_completed(data + numbersSize, size - numbersSize, fuzz_support::read_file(out));
    } else {
        if (status != -1) fail("failed with a status other than -1");
        if (outputExists) fail("a refused run left an output behind");
    }
    return 0;
}
