// The eight index-carrying quicksorts against std::sort of (key, index) pairs,
// on 10 million keys: random, sorted, reversed and few distinct values.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVANA_BUILD_BENCH=ON
//   cmake --build build-bench --target sort_bench
//   build-bench/bench/sort_bench --benchmark_repetitions=5
//
// Each timed iteration sorts a fresh copy of the same keys with the index array
// 0, 1, 2, ...; the copy is made outside the timing. After the usual report
// the program prints each sort's wall time as a multiple of std::sort's on the
// same keys. Adding --benchmark_enable_random_interleaving=true spreads the
// repetitions of all sorts over the run.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Korvana_LiDAR.h"

namespace {

constexpr int32_t kCount = 10'000'000;

const char *const kInputs[] = {"random", "sorted", "reversed", "few distinct"};

template <typename Key>
std::vector<Key> make_keys(const std::string &input) {
    std::vector<Key> keys(kCount);
    std::mt19937_64 rng(12345);
    for (int32_t k = 0; k < kCount; ++k) {
        if (input == "sorted") {
            keys[k] = static_cast<Key>(k);
        } else if (input == "reversed") {
            keys[k] = static_cast<Key>(kCount - k);
        } else if (input == "few distinct") {
            keys[k] = static_cast<Key>(rng() % 16);
        } else if constexpr (std::is_same_v<Key, double>) {
            keys[k] = std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
        } else {
            keys[k] = static_cast<Key>(rng());
        }
    }
    return keys;
}

template <typename Key>
using Sort = void (*)(Key *p, int32_t count, int32_t *ind);

template <typename Key>
void bench_library(benchmark::State &state, const std::vector<Key> *keys, Sort<Key> sort) {
    std::vector<Key> p(kCount);
    std::vector<int32_t> ind(kCount);
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(keys->begin(), keys->end(), p.begin());
        std::iota(ind.begin(), ind.end(), 0);
        state.ResumeTiming();
        sort(p.data(), kCount, ind.data());
        benchmark::ClobberMemory();
    }
}

template <typename Key>
void bench_std_sort(benchmark::State &state, const std::vector<Key> *keys) {
    std::vector<std::pair<Key, int32_t>> pairs(kCount);
    for (auto _ : state) {
        state.PauseTiming();
        for (int32_t k = 0; k < kCount; ++k) pairs[k] = {(*keys)[k], k};
        state.ResumeTiming();
        std::sort(pairs.begin(), pairs.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        benchmark::ClobberMemory();
    }
}

// The workers, called on the whole array.
void l_qs_all(int32_t *p, int32_t count, int32_t *ind) {
    l_qs(p, 0, count - 1, ind);
}
void d_qs_all(double *p, int32_t count, int32_t *ind) {
    d_qs(p, 0, count - 1, ind);
}
void l_parallel_qs_all(int32_t *p, int32_t count, int32_t *ind) {
    l_parallel_qs(p, 0, count - 1, ind, 15);
}
void d_parallel_qs_all(double *p, int32_t count, int32_t *ind) {
    d_parallel_qs(p, 0, count - 1, ind, 15);
}

const std::pair<const char *, Sort<int32_t>> kIntSorts[] = {
    {"l_qs", l_qs_all},
    {"l_quicksort", l_quicksort},
    {"l_parallel_qs", l_parallel_qs_all},
    {"l_parallel_quicksort", l_parallel_quicksort},
};
const std::pair<const char *, Sort<double>> kDoubleSorts[] = {
    {"d_qs", d_qs_all},
    {"d_quicksort", d_quicksort},
    {"d_parallel_qs", d_parallel_qs_all},
    {"d_parallel_quicksort", d_parallel_quicksort},
};

constexpr const char *kStdSort = "std::sort pairs";

double fastest(const std::vector<double> &times) {
    return *std::min_element(times.begin(), times.end());
}

template <typename Key, typename Sorts>
void register_all(const char *keyName, const Sorts &sorts,
                  std::map<std::string, std::vector<Key>> &inputs) {
    for (const char *input : kInputs) {
        const std::vector<Key> *keys = &inputs.emplace(input, make_keys<Key>(input)).first->second;
        const std::string prefix = std::string(keyName) + "/" + input + "/";
        benchmark::RegisterBenchmark((prefix + kStdSort).c_str(), bench_std_sort<Key>, keys)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->ComputeStatistics("min", fastest);
        for (const auto &[name, sort] : sorts) {
            benchmark::RegisterBenchmark((prefix + name).c_str(), bench_library<Key>, keys, sort)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->ComputeStatistics("min", fastest);
        }
    }
}

// The console report, then a table of each sort's wall time over std::sort's
// on the same keys: the ratio of the medians and the ratio of the fastest
// runs (the latter is the steadier one on a machine that is doing other work
// too). With a single repetition both are that run's ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            Times &times = times_[run.run_name.function_name];
            if (run.run_type == Run::RT_Iteration && run.repetitions <= 1) {
                times.median = times.fastest = run.GetAdjustedRealTime();
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times.median = run.GetAdjustedRealTime();
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min") {
                times.fastest = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        printf("\nWall time as a multiple of std::sort of (key, index) pairs on the same keys:\n");
        printf("  %-42s %7s %7s\n", "", "median", "fastest");
        for (const auto &[name, times] : times_) {
            const std::string group = name.substr(0, name.rfind('/') + 1);
            const auto reference = times_.find(group + kStdSort);
            if (reference == times_.end() || name == reference->first) continue;
            printf("  %-42s %7.3f %7.3f\n", name.c_str(), times.median / reference->second.median,
                   times.fastest / reference->second.fastest);
        }
    }

private:
    struct Times {
        double median = 0;
        double fastest = 0;
    };
    std::map<std::string, Times> times_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    std::map<std::string, std::vector<int32_t>> intKeys;
    std::map<std::string, std::vector<double>> doubleKeys;
    register_all<int32_t>("int32", kIntSorts, intKeys);
    register_all<double>("double", kDoubleSorts, doubleKeys);

    RatioReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
