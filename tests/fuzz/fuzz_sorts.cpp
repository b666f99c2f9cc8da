// The eight sorts on arbitrary arrays. Each result is a permutation of the
// keys with every index entry still beside its key, sorted wherever no NaN
// is involved; the depth-limited sorts (any depth) and the workers on the
// whole range give exactly the plain sort's arrangement, bit for bit.
//
// Input: one byte that picks the key type (even: 32-bit integers, odd:
// doubles) and a depth, then the keys.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Korvana_LiDAR.h"

namespace {

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "sorts: %s\n", what);
    abort();
}

template <typename Key>
bool same_bits(const std::vector<Key> &a, const std::vector<Key> &b) {
    return a.size() == b.size() &&
           (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(Key)) == 0);
}

template <typename Key, typename Sort, typename Worker, typename Limited, typename LimitedEntry>
void check(const uint8_t *data, size_t size, int32_t deep, Sort sort, Worker worker,
           Limited limited, LimitedEntry limitedEntry) {
    const size_t count = size / sizeof(Key);
    std::vector<Key> keys(count);
    if (count > 0) memcpy(keys.data(), data, count * sizeof(Key));
    std::vector<int32_t> index(count);
    for (size_t k = 0; k < count; ++k) index[k] = static_cast<int32_t>(k);
    const int32_t n = static_cast<int32_t>(count);

    std::vector<Key> plain = keys;
    std::vector<int32_t> plainIndex = index;
    sort(plain.data(), n, plainIndex.data());

    // A permutation, each index entry beside the key it came with.
    std::vector<bool> seen(count);
    for (size_t k = 0; k < count; ++k) {
        const int32_t from = plainIndex[k];
        if (from < 0 || static_cast<size_t>(from) >= count || seen[from]) fail("not a permutation");
        seen[from] = true;
        if (memcmp(&plain[k], &keys[from], sizeof(Key)) != 0) fail("an index entry left its key");
    }
    bool hasNaN = false;
    if constexpr (std::is_floating_point_v<Key>) {
        hasNaN = std::any_of(keys.begin(), keys.end(), [](Key v) { return std::isnan(v); });
    }
    if (!hasNaN && !std::is_sorted(plain.begin(), plain.end())) fail("not sorted");

    const auto same_as_plain = [&](auto run, const char *what) {
        std::vector<Key> k2 = keys;
        std::vector<int32_t> i2 = index;
        run(k2.data(), i2.data());
        if (!same_bits(k2, plain) || i2 != plainIndex) fail(what);
    };
    same_as_plain([&](Key *p, int32_t *i) { limitedEntry(p, n, i); },
                  "depth-limited entry differs");
    same_as_plain([&](Key *p, int32_t *i) { limited(p, 0, n - 1, i, deep); },
                  "depth-limited worker differs");
    same_as_plain([&](Key *p, int32_t *i) { worker(p, 0, n - 1, i); }, "worker differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t pick = data[0];
    // Depths from -8 to 23: below, at and past the entries' 15.
    const int32_t deep = static_cast<int32_t>(pick >> 3) - 8;
    if (pick % 2 == 0) {
        check<int32_t>(data + 1, size - 1, deep, l_quicksort, l_qs, l_parallel_qs,
                       l_parallel_quicksort);
    } else {
        check<double>(data + 1, size - 1, deep, d_quicksort, d_qs, d_parallel_qs,
                      d_parallel_quicksort);
    }
    return 0;
}
