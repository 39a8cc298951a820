// The index-carrying quicksorts: the exact exchange sequence of the
// middle-pivot scheme (ties and NaNs included), the eight routines agreeing
// with each other, and a recursion depth that stays small on inputs that
// split badly.
#include <gtest/gtest.h>

#include "Kelvane_LiDAR.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <pthread.h>

namespace {

using Ints = std::vector<std::int32_t>;
using Doubles = std::vector<double>;

Ints iota_indices(std::size_t n) {
    Ints ind(n);
    for (std::size_t k = 0; k < n; ++k) ind[k] = static_cast<std::int32_t>(k);
    return ind;
}

// The scheme written the plain way: partition, then the left sub-range by
// recursion, then the right one, as deep as the input makes it.
template <typename T>
void reference_qs(T *p, std::int32_t left, std::int32_t right, std::int32_t *p_ind) {
    const T v = p[left + (right - left) / 2];
    std::int32_t i = left, j = right;
    do {
        while (p[i] < v && i < right) ++i;
        while (v < p[j] && j > left) --j;
        if (i <= j) {
            const T t = p[i];
            p[i] = p[j];
            p[j] = t;
            const std::int32_t ti = p_ind[i];
            p_ind[i] = p_ind[j];
            p_ind[j] = ti;
            ++i;
            --j;
        }
    } while (i <= j);
    if (left < j) reference_qs(p, left, j, p_ind);
    if (i < right) reference_qs(p, i, right, p_ind);
}

// Runs f on a thread of its own with the given stack size.
void on_stack(std::size_t stack_bytes, const std::function<void()> &f) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stack_bytes), 0);
    pthread_t thread;
    auto body = [](void *arg) -> void * {
        (*static_cast<const std::function<void()> *>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, const_cast<std::function<void()> *>(&f)), 0);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

// Doubles compared by their bits, so that NaN equals NaN and -0.0 differs
// from 0.0.
std::vector<std::uint64_t> bits_of(const Doubles &d) {
    std::vector<std::uint64_t> b(d.size());
    std::memcpy(b.data(), d.data(), d.size() * sizeof(double));
    return b;
}

// Every entry point of a value type, each sorting the whole array.
template <typename T>
struct EntryPoint {
    std::string name;
    std::function<void(T *, std::int32_t, std::int32_t *)> sort;
};

std::vector<EntryPoint<std::int32_t>> int_entry_points() {
    std::vector<EntryPoint<std::int32_t>> e = {
        {"l_quicksort", l_quicksort},
        {"l_parallel_quicksort", l_parallel_quicksort},
        {"l_qs", [](std::int32_t *p, std::int32_t n, std::int32_t *ind) { l_qs(p, 0, n - 1, ind); }},
    };
    for (std::int32_t deep : {15, 3, 1, 0, -1, -1000})
        e.push_back({"l_parallel_qs deep " + std::to_string(deep),
                     [deep](std::int32_t *p, std::int32_t n, std::int32_t *ind) { l_parallel_qs(p, 0, n - 1, ind, deep); }});
    return e;
}

std::vector<EntryPoint<double>> double_entry_points() {
    std::vector<EntryPoint<double>> e = {
        {"d_quicksort", d_quicksort},
        {"d_parallel_quicksort", d_parallel_quicksort},
        {"d_qs", [](double *p, std::int32_t n, std::int32_t *ind) { d_qs(p, 0, n - 1, ind); }},
    };
    for (std::int32_t deep : {15, 3, 1, 0, -1, -1000})
        e.push_back({"d_parallel_qs deep " + std::to_string(deep),
                     [deep](double *p, std::int32_t n, std::int32_t *ind) { d_parallel_qs(p, 0, n - 1, ind, deep); }});
    return e;
}

}  // namespace

