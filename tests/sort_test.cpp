// The index-carrying quicksorts: every arrangement, keys and index entries
// alike, must be the one that the plain partition steps give, for every input.

#include <gtest/gtest.h>
#include <pthread.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "Korvana_LiDAR.h"

namespace {

// ---------------------------------------------------------------------------
// The model: the partition steps written out as plainly as possible, with both
// scan bounds, the midpoint (left + right) / 2 and a recursion for the left
// part. Every routine is compared with it.
// ---------------------------------------------------------------------------

struct Crossing {
    int32_t i, j;
};

template <typename Key>
Crossing model_partition(Key *p, int32_t left, int32_t right, int32_t *ind) {
    int32_t i = left;
    int32_t j = right;
    const Key v = p[(left + right) / 2];
    do {
        while (p[i] < v && i < right) ++i;
        while (p[j] > v && j > left) --j;
        if (i <= j) {
            const Key key = p[i];
            p[i] = p[j];
            p[j] = key;
            const int32_t index = ind[i];
            ind[i] = ind[j];
            ind[j] = index;
            ++i;
            --j;
        }
    } while (i <= j);
    return {i, j};
}

template <typename Key>
void model_qs(Key *p, int32_t left, int32_t right, int32_t *ind) {
    if (left > right) return;
    for (;;) {
        const Crossing c = model_partition(p, left, right, ind);
        if (left < c.j) model_qs(p, left, c.j, ind);
        if (c.i >= right) return;
        left = c.i;
    }
}

// How deeply the model's recursion nests on `keys`, found without nesting: the
// ranges that the model sorts by a recursive call are kept on a list.
int64_t model_nesting(std::vector<int32_t> keys) {
    std::vector<int32_t> ind(keys.size());
    struct Range {
        int32_t left, right;
        int64_t depth;
    };
    std::vector<Range> pending = {{0, static_cast<int32_t>(keys.size()) - 1, 1}};
    int64_t deepest = 0;
    while (!pending.empty()) {
        Range r = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, r.depth);
        for (;;) {
            const Crossing c = model_partition(keys.data(), r.left, r.right, ind.data());
            if (r.left < c.j) pending.push_back({r.left, c.j, r.depth + 1});
            if (c.i >= r.right) break;
            r.left = c.i;
        }
    }
    return deepest;
}

// ---------------------------------------------------------------------------
// The eight routines behind one signature: sort positions [left, right] of the
// arrays. The entries can only sort from position 0, so they get the arrays
// from `left` on. The first four of each table are the four routines of a key
// type as the entries call them; the rest are further depths.
// ---------------------------------------------------------------------------

template <typename Key>
struct Routine {
    const char *name;
    void (*sort)(Key *p, int32_t left, int32_t right, int32_t *ind);
};

template <int32_t Deep>
void l_limited(int32_t *p, int32_t left, int32_t right, int32_t *ind) {
    l_parallel_qs(p, left, right, ind, Deep);
}
template <int32_t Deep>
void d_limited(double *p, int32_t left, int32_t right, int32_t *ind) {
    d_parallel_qs(p, left, right, ind, Deep);
}

constexpr int32_t kMinDeep = std::numeric_limits<int32_t>::min();
constexpr size_t kEachRoutineOnce = 4;

const Routine<int32_t> kIntRoutines[] = {
    {"l_qs", l_qs},
    {"l_quicksort", [](int32_t *p, int32_t left, int32_t right,
                       int32_t *ind) { l_quicksort(p + left, right - left + 1, ind + left); }},
    {"l_parallel_qs deep 15", l_limited<15>},
    {"l_parallel_quicksort",
     [](int32_t *p, int32_t left, int32_t right, int32_t *ind) {
         l_parallel_quicksort(p + left, right - left + 1, ind + left);
     }},
    {"l_parallel_qs deep 0", l_limited<0>},
    {"l_parallel_qs deep 1", l_limited<1>},
    {"l_parallel_qs deep -1", l_limited<-1>},
    {"l_parallel_qs deep INT32_MIN", l_limited<kMinDeep>},
};

