// update_header: the header's counts and extents rewritten from the file's
// own records, every other byte kept, and refusals that leave the file alone.
#include "child_process.h"
#include "test_support.h"

#include <algorithm>
#include <array>
#include <climits>
#include <functional>

#include <fcntl.h>
#include <sys/stat.h>

using namespace testing_support;
using module_tests::failed_with;
using module_tests::in_child;
using module_tests::returned_with;

namespace {

std::size_t record_size(int format) {
    static const std::size_t sizes[] = {20, 28, 26, 34};
    return sizes[format];
}

// The fields that update_header writes, as a record-by-record scan of the
// point data defines them.
struct Summary {
    std::uint32_t points = 0;
    std::uint32_t by_return[5] = {0, 0, 0, 0, 0};
    double max[3] = {0, 0, 0}, min[3] = {0, 0, 0};
    bool operator==(const Summary &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Summary &s) {
    os << "{points " << s.points << ", by return";
    for (auto n : s.by_return) os << ' ' << n;
    for (int a = 0; a < 3; ++a) os << ", axis " << a << " [" << s.min[a] << ", " << s.max[a] << "]";
    return os << '}';
}

Summary summary_of(const LAS12Header &h) {
    Summary s;
    s.points = h.NumberOfPointReturns;
    for (int k = 0; k < 5; ++k) s.by_return[k] = h.NumberOfPointsByReturn[k];  // packed: no references
    s.max[0] = h.MaxX, s.max[1] = h.MaxY, s.max[2] = h.MaxZ;
    s.min[0] = h.MinX, s.min[1] = h.MinY, s.min[2] = h.MinZ;
    return s;
}

std::int32_t raw_at(const unsigned char *p) {
    std::uint32_t u = 0;
    for (int k = 3; k >= 0; --k) u = (u << 8) | p[k];
    return static_cast<std::int32_t>(u);
}

// One record at a time, as a reader of the format would: whole records from
// the start of the point data, true extremes, and with no record the extents
// of the raw starting values (+-2147483646 for X and Y, +-10000000 for Z).
Summary reference_scan(const LAS12Header &h, const unsigned char *data, std::size_t n) {
    const std::size_t len = record_size(h.PointDataFormatID);
    std::int64_t lo[3] = {2147483646, 2147483646, 10000000}, hi[3] = {-2147483646, -2147483646, -10000000};
    Summary s;
    for (std::size_t off = 0; off + len <= n; off += len) {
        for (int a = 0; a < 3; ++a) {
            const std::int64_t v = raw_at(data + off + 4 * a);
            if (s.points == 0 || v < lo[a]) lo[a] = v;
            if (s.points == 0 || v > hi[a]) hi[a] = v;
        }
        const int r = data[off + 14] & 7;
        if (r >= 1 && r <= 5) ++s.by_return[r - 1];
        ++s.points;
    }
    const double scale[3] = {h.XScaleFactor, h.YScaleFactor, h.ZScaleFactor};
    const double offset[3] = {h.XOffset, h.YOffset, h.ZOffset};
    for (int a = 0; a < 3; ++a) {
        s.max[a] = offset[a] + scale[a] * static_cast<double>(hi[a]);
        s.min[a] = offset[a] + scale[a] * static_cast<double>(lo[a]);
    }
    return s;
}

Summary reference_scan(const Bytes &file) {
    const LAS12Header h = header_of(file);
    const std::size_t start = std::min<std::size_t>(h.OffsetToData, file.size());
    return reference_scan(h, file.data() + start, file.size() - start);
}

// The bytes update_header may write: the point count, the counts by return
// and the six extents.
bool written_field(std::size_t offset) { return (offset >= 107 && offset < 131) || (offset >= 179 && offset < 227); }

// Every byte outside the written fields is the same in both files.
::testing::AssertionResult same_outside_written_fields(const Bytes &before, const Bytes &after) {
    if (before.size() != after.size())
        return ::testing::AssertionFailure() << "size " << before.size() << " became " << after.size();
    for (std::size_t i = 0; i < before.size(); ++i)
        if (!written_field(i) && before[i] != after[i])
            return ::testing::AssertionFailure() << "byte " << i << " changed from " << int(before[i]) << " to "
                                                 << int(after[i]);
    return ::testing::AssertionSuccess();
}

std::string updated(const std::string &path) { return "\rHeader of file " + path + " has been updated    "; }

// A header that lies about everything update_header rewrites.
void make_stale(LAS12Header &h) {
    h.NumberOfPointReturns = 5;
    for (int k = 0; k < 5; ++k) h.NumberOfPointsByReturn[k] = 1000u + static_cast<unsigned>(k);
    h.MaxX = h.MinX = h.MaxY = h.MinY = h.MaxZ = h.MinZ = 12345.5;
}

void set_raw(LasFile &f, std::size_t record, int axis, std::int32_t value) {
    const std::size_t len = f.header.PointDataRecordLength;
    auto u = static_cast<std::uint32_t>(value);
    for (int k = 0; k < 4; ++k) f.records[record * len + 4 * axis + k] = static_cast<unsigned char>(u >> (8 * k));
}

struct VersionFormat {
    int minor, format;
};
const VersionFormat kAccepted[] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {2, 2}, {2, 3}};

}  // namespace

