#include "test_support.h"

using namespace testing_support;

TEST(MergeRun, MergesGeneratedFilesInListOrder) {
    ScratchDir dir;
    LasRecipe recipe;
    recipe.gap = Bytes(20, 0xAB);
    LasFile a = make_las(recipe);
    recipe.seed = 2;
    recipe.gap.clear();
    LasFile b = make_las(recipe);
    write_file(dir / "a.las", a.bytes());
    write_file(dir / "b.las", b.bytes());
    write_text(dir / "list.txt", "a.las\nb.las\n");
    RunResult r = run({zandrel_exe(), "list.txt", "out.las"}, dir.path().string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner() + "20 points in all input .las files\n\n2 files to be merged into out.las\n"
                                "\ra.las (1 / 2)                    \rb.las (2 / 2)                    ");
    Bytes out = read_file(dir / "out.las");
    // Bytes before OffsetToData that no VLR claims come out as zeros.
    a.gap.assign(a.gap.size(), 0);
    Bytes expected = a.bytes();
    expected.insert(expected.end(), b.records.begin(), b.records.end());
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(std::equal(out.begin() + 227, out.end(), expected.begin() + 227));
    EXPECT_EQ(header_of(out).NumberOfPointReturns, 20u);
}
