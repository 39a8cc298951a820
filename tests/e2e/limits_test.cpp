// End-to-end runs at the point limit and the size warning, on sparse inputs
// whose headers count up to billions of points: the holes read as zero
// records and take no disk space.
#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

using namespace testing_support;

namespace {

constexpr int kFailed = 255;
const std::string k20Blanks(20, ' ');
const std::string kLimitRefusal =
    "\nERROR: The number of points in the merged .las file exceeds 2,147,483,647,\n"
    "the 32-bit limit, and cannot be stored in the file's header.";

// Writes a LAS 1.2 format-0 header counting `points` records and stretches
// the file to hold them; false when the folder cannot hold a sparse file of
// that size.
bool sparse_las(const std::string &path, std::uint32_t points) {
    LasRecipe recipe;
    recipe.format = 0;
    recipe.points = 0;
    LasFile f = make_las(recipe);
    f.header.NumberOfPointReturns = points;
    f.header.NumberOfPointsByReturn[0] = points;
    write_file(path, f.bytes());
    const off_t size = 227 + static_cast<off_t>(points) * 20;
    if (truncate(path.c_str(), size) != 0) return false;
    struct stat st;
    return stat(path.c_str(), &st) == 0 && st.st_size == size && (size < (1 << 20) || st.st_blocks * 512 < size / 2);
}

RunResult merge_after(const ScratchDir &dir, const std::string &setup) {
    return run({"/bin/sh", "-c", setup + "; exec \"$0\" \"$@\"", zandrel_exe(), "list.txt", "out.las"},
               dir.path().string());
}

bool no_output(const ScratchDir &dir) {
    for (const auto &e : fs::directory_iterator(dir.path()))
        if (e.path().filename() == "out.las" || e.path().filename().string().rfind(".zandrel-", 0) == 0) return false;
    return true;
}

#define SPARSE_OR_SKIP(path, points)                                                             \
    if (!sparse_las(path, points)) GTEST_SKIP() << "no sparse files of 40 GiB in the temporary folder"

TEST(MergeLimits, TotalsThatReachThePointLimitAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        const char *what;
        std::vector<std::uint32_t> counts;
    };
    const std::vector<Case> cases = {
        {"2^30 + 2^30", {1073741824u, 1073741824u}},
        {"a total of exactly 2,147,483,647", {1073741823u, 1073741824u}},
        {"three of a billion: refused while the third is added", {1000000000u, 1000000000u, 1000000000u}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::string list;
        for (std::size_t k = 0; k < c.counts.size(); ++k) {
            const std::string name = std::string("f").append(std::to_string(k)).append(".las");
            SPARSE_OR_SKIP(dir / name, c.counts[k]);
            list += name + "\n";
        }
        write_text(dir / "list.txt", list);
        RunResult r = run({zandrel_exe(), "list.txt", "out.las"}, dir.path().string());
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, banner() + kLimitRefusal);
        EXPECT_TRUE(no_output(dir));
    }
}

TEST(MergeLimits, AFirstFileAtTheLimitIsRefusedAsSoonAsItIsRead) {
    ScratchDir dir;
    SPARSE_OR_SKIP(dir / "big.las", 2147483647u);
    // The second would be refused as shorter than its header says, were it examined.
    LasRecipe recipe;
    recipe.format = 0;
    LasFile second = make_las(recipe);
    second.header.NumberOfPointReturns = 99;
    write_file(dir / "short.las", second.bytes());
    write_text(dir / "list.txt", "big.las\nshort.las\n");
    RunResult r = run({zandrel_exe(), "list.txt", "out.las"}, dir.path().string());
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, banner() + kLimitRefusal);
    EXPECT_TRUE(no_output(dir));
}

TEST(MergeLimits, TotalsBelowTheLimitAreAcceptedWithTheirSizeEstimate) {
    // These outputs would be gigabytes: a file size limit stops the copy once
    // the total, the estimate and the announcement have been printed.
    struct Case {
        const char *what;
        std::uint32_t first, second;
        std::string estimate;  // what the third pass prints after the total
    };
    const std::vector<Case> cases = {
        {"2,147,483,646 points", 1073741823u, 1073741823u,
         "2147483646 points in all input .las files\n"
         "\nWARNING: The output .las file will be 42949.673MB, which excceds the 32-bit limit (2,147MB)\n\n"},
        {"2,147,483,627 bytes: no warning", 107374169u, 1u, "107374170 points in all input .las files\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        SPARSE_OR_SKIP(dir / "a.las", c.first);
        SPARSE_OR_SKIP(dir / "b.las", c.second);
        write_text(dir / "list.txt", "a.las\nb.las\n");
        RunResult r = merge_after(dir, "ulimit -f 2048");
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, banner() + c.estimate + "\n2 files to be merged into out.las\n\ra.las (1 / 2)" + k20Blanks +
                             "\nFailed to write out.las: File too large\n");
        EXPECT_TRUE(no_output(dir));
    }
}

TEST(MergeLimits, TheSizeWarningDoesNotStopTheMerge) {
    // 107,374,171 points of 20 bytes and a 227-byte header: 2,147,483,647 bytes.
    ScratchDir dir;
    struct statvfs fsinfo;
    if (statvfs(dir.path().c_str(), &fsinfo) != 0 ||
        static_cast<unsigned long long>(fsinfo.f_bavail) * fsinfo.f_frsize < (6ull << 30))
        GTEST_SKIP() << "fewer than 6 GiB free for a 2 GiB output";
    SPARSE_OR_SKIP(dir / "a.las", 107374170u);
    LasRecipe recipe;
    recipe.format = 0;
    recipe.points = 1;
    const LasFile b = make_las(recipe);
    write_file(dir / "b.las", b.bytes());
    write_text(dir / "list.txt", "a.las\nb.las\n");
    RunResult r = run({zandrel_exe(), "list.txt", "out.las"}, dir.path().string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner() + "107374171 points in all input .las files\n"
                                "\nWARNING: The output .las file will be 2147.484MB, which excceds the 32-bit limit "
                                "(2,147MB)\n\n"
                                "\n2 files to be merged into out.las\n\ra.las (1 / 2)" +
                         k20Blanks + "\rb.las (2 / 2)" + k20Blanks);
    const std::string out = dir / "out.las";
    ASSERT_EQ(fs::file_size(out), 2147483647u);
    // The header counts every point, and the last record is b's.
    std::ifstream in(out, std::ios::binary);
    Bytes head(227), last(20);
    in.read(reinterpret_cast<char *>(head.data()), 227);
    in.seekg(2147483647 - 20);
    in.read(reinterpret_cast<char *>(last.data()), 20);
    EXPECT_EQ(header_of(head).NumberOfPointReturns, 107374171u);
    EXPECT_EQ(last, b.records);
    in.close();
    fs::remove(out);
}

}  // namespace