// Each accepted version and format, with a header extension, a VLR area and a
// trailing partial record: counts and extents come from the whole records,
// whatever the stale header said; nothing else moves.
TEST(UpdateHeader, RewritesCountsAndExtentsOfEveryVersionAndFormat) {
    ScratchDir dir;
    for (const auto &vf : kAccepted) {
        SCOPED_TRACE("version 1." + std::to_string(vf.minor) + " format " + std::to_string(vf.format));
        LasRecipe recipe;
        recipe.minor = vf.minor;
        recipe.format = vf.format;
        recipe.points = 37;
        recipe.scale[0] = 0.01, recipe.scale[1] = -0.5, recipe.scale[2] = 0.001;  // a negative scale swaps max and min
        recipe.offset[0] = 1000, recipe.offset[1] = -20, recipe.offset[2] = 5;
        recipe.gap.resize(80);
        for (std::size_t k = 0; k < recipe.gap.size(); ++k) recipe.gap[k] = static_cast<unsigned char>(0xA0 + k);
        recipe.seed = static_cast<unsigned>(vf.minor * 10 + vf.format);
        LasFile f = make_las(recipe);
        f.header.HeaderSize = 227 + 16;  // 16 bytes of header extension, then a VLR area
        f.header.NumberOfVariableLengthRecords = 1;
        // Return numbers 0 to 7 with the flag bits set and clear, 0x81 and 0x0E among them.
        static const unsigned char bitfields[] = {0x81, 0x0E, 0, 1, 2, 3, 4, 5, 6, 7, 0xFA, 0x43, 0x7F};
        const std::size_t len = record_size(vf.format);
        for (std::size_t r = 0; r < recipe.points; ++r) f.records[r * len + 14] = bitfields[r % std::size(bitfields)];
        make_stale(f.header);
        Bytes before = f.bytes();
        // Arbitrary bytes in the header fields that no check reads: GUID,
        // texts without terminator, dates, VLR count.
        std::mt19937 rng(recipe.seed + 100);
        for (std::size_t i = 4; i < 104; ++i)
            if (i < 24 || (i >= 26 && i < 94) || i >= 100) before[i] = static_cast<unsigned char>(rng());
        const Bytes tail(len - 1, 0x5A);
        before.insert(before.end(), tail.begin(), tail.end());
        const std::string path = dir / ("v1" + std::to_string(vf.minor) + "f" + std::to_string(vf.format) + ".las");
        write_file(path, before);

        EXPECT_EQ(in_child([&] { update_header(path.c_str()); }), returned_with(updated(path)));

        const Bytes after = read_file(path);
        EXPECT_TRUE(same_outside_written_fields(before, after));
        const Summary s = summary_of(header_of(after));
        EXPECT_EQ(s, reference_scan(before));
        EXPECT_EQ(s.points, 37u);
        EXPECT_LT(s.max[1], s.min[1]);
    }
}

