// The header statistics refresh on arbitrary file bytes. When it completes,
// the header counts every whole record after OffsetToData, by return number
// too, and nothing but the counts and bounds has changed; when it refuses,
// the file is as it was.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Korvana_LiDAR.h"
#include "Korvana_LiDAR_internal.h"
#include "fuzz_support.h"

namespace {

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "update_header: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fuzz_support::Scratch scratch;
    const std::string las = scratch.path("refresh.las");
    fuzz_support::write_file(las, data, size);
    const int status = korvana_internal::update_header_status(las.c_str());
    const std::vector<uint8_t> after = fuzz_support::read_file(las);
    if (after.size() != size) fail("the file changed its length");
    if (status != 0) {
        if (status != -1) fail("a status other than 0 and -1");
        if (size > 0 && memcmp(after.data(), data, size) != 0) fail("a refused file changed");
        return 0;
    }
    if (size < sizeof(LAS12Header)) fail("completed on a file shorter than its header");
    LAS12Header before, h;
    memcpy(&before, data, sizeof before);
    memcpy(&h, after.data(), sizeof h);
    const uint64_t offset = before.OffsetToData, length = before.PointDataRecordLength;
    const uint64_t records = size > offset ? (size - offset) / length : 0;
    uint32_t byReturn[5] = {};
    for (uint64_t k = 0; k < records; ++k) {
        const int returnNumber = data[offset + k * length + 14] & 7;
        if (returnNumber >= 1 && returnNumber <= 5) ++byReturn[returnNumber - 1];
    }
    if (h.NumberOfPointReturns != static_cast<uint32_t>(records)) fail("wrong record count");
    if (memcmp(after.data() + offsetof(LAS12Header, NumberOfPointsByReturn), byReturn,
               sizeof byReturn) != 0) {
        fail("wrong count by return number");
    }
    // Only the counts (107-130) and the bounds (179-226) may change.
    if (memcmp(after.data(), data, 107) != 0 || memcmp(after.data() + 131, data + 131, 48) != 0 ||
        memcmp(after.data() + sizeof h, data + sizeof h, size - sizeof h) != 0) {
        fail("bytes other than the counts and bounds changed");
    }
    return 0;
}