TEST(Quicksort, ExchangeSequenceOnSmallCases) {
    struct Case {
        Ints values, sorted, indices;
    };
    const Case cases[] = {
        {{9}, {9}, {0}},
        {{3, 1, 2}, {1, 2, 3}, {1, 2, 0}},
        {{2, 2}, {2, 2}, {1, 0}},
        {{5, 5, 5, 5}, {5, 5, 5, 5}, {2, 3, 0, 1}},
        {{3, 3, 3}, {3, 3, 3}, {2, 1, 0}},
        {{1, 1, 2, 2}, {1, 1, 2, 2}, {1, 0, 3, 2}},
        {{1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {0, 1, 2, 3, 4}},
        {{5, 4, 3, 2, 1}, {1, 2, 3, 4, 5}, {4, 3, 2, 1, 0}},
        {{2, 1, 2, 1, 2}, {1, 1, 2, 2, 2}, {3, 1, 4, 0, 2}},
        {{INT32_MAX, INT32_MIN, -1, 0}, {INT32_MIN, -1, 0, INT32_MAX}, {1, 2, 3, 0}},
    };
    for (const auto &c : cases) {
        const auto n = static_cast<std::int32_t>(c.values.size());
        for (const auto &e : int_entry_points()) {
            SCOPED_TRACE(e.name + " on " + ::testing::PrintToString(c.values));
            Ints p = c.values, ind = iota_indices(c.values.size());
            e.sort(p.data(), n, ind.data());
            EXPECT_EQ(p, c.sorted);
            EXPECT_EQ(ind, c.indices);
        }
        // The same integers as doubles take the same exchanges.
        for (const auto &e : double_entry_points()) {
            SCOPED_TRACE(e.name + " on " + ::testing::PrintToString(c.values));
            Doubles p(c.values.begin(), c.values.end());
            Ints ind = iota_indices(c.values.size());
            e.sort(p.data(), n, ind.data());
            EXPECT_EQ(p, Doubles(c.sorted.begin(), c.sorted.end()));
            EXPECT_EQ(ind, c.indices);
        }
    }
}

// Plus and minus zero are equal and exchanged; a NaN stops every scan.
TEST(Quicksort, SignedZerosAndNaNs) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        Doubles values, sorted;
        Ints indices;
    };
    const Case cases[] = {
        {{0.0, -0.0}, {-0.0, 0.0}, {1, 0}},
        {{-0.0, 0.0}, {0.0, -0.0}, {1, 0}},
        {{0.0, nan, 1.0}, {1.0, nan, 0.0}, {2, 1, 0}},
        {{1.0, nan, 0.0}, {0.0, nan, 1.0}, {2, 1, 0}},
        {{INFINITY, 1.0, -INFINITY}, {-INFINITY, 1.0, INFINITY}, {2, 1, 0}},
    };
    for (const auto &c : cases) {
        for (const auto &e : double_entry_points()) {
            SCOPED_TRACE(e.name + " on " + ::testing::PrintToString(c.values));
            Doubles p = c.values;
            Ints ind = iota_indices(p.size());
            e.sort(p.data(), static_cast<std::int32_t>(p.size()), ind.data());
            EXPECT_EQ(bits_of(p), bits_of(c.sorted));
            EXPECT_EQ(ind, c.indices);
        }
    }
}

TEST(Quicksort, EmptyCountsAndReversedRangesTouchNothing) {
    const Ints values = {4, 3, 2, 1, 0};
    const Ints marks = {7, 8, 9, 10, 11};
    for (std::int32_t count : {0, -1, INT32_MIN}) {
        for (const auto &e : int_entry_points()) {
            if (e.name.rfind("l_qs", 0) == 0 || e.name.rfind("l_parallel_qs", 0) == 0) continue;
            SCOPED_TRACE(e.name + " count " + std::to_string(count));
            Ints p = values, ind = marks;
            e.sort(p.data(), count, ind.data());
            EXPECT_EQ(p, values);
            EXPECT_EQ(ind, marks);
        }
        Doubles d = {4, 3, 2, 1, 0};
        Ints ind = marks;
        d_quicksort(d.data(), count, ind.data());
        d_parallel_quicksort(d.data(), count, ind.data());
        EXPECT_EQ(d, (Doubles{4, 3, 2, 1, 0}));
        EXPECT_EQ(ind, marks);
    }
    // left > right, including ranges whose middle lies outside [right, left].
    for (auto [left, right] : {std::pair{3, 1}, std::pair{4, 0}, std::pair{2, 1}}) {
        SCOPED_TRACE(std::to_string(left) + " > " + std::to_string(right));
        Ints p = values, ind = marks;
        l_qs(p.data(), left, right, ind.data());
        l_parallel_qs(p.data(), left, right, ind.data(), 15);
        l_parallel_qs(p.data(), left, right, ind.data(), 0);
        EXPECT_EQ(p, values);
        EXPECT_EQ(ind, marks);
        Doubles d = {4, 3, 2, 1, 0};
        d_qs(d.data(), left, right, ind.data());
        d_parallel_qs(d.data(), left, right, ind.data(), 15);
        EXPECT_EQ(d, (Doubles{4, 3, 2, 1, 0}));
        EXPECT_EQ(ind, marks);
    }
}

