// End-to-end merges of real LAS files written by other software (the shared
// test data beside the project; every test skips when it is absent). The
// lists name the files by absolute path, so nothing is copied.
#include "test_support.h"

#include <algorithm>
#include <map>

using namespace testing_support;

namespace {

constexpr int kFailed = 255;
const std::string k20Blanks(20, ' ');

#define TESTDATA_OR_SKIP()                                                  \
    const std::string data = shared_testdata();                             \
    if (data.empty()) GTEST_SKIP() << "shared LAS test data not present"

std::string at(const std::string &data, const std::string &name) { return data + "/" + name + ".las"; }

RunResult merge_list(const ScratchDir &dir, const std::vector<std::string> &paths) {
    std::string list;
    for (const auto &p : paths) list += p + "\n";
    write_text(dir / "list.txt", list);
    return run({zandrel_exe(), "list.txt", "out.las"}, dir.path().string());
}

std::string progress(const std::vector<std::string> &names) {
    std::string s;
    for (std::size_t t = 1; t <= names.size(); ++t)
        s += "\r" + names[t - 1] + " (" + std::to_string(t) + " / " + std::to_string(names.size()) + ")" + k20Blanks;
    return s;
}

Bytes slice(const Bytes &b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes records_of(const Bytes &file) {
    const LAS12Header h = header_of(file);
    return slice(file, h.OffsetToData, h.OffsetToData + std::size_t{h.NumberOfPointReturns} * h.PointDataRecordLength);
}

const std::map<std::string, std::vector<std::string>> kGroups = {
    {"A", {"v10_f0", "v10_f0_novlr"}},
    {"B", {"v10_f1", "v10_f1_novlr", "v10_f1_terrascan"}},
    {"C", {"v11_f0", "v11_f0_novlr"}},
    {"D", {"v11_f1", "v11_f1_novlr", "v11_f1_simple"}},
    {"E", {"v12_f0", "v12_f0_novlr", "v12_f0_autzen1065"}},
    {"F", {"v12_f1", "v12_f1_novlr", "v12_f1_autzen1065", "v12_f1_autzen106", "v12_f1_autzen106_gap787"}},
    {"G", {"v12_f2", "v12_f2_novlr", "v12_f2_autzen1065"}},
    // Less the two files that hold fewer records than they count.
    {"H",
     {"v12_f3", "v12_f3_novlr", "v12_f3_100pts", "v12_f3_utm17_10pts", "v12_f3_offgrid_extent", "v12_f3_thin1",
      "v12_f3_thin2", "v12_f3_tile1", "v12_f3_tile2", "v12_f3_tile3", "v12_f3_simple", "v12_f3_simple_pad2",
      "v12_f3_thin_all", "v12_f3_autzen1065"}},
};

TEST(MergeRealData, EveryGroupMergesWithEachMemberFirst) {
    TESTDATA_OR_SKIP();
    for (const auto &[group, members] : kGroups) {
        for (std::size_t first = 0; first < members.size(); ++first) {
            SCOPED_TRACE("group " + group + ", first " + members[first]);
            std::vector<std::string> paths;
            std::vector<Bytes> files;
            for (std::size_t k = 0; k < members.size(); ++k) {
                paths.push_back(at(data, members[(first + k) % members.size()]));
                files.push_back(read_file(paths.back()));
            }
            std::uint64_t total = 0;
            std::uint32_t by_return[5] = {0, 0, 0, 0, 0};
            LAS12Header box = header_of(files[0]);
            Bytes records;
            for (const Bytes &f : files) {
                const LAS12Header h = header_of(f);
                total += h.NumberOfPointReturns;
                for (int r = 0; r < 5; ++r) by_return[r] += h.NumberOfPointsByReturn[r];
                box.MinX = std::min(box.MinX, h.MinX), box.MaxX = std::max(box.MaxX, h.MaxX);
                box.MinY = std::min(box.MinY, h.MinY), box.MaxY = std::max(box.MaxY, h.MaxY);
                box.MinZ = std::min(box.MinZ, h.MinZ), box.MaxZ = std::max(box.MaxZ, h.MaxZ);
                const Bytes r = records_of(f);
                records.insert(records.end(), r.begin(), r.end());
            }
            ScratchDir dir;
            RunResult r = merge_list(dir, paths);
            ASSERT_EQ(r.status, 0) << r.out;
            EXPECT_EQ(r.out, banner() + std::to_string(total) + " points in all input .las files\n\n" +
                                 std::to_string(paths.size()) + " files to be merged into out.las\n" + progress(paths));
            const Bytes out = read_file(dir / "out.las");
            const LAS12Header first_h = header_of(files[0]), h = header_of(out);
            // Bytes the merge does not touch are the first file's.
            EXPECT_EQ(slice(out, 0, 107), slice(files[0], 0, 107));
            EXPECT_EQ(slice(out, 131, 179), slice(files[0], 131, 179));
            EXPECT_EQ(h.NumberOfPointReturns, total);
            for (int k = 0; k < 5; ++k) EXPECT_EQ(h.NumberOfPointsByReturn[k], by_return[k]) << "return " << k + 1;
            EXPECT_EQ(h.MinX, box.MinX);
            EXPECT_EQ(h.MaxX, box.MaxX);
            EXPECT_EQ(h.MinY, box.MinY);
            EXPECT_EQ(h.MaxY, box.MaxY);
            EXPECT_EQ(h.MinZ, box.MinZ);
            EXPECT_EQ(h.MaxZ, box.MaxZ);
            // In these files everything before the points is VLRs, the CC DD
            // signature or zeros, all of which the output holds as they are.
            ASSERT_EQ(out.size(), first_h.OffsetToData + records.size());
            EXPECT_EQ(slice(out, 227, first_h.OffsetToData), slice(files[0], 227, first_h.OffsetToData));
            EXPECT_TRUE(slice(out, first_h.OffsetToData, out.size()) == records);
        }
    }
}

TEST(MergeRealData, ThinHalvesMergeIntoTheWholeThinFile) {
    TESTDATA_OR_SKIP();
    ScratchDir dir;
    const Bytes thin1 = read_file(at(data, "v12_f3_thin1")), thin2 = read_file(at(data, "v12_f3_thin2"));
    const Bytes all = read_file(at(data, "v12_f3_thin_all"));
    RunResult r = merge_list(dir, {at(data, "v12_f3_thin1"), at(data, "v12_f3_thin2")});
    ASSERT_EQ(r.status, 0);
    const Bytes out = read_file(dir / "out.las");
    const LAS12Header h = header_of(out), whole = header_of(all), h1 = header_of(thin1);
    EXPECT_EQ(h.NumberOfPointReturns, 10653u);
    const std::uint32_t by_return[5] = {9079, 1244, 288, 42, 0};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(h.NumberOfPointsByReturn[k], by_return[k]);
    EXPECT_EQ(h.OffsetToData, 752u);
    EXPECT_EQ(h.NumberOfVariableLengthRecords, 3u);
    EXPECT_EQ(slice(out, 227, 752), slice(thin1, 227, 752));
    EXPECT_TRUE(slice(out, 752, out.size()) == slice(all, 335, all.size()));
    EXPECT_EQ(h.MinX, whole.MinX);
    EXPECT_EQ(h.MaxX, whole.MaxX);
    EXPECT_EQ(h.MinY, whole.MinY);
    EXPECT_EQ(h.MaxY, whole.MaxY);
    EXPECT_EQ(h.MaxZ, whole.MaxZ);
    EXPECT_EQ(h.MinZ, h1.MinZ);  // 406.59000000000003, one bit off thin_all's
}

TEST(MergeRealData, TilesUnionBox) {
    TESTDATA_OR_SKIP();
    ScratchDir dir;
    RunResult r = merge_list(dir, {at(data, "v12_f3_tile1"), at(data, "v12_f3_tile2"), at(data, "v12_f3_tile3")});
    ASSERT_EQ(r.status, 0);
    const LAS12Header h = header_of(read_file(dir / "out.las"));
    EXPECT_EQ(h.NumberOfPointReturns, 27u);
    EXPECT_EQ(h.MinX, 0.0);
    EXPECT_EQ(h.MinY, 1.0);
    EXPECT_EQ(h.MinZ, 2.0);
    EXPECT_EQ(h.MaxX, 29.0);
    EXPECT_EQ(h.MaxY, 28.0);
    EXPECT_EQ(h.MaxZ, 2.0);
}

TEST(MergeRealData, WriterLeftoversAfterTheVlrsBecomeZeros) {
    TESTDATA_OR_SKIP();
    for (const char *name : {"v12_f0_epsg4326", "v11_f1_390vlrs"}) {
        SCOPED_TRACE(name);
        ScratchDir dir;
        const Bytes in = read_file(at(data, name));
        const LAS12Header h = header_of(in);
        RunResult r = merge_list(dir, {at(data, name), at(data, name)});
        ASSERT_EQ(r.status, 0);
        const Bytes out = read_file(dir / "out.las");
        // epsg4326's VLR chain ends at 476; the 390 VLRs fill all up to the points.
        const std::size_t chain_end = std::string(name) == "v12_f0_epsg4326" ? 476 : h.OffsetToData;
        EXPECT_EQ(slice(out, 227, chain_end), slice(in, 227, chain_end));
        EXPECT_EQ(slice(out, chain_end, h.OffsetToData), Bytes(h.OffsetToData - chain_end, 0));
        const Bytes rec = records_of(in);
        Bytes twice = rec;
        twice.insert(twice.end(), rec.begin(), rec.end());
        EXPECT_TRUE(slice(out, h.OffsetToData, out.size()) == twice);
        EXPECT_EQ(header_of(out).NumberOfVariableLengthRecords, h.NumberOfVariableLengthRecords);
    }
}

TEST(MergeRealData, FilesHoldingFewerRecordsThanTheyCountAreRefused) {
    TESTDATA_OR_SKIP();
    struct Case {
        const char *first, *second, *broken;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {"v12_f3_simple", "v12_f3_simple_truncated", "v12_f3_simple_truncated",
         " is shorter than its header says: 1065 point records of 34 bytes from byte 229 need 36439 bytes, the "
         "file holds 36405\n"},
        {"v12_f3_count1065_norecords", "v12_f3_simple", "v12_f3_count1065_norecords",
         " is shorter than its header says: 1065 point records of 34 bytes from byte 229 need 36439 bytes, the "
         "file holds 229\n"},
        {"v12_f0_garbage_vlrcount", "v12_f0_garbage_vlrcount", "v12_f0_garbage_vlrcount",
         " is shorter than its header says: 719 point records of 20 bytes from byte 227 need 14607 bytes, the "
         "file holds 14601\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.broken);
        ScratchDir dir;
        RunResult r = merge_list(dir, {at(data, c.first), at(data, c.second)});
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, banner() + "\n" + at(data, c.broken) + c.detail);
        EXPECT_FALSE(fs::exists(dir / "out.las"));
    }
}

TEST(MergeRealData, FilesOfDifferentKindsAreRefused) {
    TESTDATA_OR_SKIP();
    struct Case {
        const char *first, *second;
        std::string message;  // after "\n", before " in <second>"
    };
    const std::vector<Case> cases = {
        {"v10_f0", "v11_f0", "type"},
        {"v11_f0", "v12_f0", "type"},
        {"v12_f0", "v10_f0_novlr", "type"},
        {"v12_f3_zero_points", "v12_f3_bad_extent", "XOffset"},
        {"v12_f1", "v12_f1_1815", "XScaleFactor"},
        {"v12_f1_1815", "v12_f1_autzen1065", "XScaleFactor"},
        {"v10_f0", "v10_f0_nosig_scale1", "XScaleFactor"},
        {"v11_f0_novlr", "v11_f0_scale1", "XScaleFactor"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.first) + " + " + c.second);
        ScratchDir dir;
        RunResult r = merge_list(dir, {at(data, c.first), at(data, c.second)});
        EXPECT_EQ(r.status, kFailed);
        const std::string second = at(data, c.second);
        const std::string message =
            c.message == "type" ? "\nType of file " + second + " differs from that of previous files in list.txt\n"
                                : "\n" + c.message + " in " + second +
                                      " differs from that in previous .las files included in list.txt\n";
        EXPECT_EQ(r.out, banner() + message);
    }
}

TEST(MergeRealData, RefusedFilesDrawTheirReasons) {
    TESTDATA_OR_SKIP();
    struct Case {
        std::string file, reason;  // reason: %s for the name
    };
    const std::vector<Case> cases = {
        {"refuse_v12_f1_reclen34.las", "\nData format of %s (1) is incompatible with Length of Data Record (34)\n"},
        {"refuse_v12_f3_reclen61.las", "\nData format of %s (3) is incompatible with Length of Data Record (61)\n"},
        {"refuse_v13_f0_empty.las", "\nCannot handle las files of version 1.3\n"},
        {"refuse_v13_f1.las", "\nCannot handle las files of version 1.3\n"},
        {"refuse_v14_f6.las", "\nCannot handle las files of version 1.4\n"},
        {"refuse_v12_f3.laz", "\nFile extension of %s is not .las\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        ScratchDir dir;
        const std::string path = data + "/" + c.file;
        RunResult r = merge_list(dir, {path, at(data, "v12_f3")});
        EXPECT_EQ(r.status, kFailed);
        std::string reason = c.reason;
        if (auto p = reason.find("%s"); p != std::string::npos) reason.replace(p, 2, path);
        EXPECT_EQ(r.out, banner() + reason + path + " (listed in list.txt) is not a valid LAS file\n");
    }
    // Under a .las name the LAZ file fails on its format byte, 131, shown as
    // the character of code 179.
    ScratchDir dir;
    fs::create_symlink(data + "/refuse_v12_f3.laz", dir / "laz.las");
    RunResult r = merge_list(dir, {"laz.las", at(data, "v12_f3")});
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, banner() + "\nPointDataFormatID in laz.las is \xB3. Only 0, 1, 2, or 3 is accepted\n"
                                "laz.las (listed in list.txt) is not a valid LAS file\n");
}

}  // namespace