const Routine<double> kDoubleRoutines[] = {
    {"d_qs", d_qs},
    {"d_quicksort", [](double *p, int32_t left, int32_t right,
                       int32_t *ind) { d_quicksort(p + left, right - left + 1, ind + left); }},
    {"d_parallel_qs deep 15", d_limited<15>},
    {"d_parallel_quicksort",
     [](double *p, int32_t left, int32_t right, int32_t *ind) {
         d_parallel_quicksort(p + left, right - left + 1, ind + left);
     }},
    {"d_parallel_qs deep 0", d_limited<0>},
    {"d_parallel_qs deep 1", d_limited<1>},
    {"d_parallel_qs deep -1", d_limited<-1>},
    {"d_parallel_qs deep INT32_MIN", d_limited<kMinDeep>},
};

template <typename Key>
const auto &routines() {
    if constexpr (std::is_same_v<Key, double>) {
        return kDoubleRoutines;
    } else {
        return kIntRoutines;
    }
}

// Keys as bit patterns, so that -0 differs from +0 and NaNs from each other.
template <typename Key>
std::vector<uint64_t> bits(const std::vector<Key> &keys) {
    std::vector<uint64_t> out;
    for (const Key k : keys) {
        if constexpr (std::is_same_v<Key, double>) {
            out.push_back(std::bit_cast<uint64_t>(k));
        } else {
            out.push_back(static_cast<uint32_t>(k));
        }
    }
    return out;
}

std::vector<int32_t> iota(size_t n) {
    std::vector<int32_t> ind(n);
    std::iota(ind.begin(), ind.end(), 0);
    return ind;
}

// Sorts [left, right] of `keys` with every routine and with the model, and
// expects the same keys (bit for bit) and index entries everywhere, inside the
// range and outside it.
template <typename Key>
void expect_like_model(const std::vector<Key> &keys, int32_t left, int32_t right,
                       const std::string &what, size_t routineCount = std::size(kIntRoutines)) {
    std::vector<Key> modelKeys = keys;
    std::vector<int32_t> modelInd = iota(keys.size());
    model_qs(modelKeys.data(), left, right, modelInd.data());
    for (size_t r = 0; r < routineCount; ++r) {
        const Routine<Key> &routine = routines<Key>()[r];
        std::vector<Key> p = keys;
        std::vector<int32_t> ind = iota(keys.size());
        routine.sort(p.data(), left, right, ind.data());
        ASSERT_EQ(bits(p), bits(modelKeys)) << routine.name << ", " << what;
        ASSERT_EQ(ind, modelInd) << routine.name << ", " << what;
    }
}

// ---------------------------------------------------------------------------
// Tests
// ---------------------------------------------------------------------------

TEST(Sorts, WorkedExamples) {
    struct Case {
        std::vector<int32_t> before, after, index;
    };
    const Case cases[] = {
        {{5}, {5}, {0}},
        {{2, 1}, {1, 2}, {1, 0}},
        {{1, 1}, {1, 1}, {1, 0}},
        {{1, 2, 3}, {1, 2, 3}, {0, 1, 2}},
        {{3, 2, 1}, {1, 2, 3}, {2, 1, 0}},
        {{3, 1, 2}, {1, 2, 3}, {1, 2, 0}},
        {{2, 2, 2, 2}, {2, 2, 2, 2}, {2, 3, 0, 1}},
        {{4, 4, 1, 4}, {1, 4, 4, 4}, {2, 3, 0, 1}},
        {{9, -3, 7, 7, 0, -3, 12, 5}, {-3, -3, 0, 5, 7, 7, 9, 12}, {5, 1, 4, 7, 2, 3, 0, 6}},
    };
    for (const Case &c : cases) {
        const int32_t n = static_cast<int32_t>(c.before.size());
        for (const auto &routine : kIntRoutines) {
            std::vector<int32_t> p = c.before;
            std::vector<int32_t> ind = iota(p.size());
            routine.sort(p.data(), 0, n - 1, ind.data());
            EXPECT_EQ(p, c.after) << routine.name << ", " << testing::PrintToString(c.before);
            EXPECT_EQ(ind, c.index) << routine.name << ", " << testing::PrintToString(c.before);
        }
        const std::vector<double> after(c.after.begin(), c.after.end());
        for (const auto &routine : kDoubleRoutines) {
            std::vector<double> p(c.before.begin(), c.before.end());
            std::vector<int32_t> ind = iota(p.size());
            routine.sort(p.data(), 0, n - 1, ind.data());
            EXPECT_EQ(p, after) << routine.name << ", " << testing::PrintToString(c.before);
            EXPECT_EQ(ind, c.index) << routine.name << ", " << testing::PrintToString(c.before);
        }
    }
}