// The companion array is only carried: all 7s give the same values.
TEST(Quicksort, CompanionContentsNeverSteerTheSort) {
    std::mt19937 rng(3);
    Ints values(500);
    for (auto &v : values) v = static_cast<std::int32_t>(rng() % 20);
    Ints a = values, b = values, ia = iota_indices(values.size()), sevens(values.size(), 7);
    l_quicksort(a.data(), 500, ia.data());
    l_quicksort(b.data(), 500, sevens.data());
    EXPECT_EQ(a, b);
    EXPECT_EQ(sevens, Ints(values.size(), 7));
    Doubles da(values.begin(), values.end()), db = da;
    Ints id = iota_indices(values.size()), sevens_d(values.size(), 7);
    d_parallel_quicksort(da.data(), 500, id.data());
    d_parallel_quicksort(db.data(), 500, sevens_d.data());
    EXPECT_EQ(da, db);
    // Each index names the value's former place.
    for (std::size_t k = 0; k < values.size(); ++k) EXPECT_EQ(a[k], values[static_cast<std::size_t>(ia[k])]);
}

// The library's routines take exactly the exchanges of the plain recursive
// scheme, on whole arrays and on sub-ranges, with many equal values, NaNs
// and signed zeros. The reference runs on a large stack.
TEST(Quicksort, SameResultAsTheRecursiveScheme) {
    on_stack(std::size_t{256} << 20, [] {
        std::mt19937 rng(11);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (int trial = 0; trial < 200; ++trial) {
            const std::size_t n = 1 + rng() % (trial < 150 ? 64 : 5000);
            const unsigned spread = 1 + rng() % 6;  // few distinct values: many ties
            Ints values(n);
            for (auto &v : values) v = static_cast<std::int32_t>(rng() % spread) - 2;
            const auto left = static_cast<std::int32_t>(rng() % n);
            const auto right = static_cast<std::int32_t>(left + rng() % (n - static_cast<std::size_t>(left)));
            SCOPED_TRACE("trial " + std::to_string(trial) + " n " + std::to_string(n) + " range " +
                         std::to_string(left) + ".." + std::to_string(right));

            Ints ref = values, ref_ind = iota_indices(n);
            reference_qs(ref.data(), left, right, ref_ind.data());
            Ints p = values, ind = iota_indices(n);
            l_qs(p.data(), left, right, ind.data());
            ASSERT_EQ(p, ref);
            ASSERT_EQ(ind, ref_ind);
            p = values, ind = iota_indices(n);
            l_parallel_qs(p.data(), left, right, ind.data(), static_cast<std::int32_t>(rng() % 5) - 1);
            ASSERT_EQ(p, ref);
            ASSERT_EQ(ind, ref_ind);

            Doubles d(n);
            for (std::size_t k = 0; k < n; ++k) {
                const unsigned r = rng() % 16;
                d[k] = r == 0 ? nan : r == 1 ? -0.0 : r == 2 ? 0.0 : static_cast<double>(values[k]) / 2;
            }
            Doubles dref = d;
            Ints dref_ind = iota_indices(n);
            reference_qs(dref.data(), left, right, dref_ind.data());
            Doubles dp = d;
            Ints dind = iota_indices(n);
            d_qs(dp.data(), left, right, dind.data());
            ASSERT_EQ(bits_of(dp), bits_of(dref));
            ASSERT_EQ(dind, dref_ind);
            dp = d, dind = iota_indices(n);
            d_parallel_quicksort(dp.data(), static_cast<std::int32_t>(n), dind.data());
            dref = d, dref_ind = iota_indices(n);
            reference_qs(dref.data(), 0, static_cast<std::int32_t>(n) - 1, dref_ind.data());
            ASSERT_EQ(bits_of(dp), bits_of(dref));
            ASSERT_EQ(dind, dref_ind);
        }
        // Inputs that split badly: an organ pipe and an ascending run with a
        // sawtooth, deep for the recursive scheme.
        for (int shape = 0; shape < 2; ++shape) {
            const std::int32_t n = 5000;
            Ints values(static_cast<std::size_t>(n));
            for (std::int32_t k = 0; k < n; ++k)
                values[static_cast<std::size_t>(k)] = shape == 0 ? std::min(k + 1, n - k) : (k % 2 ? k : n - k);
            Ints ref = values, ref_ind = iota_indices(values.size());
            reference_qs(ref.data(), 0, n - 1, ref_ind.data());
            Ints p = values, ind = iota_indices(values.size());
            l_quicksort(p.data(), n, ind.data());
            ASSERT_EQ(p, ref);
            ASSERT_EQ(ind, ref_ind);
        }
    });
}

