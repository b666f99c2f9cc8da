// The validator on arbitrary file bytes: its result is -1, 0 or a file type
// code from 1 to 8, and it is the one that the bytes call for.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Korvana_LiDAR.h"
#include "fuzz_support.h"

namespace {

// What the header bytes call for, read straight from the LAS layout.
int expected_code(const uint8_t *data, size_t size) {
    if (size < 4 || memcmp(data, "LASF", 4) != 0) return -1;
    if (size < 25 || data[24] != 1) return -1;
    if (size < 26 || data[25] > 2) return -1;
    if (size < 105 || data[104] > 3) return -1;
    if (size < 107) return -1;
    const int minor = data[25], format = data[104];
    const int length = data[105] | data[106] << 8;
    if (minor < 2 && format >= 2) return 0;
    static const int lengths[4] = {20, 28, 26, 34};
    if (length != lengths[format]) return -1;
    return 1 + 2 * minor + format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fuzz_support::Scratch scratch;
    const std::string las = scratch.path("input.las");
    fuzz_support::write_file(las, data, size);
    const int code = check_las(las.c_str());
    if (code < -1 || code > 8 || code != expected_code(data, size)) {
        fprintf(stderr, "check_las gave %d, the bytes call for %d\n", code,
                expected_code(data, size));
        abort();
    }
    return 0;
}