// With no whole record the counts are zero and the extents come from the
// raw starting values: 2147483646 inside the 32-bit limits for X and Y, ten
// million for Z. Point data that begins at or beyond the end of the file,
// even beyond 2 GiB, holds no record either.
TEST(UpdateHeader, FileWithoutWholeRecordGetsStartingExtents) {
    ScratchDir dir;
    struct Case {
        const char *what;
        std::size_t tail;            // bytes behind OffsetToData
        std::int64_t offset_beyond;  // OffsetToData past the end of the file, or -1 to keep it
    };
    const Case cases[] = {
        {"no bytes of points", 0, -1},
        {"a partial record", 33, -1},
        {"offset at the end", 0, 0},
        {"offset beyond the end", 0, 1000},
        {"offset at the 32-bit limit", 0, 0xFFFFFFFFll},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        LasRecipe recipe;
        recipe.points = 0;
        recipe.scale[0] = 0.01, recipe.scale[1] = 0.25, recipe.scale[2] = 0.001;
        recipe.offset[0] = 500000, recipe.offset[1] = 4000000, recipe.offset[2] = -10;
        LasFile f = make_las(recipe);
        make_stale(f.header);
        Bytes before = f.bytes();
        before.insert(before.end(), c.tail, 0x77);
        if (c.offset_beyond == 0xFFFFFFFFll)
            f.header.OffsetToData = 0xFFFFFFFFu;
        else if (c.offset_beyond >= 0)
            f.header.OffsetToData = static_cast<std::uint32_t>(before.size() + static_cast<std::size_t>(c.offset_beyond));
        kelvane::encode_header(f.header, before.data());
        const std::string path = dir / "empty.las";
        write_file(path, before);

        EXPECT_EQ(in_child([&] { update_header(path.c_str()); }), returned_with(updated(path)));

        const Bytes after = read_file(path);
        EXPECT_TRUE(same_outside_written_fields(before, after));
        Summary expected;
        expected.max[0] = 500000 - 2147483646 * 0.01, expected.min[0] = 500000 + 2147483646 * 0.01;
        expected.max[1] = 4000000 - 2147483646 * 0.25, expected.min[1] = 4000000 + 2147483646 * 0.25;
        expected.max[2] = -10 - 10000000 * 0.001, expected.min[2] = -10 + 10000000 * 0.001;
        EXPECT_EQ(summary_of(header_of(after)), expected);
    }
}

