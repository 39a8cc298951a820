// The fuzz targets, built without libFuzzer, over the inputs kept in
// fuzz/regressions/<target>/ (inputs that once broke them) and over a few
// inputs at the edges of their formats. A target aborts when an invariant
// breaks; the sanitized build also catches memory errors here.
#include "test_support.h"

#include <functional>

using namespace testing_support;

extern "C" int fuzz_check_las(const std::uint8_t *data, std::size_t size);
extern "C" int fuzz_update_header(const std::uint8_t *data, std::size_t size);
extern "C" int fuzz_header_merge(const std::uint8_t *data, std::size_t size);
extern "C" int fuzz_name_reader(const std::uint8_t *data, std::size_t size);

namespace {

using Target = int (*)(const std::uint8_t *, std::size_t);

// Headers of a 1.2 format 1 file with a given OffsetToData and point count,
// followed by extra bytes.
Bytes las_bytes(std::uint32_t offset, std::uint32_t points, std::size_t extra) {
    LasRecipe recipe;
    recipe.format = 1;
    recipe.points = 2;
    LasFile f = make_las(recipe);
    f.header.OffsetToData = offset;
    f.header.NumberOfPointReturns = points;
    Bytes b = f.bytes();
    b.resize(227 + extra, 0x5A);
    return b;
}

std::vector<Bytes> edge_inputs() {
    std::vector<Bytes> inputs = {{}, {'L'}, Bytes(106, 0), Bytes(227, 0), Bytes(300, 0xFF)};
    Bytes lasf(107, 0);
    std::memcpy(lasf.data(), "LASF", 4);
    lasf[24] = 1;
    lasf[25] = 2;
    lasf[105] = 20;
    inputs.push_back(lasf);
    for (std::uint32_t offset : {0u, 226u, 227u, 283u, 100000u, 0xFFFFFFFFu})
        for (std::uint32_t points : {0u, 2u, 0xFFFFFFFFu}) inputs.push_back(las_bytes(offset, points, 56 + 54));
    return inputs;
}

void replay(const char *target_name, Target target) {
    std::size_t replayed = 0;
    const fs::path kept = fs::path(ZANDREL_SOURCE_DIR) / "fuzz" / "regressions" / target_name;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(kept, ec)) {
        SCOPED_TRACE(entry.path().string());
        const Bytes b = read_file(entry.path().string());
        EXPECT_EQ(target(b.data(), b.size()), 0);
        ++replayed;
    }
    for (const Bytes &b : edge_inputs()) {
        EXPECT_EQ(target(b.data(), b.size()), 0);
        ++replayed;
    }
    EXPECT_GT(replayed, 0u);
}

TEST(FuzzRegressions, CheckLas) { replay("check_las", fuzz_check_las); }
TEST(FuzzRegressions, UpdateHeader) { replay("update_header", fuzz_update_header); }
TEST(FuzzRegressions, HeaderMerge) { replay("header_merge", fuzz_header_merge); }
TEST(FuzzRegressions, NameReader) { replay("name_reader", fuzz_name_reader); }

}  // namespace