TEST(Sorts, EmptyRangesAndCountsTouchNothing) {
    // Null arrays: any access would fault.
    for (const int32_t count : {0, -1, kMinDeep}) {
        l_quicksort(nullptr, count, nullptr);
        d_quicksort(nullptr, count, nullptr);
        l_parallel_quicksort(nullptr, count, nullptr);
        d_parallel_quicksort(nullptr, count, nullptr);
    }
    l_qs(nullptr, 1, 0, nullptr);
    d_qs(nullptr, 5, -5, nullptr);
    l_parallel_qs(nullptr, 1, 0, nullptr, 15);
    d_parallel_qs(nullptr, 0, -1, nullptr, 0);
}

// Random arrays of many sizes, mostly full of equal keys, sorted whole and on
// sub-ranges. Sizes past a few hundred reach the block-wise scans of the
// partition, sizes up to 16 the insertion into a scratch copy.
TEST(Sorts, LikeTheModelOnRandomArrays) {
    std::mt19937_64 rng(20240611);
    std::vector<int32_t> sizes;
    for (int32_t n = 0; n <= 300; ++n) sizes.push_back(n);
    for (const int32_t n : {511, 512, 513, 1000, 4097, 20000}) sizes.push_back(n);

    // Pools of keys to draw from; the first 2, 4 or 10 of them are drawn in
    // the rounds with few distinct keys.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double doublePool[] = {-0.0, nan,  0.0,
                                 1.0,  -nan, -1.0,
                                 inf,  -inf, std::bit_cast<double>(uint64_t{0x7ff8000000000123}),
                                 2.5};
    const int32_t intPool[] = {0,
                               1,
                               std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<int32_t>::max(),
                               -1,
                               7,
                               -100,
                               1000,
                               3,
                               2};

    for (const int32_t n : sizes) {
        for (const uint64_t distinct : {2, 4, 10, 0}) {
            std::vector<int32_t> lkeys(n);
            std::vector<double> dkeys(n);
            for (int32_t k = 0; k < n; ++k) {
                const uint64_t r = rng();
                if (distinct > 0) {
                    lkeys[k] = intPool[r % distinct];
                    dkeys[k] = doublePool[r % distinct];
                } else {
                    lkeys[k] = static_cast<int32_t>(r);
                    // Mostly ordinary values, with a few zeros of either sign and NaNs.
                    dkeys[k] = (r & 63) < 4
                                   ? doublePool[r & 3]
                                   : static_cast<double>(static_cast<int32_t>(r >> 32)) / 1024.0;
                }
            }
            const std::string what =
                "n " + std::to_string(n) + ", distinct " + std::to_string(distinct);
            expect_like_model(lkeys, 0, n - 1, what);
            expect_like_model(dkeys, 0, n - 1, what);
            if (n > 2) {
                // A sub-range: the keys outside it stay where they are.
                const int32_t left = static_cast<int32_t>(rng() % (n / 2));
                const int32_t right = n - 1 - static_cast<int32_t>(rng() % (n / 2));
                expect_like_model(
                    lkeys, left, right,
                    what + " [" + std::to_string(left) + ", " + std::to_string(right) + "]");
                expect_like_model(
                    dkeys, left, right,
                    what + " [" + std::to_string(left) + ", " + std::to_string(right) + "]");
            }
        }
    }
}

// A NaN pivot stops both scans at every key: each partition then exchanges
// keys pairwise from the ends inwards.
TEST(Sorts, LikeTheModelAroundNaNPivots) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int32_t n = 1; n <= 600; n += 7) {
        std::vector<double> keys(n);
        for (int32_t k = 0; k < n; ++k) keys[k] = (k * 37) % 11 == 0 ? nan : (n - k) * 0.5;
        keys[(n - 1) / 2] = nan;
        expect_like_model(keys, 0, n - 1, "n " + std::to_string(n));
    }
}

