// A merge whose output passes 4 GiB: two sparse inputs of 2.5 GiB, each
// with one real record at its end. Every position and size on the way is
// 64-bit, or the second file's records land in the wrong place.
#include "test_support.h"

#include <sys/statvfs.h>

using namespace testing_support;

namespace {

Bytes bytes_at(const std::string &path, std::uint64_t position, std::size_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(position));
    Bytes b(n);
    in.read(reinterpret_cast<char *>(b.data()), static_cast<std::streamsize>(n));
    if (!in) throw std::runtime_error("cannot read " + path);
    return b;
}

TEST(LargeFile, MergePastFourGiB) {
    ScratchDir dir;
    struct statvfs fs_info;
    ASSERT_EQ(statvfs(dir.path().c_str(), &fs_info), 0);
    const std::uint64_t free_bytes = static_cast<std::uint64_t>(fs_info.f_bavail) * fs_info.f_frsize;
    if (free_bytes < (std::uint64_t{12} << 30))
        GTEST_SKIP() << "needs 12 GiB free below " << dir.path() << ", has " << (free_bytes >> 20) << " MiB";

    constexpr std::uint64_t kPoints = std::uint64_t{1} << 27;  // 2.5 GiB of format 0 records a file
    constexpr std::size_t kRecord = 20;
    for (const char *name : {"a.las", "b.las"})
        ASSERT_EQ(run({lasgen_exe(), "--out", dir / name, "--format", "0", "--points", std::to_string(kPoints),
                       "--sparse", "--seed", name[0] == 'a' ? "1" : "2"})
                      .status,
                  0);
    write_text(dir / "list.txt", "a.las\nb.las\n");
    const RunResult r = run({zandrel_exe(), "list.txt", "out.las"}, dir.path().string());
    ASSERT_EQ(r.status, 0) << r.out;

    const std::string out = dir / "out.las";
    const std::uint64_t expected_size = 227 + 2 * kPoints * kRecord;
    ASSERT_GT(expected_size, std::uint64_t{4} << 30);
    EXPECT_EQ(fs::file_size(out), expected_size);
    EXPECT_EQ(header_of(bytes_at(out, 0, 227)).NumberOfPointReturns, 2 * kPoints);
    const std::uint64_t last_input_record = 227 + (kPoints - 1) * kRecord;
    EXPECT_EQ(bytes_at(out, expected_size - kRecord, kRecord), bytes_at(dir / "b.las", last_input_record, kRecord));
    EXPECT_EQ(bytes_at(out, last_input_record, kRecord), bytes_at(dir / "a.las", last_input_record, kRecord));
    EXPECT_NE(bytes_at(out, expected_size - kRecord, kRecord), Bytes(kRecord, 0));
}

}  // namespace