// Raw Z beyond ten million and raw X and Y at the 32-bit limits: the
// extents are the records' own, not clipped to the starting values.
TEST(UpdateHeader, ExtremeRawCoordinatesGiveTrueExtents) {
    ScratchDir dir;
    struct Case {
        const char *what;
        std::vector<std::array<std::int32_t, 3>> xyz;
        std::array<std::int32_t, 3> lo, hi;
    };
    const Case cases[] = {
        {"all Z above ten million", {{1, 2, 10000001}, {3, 4, 20000000}}, {1, 2, 10000001}, {3, 4, 20000000}},
        {"all Z below minus ten million", {{1, 2, -10000001}, {3, 4, -30000000}}, {1, 2, -30000000}, {3, 4, -10000001}},
        {"X and Y at the 32-bit limits",
         {{INT32_MIN, INT32_MAX, 0}, {INT32_MAX, INT32_MIN, 5}},
         {INT32_MIN, INT32_MIN, 0},
         {INT32_MAX, INT32_MAX, 5}},
        {"all X at the lower limit", {{INT32_MIN, 0, 0}, {-2147483647, 0, 0}}, {INT32_MIN, 0, 0}, {-2147483647, 0, 0}},
        {"all X at the upper limit", {{INT32_MAX, 0, 0}, {2147483646, 0, 0}}, {2147483646, 0, 0}, {INT32_MAX, 0, 0}},
        {"one record", {{-7, 8, -9}}, {-7, 8, -9}, {-7, 8, -9}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        LasRecipe recipe;
        recipe.format = 1;
        recipe.points = static_cast<std::uint32_t>(c.xyz.size());
        recipe.offset[0] = 10, recipe.offset[1] = 20, recipe.offset[2] = 30;
        LasFile f = make_las(recipe);
        for (std::size_t r = 0; r < c.xyz.size(); ++r)
            for (int a = 0; a < 3; ++a) set_raw(f, r, a, c.xyz[r][static_cast<std::size_t>(a)]);
        make_stale(f.header);
        const std::string path = dir / "extreme.las";
        write_file(path, f.bytes());

        EXPECT_EQ(in_child([&] { update_header(path.c_str()); }), returned_with(updated(path)));

        const Summary s = summary_of(header_of(read_file(path)));
        EXPECT_EQ(s.min[0], 10 + 0.01 * c.lo[0]);
        EXPECT_EQ(s.max[0], 10 + 0.01 * c.hi[0]);
        EXPECT_EQ(s.min[1], 20 + 0.01 * c.lo[1]);
        EXPECT_EQ(s.max[1], 20 + 0.01 * c.hi[1]);
        EXPECT_EQ(s.min[2], 30 + 0.01 * c.lo[2]);
        EXPECT_EQ(s.max[2], 30 + 0.01 * c.hi[2]);
        EXPECT_EQ(s.points, c.xyz.size());
    }
}

// Several 1 MiB blocks of 34-byte records and a partial record behind them:
// the block scan agrees with the record-by-record scan, with extremes
// planted at the last and first records of blocks and at the last record.
TEST(UpdateHeader, BlockScanEqualsRecordByRecordScan) {
    ScratchDir dir;
    LasRecipe recipe;
    recipe.format = 3;
    recipe.points = 100000;
    recipe.seed = 42;
    LasFile f = make_las(recipe);
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int32_t> moderate(-1000000000, 1000000000);
    for (std::size_t r = 0; r < recipe.points; ++r)
        for (int a = 0; a < 3; ++a) set_raw(f, r, a, moderate(rng));
    const std::size_t per_block = (std::size_t{1} << 20) / 34;
    set_raw(f, per_block - 1, 0, 2000000000);
    set_raw(f, per_block, 1, -2000000000);
    set_raw(f, 2 * per_block, 0, -2000000001);
    set_raw(f, 2 * per_block - 1, 2, -2000000002);
    set_raw(f, recipe.points - 1, 2, 2000000003);
    make_stale(f.header);
    Bytes before = f.bytes();
    // A partial record whose X would be the largest if it were counted.
    const unsigned char tail[] = {0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    before.insert(before.end(), std::begin(tail), std::end(tail));
    const std::string path = dir / "blocks.las";
    write_file(path, before);

    EXPECT_EQ(in_child([&] { update_header(path.c_str()); }), returned_with(updated(path)));

    const Bytes after = read_file(path);
    EXPECT_TRUE(same_outside_written_fields(before, after));
    const Summary s = summary_of(header_of(after));
    EXPECT_EQ(s, reference_scan(before));
    EXPECT_EQ(s.points, 100000u);
    EXPECT_EQ(s.max[0], 0.01 * 2000000000);
    EXPECT_EQ(s.min[0], 0.01 * -2000000001);
    EXPECT_EQ(s.min[1], 0.01 * -2000000000);
    EXPECT_EQ(s.min[2], 0.01 * -2000000002);
    EXPECT_EQ(s.max[2], 0.01 * 2000000003);
}

// Point data beyond 2 GiB (a sparse file: the hole costs no disk space) is
// found with 64-bit positions.
TEST(UpdateHeader, PointDataBeyondTwoGiB) {
    ScratchDir dir;
    LasRecipe recipe;
    recipe.format = 0;
    recipe.points = 6;
    LasFile f = make_las(recipe);
    f.header.OffsetToData = 0x80000000u + 123u;
    make_stale(f.header);
    Bytes header(227);
    kelvane::encode_header(f.header, header.data());
    const std::string path = dir / "sparse.las";
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, header.data(), header.size(), 0), 227);
        Bytes data = f.records;
        data.insert(data.end(), 7, 0x11);  // a partial record
        ASSERT_EQ(pwrite(fd, data.data(), data.size(), f.header.OffsetToData), static_cast<ssize_t>(data.size()));
        ::close(fd);
    }

    EXPECT_EQ(in_child([&] { update_header(path.c_str()); }), returned_with(updated(path)));

    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    Bytes head(227), data(f.records.size());
    ASSERT_EQ(pread(fd, head.data(), head.size(), 0), 227);
    ASSERT_EQ(pread(fd, data.data(), data.size(), f.header.OffsetToData), static_cast<ssize_t>(data.size()));
    ::close(fd);
    EXPECT_EQ(data, f.records);
    EXPECT_TRUE(same_outside_written_fields(header, head));
    const LAS12Header h = kelvane::decode_header(head.data());
    EXPECT_EQ(summary_of(h), reference_scan(h, f.records.data(), f.records.size()));
    EXPECT_EQ(summary_of(h).points, 6u);
}