// The middle pivot splits these evenly. Distinct keys have one sorted
// arrangement, index entries included; equal keys take the model's.
TEST(Sorts, MillionKeysSortedReversedAndEqual) {
    const int32_t n = 1'000'000;
    const std::vector<int32_t> sorted = iota(n);
    const std::vector<int32_t> reversed(sorted.rbegin(), sorted.rend());
    for (const auto &[what, keys, index] :
         {std::tuple{"sorted", sorted, sorted}, std::tuple{"reversed", reversed, reversed}}) {
        for (size_t r = 0; r < kEachRoutineOnce; ++r) {
            std::vector<int32_t> p = keys;
            std::vector<int32_t> ind = iota(n);
            kIntRoutines[r].sort(p.data(), 0, n - 1, ind.data());
            EXPECT_TRUE(p == sorted) << kIntRoutines[r].name << ", " << what;
            EXPECT_TRUE(ind == index) << kIntRoutines[r].name << ", " << what;

            std::vector<double> d(keys.begin(), keys.end());
            ind = iota(n);
            kDoubleRoutines[r].sort(d.data(), 0, n - 1, ind.data());
            EXPECT_TRUE(d == std::vector<double>(sorted.begin(), sorted.end()))
                << kDoubleRoutines[r].name << ", " << what;
            EXPECT_TRUE(ind == index) << kDoubleRoutines[r].name << ", " << what;
        }
    }
    expect_like_model(std::vector<int32_t>(n, 42), 0, n - 1, "all equal", kEachRoutineOnce);
    // -0 and +0 are equal keys that must travel with their index entries.
    std::vector<double> zeros(n, 0.0);
    for (int32_t k = 0; k < n; k += 3) zeros[k] = -0.0;
    expect_like_model(zeros, 0, n - 1, "all zero", kEachRoutineOnce);
}

// Runs `body` on a thread whose stack holds `stackBytes`.
void on_small_stack(size_t stackBytes, void (*body)(void *), void *arg) {
    struct Call {
        void (*body)(void *);
        void *arg;
    } call{body, arg};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stackBytes), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void *c) -> void * {
                      static_cast<Call *>(c)->body(static_cast<Call *>(c)->arg);
                      return nullptr;
                  },
                  &call),
              0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
}

// Keys for which every partition of [0, r] finds the range's largest key at
// the middle, exchanges it with the key at r and leaves [0, r - 1] as the left
// part: the partition steps run backwards from the sorted array.
std::vector<int32_t> one_out_each_time(int32_t n) {
    std::vector<int32_t> keys = iota(n);
    for (int32_t r = 1; r < n; ++r) std::swap(keys[r / 2], keys[r]);
    return keys;
}

TEST(Sorts, AdversarialInputDoesNotExhaustTheStack) {
    const int32_t n = 10'000;
    const std::vector<int32_t> keys = one_out_each_time(n);
    // A recursion into each left part would nest n - 1 calls: more than 6
    // bytes per call overflow the 64 KiB stack that the sorts get below, and
    // a call takes at least its return address.
    ASSERT_EQ(model_nesting(keys), n - 1);
    constexpr size_t kStack = 64 * 1024;

    std::vector<int32_t> modelKeys = keys;
    std::vector<int32_t> modelInd = iota(n);
    model_qs(modelKeys.data(), 0, n - 1, modelInd.data());
    ASSERT_EQ(modelKeys, iota(n));

    struct Run {
        const std::vector<int32_t> *keys;
        std::vector<int32_t> lp, lind, dind;
        std::vector<double> dp;
        const Routine<int32_t> *lroutine;
        const Routine<double> *droutine;
    };
    for (size_t r = 0; r < std::size(kIntRoutines); ++r) {
        Run run{&keys,
                keys,
                iota(n),
                iota(n),
                std::vector<double>(keys.begin(), keys.end()),
                &kIntRoutines[r],
                &kDoubleRoutines[r]};
        on_small_stack(
            kStack,
            [](void *arg) {
                Run &run = *static_cast<Run *>(arg);
                const int32_t last = static_cast<int32_t>(run.keys->size()) - 1;
                run.lroutine->sort(run.lp.data(), 0, last, run.lind.data());
                run.droutine->sort(run.dp.data(), 0, last, run.dind.data());
            },
            &run);
        EXPECT_EQ(run.lp, modelKeys) << kIntRoutines[r].name;
        EXPECT_EQ(run.lind, modelInd) << kIntRoutines[r].name;
        EXPECT_EQ(run.dp, std::vector<double>(modelKeys.begin(), modelKeys.end()))
            << kDoubleRoutines[r].name;
        EXPECT_EQ(run.dind, modelInd) << kDoubleRoutines[r].name;
    }
}

}  // namespace