// Large random arrays: the depth-budgeted routines leave both arrays exactly
// as the plain ones do.
TEST(Quicksort, ParallelRoutinesEqualPlainOnesOnLargeArrays) {
    const std::size_t n = 1000000;
    std::mt19937 rng(5);
    Ints values(n);
    for (auto &v : values) v = static_cast<std::int32_t>(rng());
    Ints plain = values, plain_ind = iota_indices(n);
    l_quicksort(plain.data(), static_cast<std::int32_t>(n), plain_ind.data());
    for (std::size_t k = 1; k < n; ++k) ASSERT_LE(plain[k - 1], plain[k]);
    Ints par = values, par_ind = iota_indices(n);
    l_parallel_quicksort(par.data(), static_cast<std::int32_t>(n), par_ind.data());
    EXPECT_EQ(par, plain);
    EXPECT_EQ(par_ind, plain_ind);

    Doubles d(n);
    std::normal_distribution<double> normal(0.0, 1e6);
    for (std::size_t k = 0; k < n; ++k) d[k] = k % 3 ? normal(rng) : std::round(normal(rng) / 1e5);  // ties too
    Doubles dplain = d, dpar = d;
    Ints dplain_ind = iota_indices(n), dpar_ind = iota_indices(n);
    d_quicksort(dplain.data(), static_cast<std::int32_t>(n), dplain_ind.data());
    d_parallel_quicksort(dpar.data(), static_cast<std::int32_t>(n), dpar_ind.data());
    for (std::size_t k = 1; k < n; ++k) ASSERT_LE(dplain[k - 1], dplain[k]);
    EXPECT_EQ(bits_of(dpar), bits_of(dplain));
    EXPECT_EQ(dpar_ind, dplain_ind);
}

// An organ pipe 1 .. 50000 .. 1 splits off a few elements per partition;
// sorting it on a 512 KiB stack shows that the recursion depth stays small.
TEST(Quicksort, OrganPipeSortsOnASmallStack) {
    const std::int32_t n = 100000;
    Ints values(static_cast<std::size_t>(n));
    for (std::int32_t k = 0; k < n; ++k) values[static_cast<std::size_t>(k)] = k < n / 2 ? k + 1 : n - k;
    Ints p = values, ind = iota_indices(values.size());
    Doubles d(values.begin(), values.end());
    Ints dind = iota_indices(values.size());
    on_stack(512 * 1024, [&] {
        l_quicksort(p.data(), n, ind.data());
        d_parallel_quicksort(d.data(), n, dind.data());
    });
    for (std::int32_t k = 0; k < n; ++k) {
        const auto u = static_cast<std::size_t>(k);
        ASSERT_EQ(p[u], k / 2 + 1) << "position " << k;
        ASSERT_EQ(values[static_cast<std::size_t>(ind[u])], p[u]);
        ASSERT_EQ(d[u], p[u]);
    }
}