// Files that check_las refuses, or that hold less than a header: the process
// ends with status -1 after the check's message (none for a 1.0 or 1.1 file
// declaring a colour format), and the file is unchanged.
TEST(UpdateHeader, RefusedFilesEndTheProcessAndStayUnchanged) {
    ScratchDir dir;
    LasRecipe recipe;
    recipe.format = 3;
    recipe.points = 3;
    const Bytes valid = make_las(recipe).bytes();
    struct Case {
        const char *name;
        std::function<void(Bytes &)> change;  // nullptr: no such file
        std::function<std::string(const std::string &)> message;
    };
    auto with_byte = [](std::size_t at, unsigned char v) { return [=](Bytes &b) { b[at] = v; }; };
    const Case cases[] = {
        {"missing.las", nullptr,
         [](const std::string &p) { return "Unable to open file " + p + " in file_access()\n\nFile " + p + " does NOT exist\n"; }},
        {"points.txt", [](Bytes &) {}, [](const std::string &p) { return "\nFile extension of " + p + " is not .las\n"; }},
        {"sig.las", with_byte(3, 'f'), [](const std::string &p) { return "\n" + p + " is not a valid .las file\n\n"; }},
        {"major.las", with_byte(24, 2), [](const std::string &) { return std::string("\nCannot handle las files of version 2.x\n"); }},
        {"minor.las", with_byte(25, 3), [](const std::string &) { return std::string("\nCannot handle las files of version 1.3\n"); }},
        {"format.las", with_byte(104, 4),
         [](const std::string &p) { return "\nPointDataFormatID in " + p + " is 4. Only 0, 1, 2, or 3 is accepted\n"; }},
        {"length.las", with_byte(105, 36),
         [](const std::string &p) { return "\nData format of " + p + " (3) is incompatible with Length of Data Record (36)\n"; }},
        {"v10f2.las", [](Bytes &b) { b[25] = 0, b[104] = 2; }, [](const std::string &) { return std::string(); }},
        {"v11f3.las", [](Bytes &b) { b[25] = 1; }, [](const std::string &) { return std::string(); }},
        {"short106.las", [](Bytes &b) { b.resize(106); },
         [](const std::string &p) { return "\n" + p + " is too short to be a valid .las file (106 bytes)\n"; }},
        // Long enough to classify, too short to hold the header.
        {"short107.las", [](Bytes &b) { b.resize(107); },
         [](const std::string &p) { return "\n" + p + " is too short to hold a LAS header (107 bytes, 227 needed)\n"; }},
        {"short226.las", [](Bytes &b) { b.resize(226); },
         [](const std::string &p) { return "\n" + p + " is too short to hold a LAS header (226 bytes, 227 needed)\n"; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.name;
        Bytes before = valid;
        if (c.change) {
            c.change(before);
            write_file(path, before);
        }
        EXPECT_EQ(in_child([&] { update_header(path.c_str()); }), failed_with(c.message(path)));
        if (c.change)
            EXPECT_EQ(read_file(path), before);
        else
            EXPECT_FALSE(fs::exists(path));
    }
    // A directory is no LAS file.
    const std::string folder = dir / "folder.las";
    fs::create_directory(folder);
    EXPECT_EQ(in_child([&] { update_header(folder.c_str()); }), failed_with("\n" + folder + " is not a regular file\n"));
}

// Root may write to any file, so as root the update runs as the unprivileged
// user "nobody", to whom the folder is open and the file read-only.
TEST(UpdateHeader, ReadOnlyFileIsRefused) {
    ScratchDir dir;
    const std::string path = dir / "ro.las";
    LasFile f = make_las(LasRecipe{});
    make_stale(f.header);
    const Bytes before = f.bytes();
    write_file(path, before);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const bool as_root = geteuid() == 0;
    if (as_root) {
        for (fs::path up = dir.path().parent_path(); !up.empty() && up != up.root_path(); up = up.parent_path())
            if ((fs::status(up).permissions() & fs::perms::others_exec) == fs::perms::none)
                GTEST_SKIP() << "nobody cannot reach " << up;
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    }
    EXPECT_EQ(in_child([&] {
                  if (as_root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(98);
                  update_header(path.c_str());
              }),
              failed_with("\nCannot open binary file " + path + " for header update\n\n"));
    EXPECT_EQ(read_file(path), before);
}
