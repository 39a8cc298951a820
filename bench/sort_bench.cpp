// The module's quicksorts (values carried with their indices) against
// std::sort of (value, index) pairs, on the same pseudo-random input. Each
// iteration sorts a fresh copy; the copy is outside the timed region.
#include "Kelvane_LiDAR.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace {

template <typename T>
const std::vector<T> &random_values(std::size_t n) {
    static std::vector<T> values = [n] {
        std::mt19937_64 rng(20261211);
        std::vector<T> v(n);
        for (auto &x : v) {
            if constexpr (std::is_floating_point_v<T>)
                x = std::uniform_real_distribution<T>(-1e6, 1e6)(rng);
            else
                x = static_cast<T>(static_cast<std::uint32_t>(rng()));
        }
        return v;
    }();
    return values;
}

template <typename T, void (*Sort)(T *, int32_t, int32_t *)>
void BM_module_quicksort(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<T> &input = random_values<T>(n);
    std::vector<T> values(n);
    std::vector<int32_t> index(n);
    for (auto _ : state) {
        state.PauseTiming();
        values = input;
        for (std::size_t i = 0; i < n; ++i) index[i] = static_cast<int32_t>(i);
        state.ResumeTiming();
        Sort(values.data(), static_cast<int32_t>(n), index.data());
        benchmark::DoNotOptimize(values.data());
        benchmark::DoNotOptimize(index.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

template <typename T>
void BM_std_sort_pairs(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<T> &input = random_values<T>(n);
    std::vector<std::pair<T, int32_t>> pairs(n);
    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t i = 0; i < n; ++i) pairs[i] = {input[i], static_cast<int32_t>(i)};
        state.ResumeTiming();
        std::sort(pairs.begin(), pairs.end());
        benchmark::DoNotOptimize(pairs.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

constexpr int64_t kCount = 10'000'000;

}  // namespace

BENCHMARK(BM_module_quicksort<int32_t, l_quicksort>)->Name("l_quicksort/int32")->Arg(kCount)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_std_sort_pairs<int32_t>)->Name("std_sort_pairs/int32")->Arg(kCount)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_module_quicksort<double, d_quicksort>)->Name("d_quicksort/double")->Arg(kCount)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_std_sort_pairs<double>)->Name("std_sort_pairs/double")->Arg(kCount)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
