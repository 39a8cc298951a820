// The merge's computing core: the list reader, the consistency rule, the
// merged header and its size estimate, and the layout rules of the copy.
#include "merge_core.h"
#include "test_support.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testing_support;
using zandrel::HeaderMerge;
using zandrel::LayoutProblem;
using zandrel::Mismatch;
using zandrel::NameReader;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------- NameReader

struct ReadOut {
    std::vector<std::string> names;
    NameReader::Status last = NameReader::Status::Name;
};

ReadOut read_names(const std::string &text) {
    ScratchDir dir;
    const std::string path = dir / "list.txt";
    write_text(path, text);
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (!f) throw std::runtime_error("cannot open list");
    NameReader reader(f);
    ReadOut r;
    std::string name;
    while ((r.last = reader.next(name)) == NameReader::Status::Name) r.names.push_back(name);
    std::fclose(f);
    return r;
}

TEST(NameReader, WhitespaceOfAnyMixSeparatesNames) {
    const std::string long_name = std::string(300, 'n') + std::string(20, 'm') + ".las";
    const struct {
        std::string text;
        std::vector<std::string> names;
    } cases[] = {
        {"a.las\nb.las\n", {"a.las", "b.las"}},
        {"a.las b.las\tc.las\n", {"a.las", "b.las", "c.las"}},
        {"  \t\n a.las \t \n\n\tb.las  \t\n   \n", {"a.las", "b.las"}},
        {"a.las\r\nb.las\r\n", {"a.las", "b.las"}},
        {"a.las\vb.las\fc.las", {"a.las", "b.las", "c.las"}},
        {"last.las", {"last.las"}},
        {"one.las\ntwo.las", {"one.las", "two.las"}},
        {"dir/x y.las\n", {"dir/x", "y.las"}},
        {long_name + "\n" + long_name, {long_name, long_name}},
        {"a.las a.las", {"a.las", "a.las"}},
    };
    for (const auto &c : cases) {
        const ReadOut r = read_names(c.text);
        EXPECT_EQ(r.names, c.names) << c.text.substr(0, 40);
        EXPECT_EQ(r.last, NameReader::Status::End);
    }
}

TEST(NameReader, EmptyListEndsAtOnce) {
    for (const std::string text : {"", "\n", "   \t\n\n  "}) {
        const ReadOut r = read_names(text);
        EXPECT_TRUE(r.names.empty());
        EXPECT_EQ(r.last, NameReader::Status::End);
    }
}

TEST(NameReader, NulByteStopsTheReading) {
    const struct {
        std::string text;
        std::vector<std::string> names_before;
    } cases[] = {
        {std::string("a.las\nb\0c.las\n", 14), {"a.las"}},
        {std::string("\0a.las\n", 7), {}},
        {std::string("a.las\0", 6), {}},
        {std::string("a.las \0", 7), {"a.las"}},
    };
    for (const auto &c : cases) {
        const ReadOut r = read_names(c.text);
        EXPECT_EQ(r.names, c.names_before);
        EXPECT_EQ(r.last, NameReader::Status::NulByte);
    }
}

TEST(NameReader, EndRepeatsAfterTheLastName) {
    ScratchDir dir;
    write_text(dir / "list.txt", "x.las");
    std::FILE *f = std::fopen((dir / "list.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    NameReader reader(f);
    std::string name = "stale";
    EXPECT_EQ(reader.next(name), NameReader::Status::Name);
    EXPECT_EQ(name, "x.las");
    EXPECT_EQ(reader.next(name), NameReader::Status::End);
    EXPECT_EQ(name, "");
    EXPECT_EQ(reader.next(name), NameReader::Status::End);
    std::fclose(f);
}

// ---------------------------------------------------------------- first_mismatch

LAS12Header reference_header() {
    LasRecipe s;
    s.scale[0] = 0.01; s.scale[1] = 0.001; s.scale[2] = 0.1;
    s.offset[0] = 1000.0; s.offset[1] = -2000.0; s.offset[2] = 0.0;
    return make_las(s).header;
}

double &field(LAS12Header &h, Mismatch m) {
    switch (m) {
    case Mismatch::XScale: return h.XScaleFactor;
    case Mismatch::YScale: return h.YScaleFactor;
    case Mismatch::ZScale: return h.ZScaleFactor;
    case Mismatch::XOffset: return h.XOffset;
    case Mismatch::YOffset: return h.YOffset;
    default: return h.ZOffset;
    }
}

const Mismatch kDoubleFields[] = {Mismatch::XScale,  Mismatch::YScale,  Mismatch::ZScale,
                                  Mismatch::XOffset, Mismatch::YOffset, Mismatch::ZOffset};

TEST(FirstMismatch, EachFieldIsNamedWhenItAloneDiffers) {
    const LAS12Header ref = reference_header();
    EXPECT_EQ(zandrel::first_mismatch(ref, ref), Mismatch::None);
    for (Mismatch m : kDoubleFields) {
        LAS12Header h = ref;
        field(h, m) = std::nextafter(field(h, m), 1e300);  // one bit apart: no tolerance
        EXPECT_EQ(zandrel::first_mismatch(ref, h), m) << int(m);
    }
    LAS12Header h = ref;
    h.PointDataRecordLength = static_cast<std::uint16_t>(h.PointDataRecordLength + 1);
    EXPECT_EQ(zandrel::first_mismatch(ref, h), Mismatch::RecordLength);
}

TEST(FirstMismatch, TheEarliestFieldInOrderWins) {
    const LAS12Header ref = reference_header();
    LAS12Header h = ref;
    h.YScaleFactor = 0.5;
    h.PointDataRecordLength = 20;
    EXPECT_EQ(zandrel::first_mismatch(ref, h), Mismatch::YScale);
    h = ref;
    h.ZOffset = 9.0;
    h.XScaleFactor = 9.0;
    EXPECT_EQ(zandrel::first_mismatch(ref, h), Mismatch::XScale);
    h = ref;
    h.ZOffset = 9.0;
    h.XOffset = 9.0;
    EXPECT_EQ(zandrel::first_mismatch(ref, h), Mismatch::XOffset);
}

TEST(FirstMismatch, SignedZerosAgreeAndNaNAgreesWithNothing) {
    LAS12Header ref = reference_header();
    for (Mismatch m : kDoubleFields) field(ref, m) = 0.0;
    LAS12Header h = ref;
    for (Mismatch m : kDoubleFields) field(h, m) = -0.0;
    EXPECT_EQ(zandrel::first_mismatch(ref, h), Mismatch::None);
    EXPECT_EQ(zandrel::first_mismatch(h, ref), Mismatch::None);

    for (Mismatch m : kDoubleFields) {
        // NaN in the first file: refused whatever the later file holds there.
        LAS12Header nan_ref = reference_header();
        field(nan_ref, m) = kNaN;
        LAS12Header later = nan_ref;
        EXPECT_EQ(zandrel::first_mismatch(nan_ref, later), m) << "NaN in both, field " << int(m);
        // NaN in the later file only.
        later = reference_header();
        LAS12Header plain = later;
        field(later, m) = kNaN;
        EXPECT_EQ(zandrel::first_mismatch(plain, later), m) << "NaN in later, field " << int(m);
    }
}

TEST(FirstMismatch, OtherFieldsAreNotCompared) {
    const LAS12Header ref = reference_header();
    LAS12Header h = ref;
    h.VersionMinor = 0;
    h.PointDataFormatID = 0;
    h.OffsetToData = 5000;
    h.HeaderSize = 235;
    h.NumberOfVariableLengthRecords = 7;
    h.NumberOfPointReturns = 1;
    h.MaxX = kNaN;
    h.MinZ = -1e300;
    std::memcpy(h.SystemIdentifier, "other", 5);
    EXPECT_EQ(zandrel::first_mismatch(ref, h), Mismatch::None);
}

// ---------------------------------------------------------------- HeaderMerge

LAS12Header counted(std::uint32_t points, double min_x = 0.0, double max_x = 1.0) {
    LAS12Header h = reference_header();
    h.NumberOfPointReturns = points;
    for (auto &n : h.NumberOfPointsByReturn) n = 0;
    h.NumberOfPointsByReturn[0] = points;
    h.MinX = min_x; h.MaxX = max_x;
    h.MinY = min_x; h.MaxY = max_x;
    h.MinZ = min_x; h.MaxZ = max_x;
    return h;
}

Bytes encoded(const LAS12Header &h) {
    Bytes b(kelvane::kHeaderBytes);
    kelvane::encode_header(h, b.data());
    return b;
}

TEST(HeaderMerge, FirstFilesBytesKeptOutsideCountsAndExtents) {
    LAS12Header first = counted(10, 5.0, 6.0);
    first.FileSourceID = 0x1111; first.GlobalEncoding = 0x2222;
    first.GUIDData1 = 0x33333333; first.GUIDData4[7] = 0x44;
    std::memcpy(first.SystemIdentifier, "FIRST-SYSTEM", 12);
    std::memcpy(first.GeneratingSoftware, "FIRST-SOFTWARE", 14);
    first.FileCreationDay = 100; first.FileCreationYear = 2001;
    first.OffsetToData = 1005; first.NumberOfVariableLengthRecords = 3;
    first.NumberOfPointsByReturn[1] = 4;

    LAS12Header second = counted(20, 1.0, 9.0);
    second.FileSourceID = 0x9999; second.GlobalEncoding = 1;
    second.GUIDData1 = 1; second.GUIDData4[7] = 0;
    std::memcpy(second.SystemIdentifier, "SECOND", 6);
    std::memcpy(second.GeneratingSoftware, "SECOND", 6);
    second.FileCreationDay = 1; second.FileCreationYear = 2020;
    second.OffsetToData = 227; second.NumberOfVariableLengthRecords = 0;
    second.VersionMinor = 1; second.PointDataFormatID = 0; second.PointDataRecordLength = 20;
    second.HeaderSize = 235;
    second.XScaleFactor = 7.0; second.ZOffset = 7.0;
    second.NumberOfPointsByReturn[1] = 6;

    HeaderMerge merge;
    ASSERT_TRUE(merge.add(first));
    ASSERT_TRUE(merge.add(second));
    EXPECT_EQ(merge.files(), 2u);
    EXPECT_EQ(merge.total_points(), 30u);

    const Bytes a = encoded(first), m = encoded(merge.merged());
    // Bytes 0-106: signature to record length; 131-178: scales and offsets.
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 107, m.begin()));
    EXPECT_TRUE(std::equal(a.begin() + 131, a.begin() + 179, m.begin() + 131));

    const LAS12Header &h = merge.merged();
    EXPECT_EQ(h.NumberOfPointReturns, 30u);
    EXPECT_EQ(h.NumberOfPointsByReturn[0], 30u);
    EXPECT_EQ(h.NumberOfPointsByReturn[1], 10u);
    EXPECT_EQ(h.MinX, 1.0); EXPECT_EQ(h.MaxX, 9.0);
    EXPECT_EQ(h.MinY, 1.0); EXPECT_EQ(h.MaxY, 9.0);
    EXPECT_EQ(h.MinZ, 1.0); EXPECT_EQ(h.MaxZ, 9.0);
}

TEST(HeaderMerge, BoxWidensPerFieldWhereverTheExtremeIs) {
    HeaderMerge merge;
    LAS12Header a = counted(1, 0.0, 10.0), b = counted(1, 2.0, 8.0), c = counted(1, 3.0, 4.0);
    b.MinY = -5.0;   // only Y widens below
    c.MaxZ = 500.0;  // the highest Z, last in the list
    ASSERT_TRUE(merge.add(a));
    ASSERT_TRUE(merge.add(b));
    ASSERT_TRUE(merge.add(c));
    const LAS12Header &h = merge.merged();
    EXPECT_EQ(h.MinX, 0.0); EXPECT_EQ(h.MaxX, 10.0);
    EXPECT_EQ(h.MinY, -5.0); EXPECT_EQ(h.MaxY, 10.0);
    EXPECT_EQ(h.MinZ, 0.0); EXPECT_EQ(h.MaxZ, 500.0);
}

// Comparisons are strict: an equal value (here -0.0 against +0.0) leaves
// the first file's bytes in place.
TEST(HeaderMerge, EqualValuesKeepTheFirstFiles) {
    LAS12Header a = counted(1);
    a.MinX = 0.0; a.MaxX = -0.0; a.MinY = -0.0; a.MaxY = 0.0;
    a.MinZ = 10.0; a.MaxZ = 10.0;
    LAS12Header b = counted(1);
    b.MinX = -0.0; b.MaxX = 0.0; b.MinY = 0.0; b.MaxY = -0.0;
    b.MinZ = 10.0; b.MaxZ = 10.0;
    HeaderMerge merge;
    ASSERT_TRUE(merge.add(a));
    ASSERT_TRUE(merge.add(b));
    EXPECT_EQ(encoded(merge.merged()), [&] {
        LAS12Header expect = a;
        expect.NumberOfPointReturns = 2;
        expect.NumberOfPointsByReturn[0] = 2;
        return encoded(expect);
    }());
}

TEST(HeaderMerge, NaNNeverReplacesAndIsNeverReplaced) {
    LAS12Header a = counted(1, 0.0, 10.0);
    a.MinX = kNaN; a.MaxY = kNaN;
    LAS12Header b = counted(1, -100.0, 100.0);
    b.MaxX = kNaN; b.MinZ = kNaN;
    HeaderMerge merge;
    ASSERT_TRUE(merge.add(a));
    ASSERT_TRUE(merge.add(b));
    const LAS12Header &h = merge.merged();
    EXPECT_TRUE(std::isnan(h.MinX));   // from the first file, kept
    EXPECT_TRUE(std::isnan(h.MaxY));
    EXPECT_EQ(h.MaxX, 10.0);           // a later NaN changes nothing
    EXPECT_EQ(h.MinZ, 0.0);
    EXPECT_EQ(h.MinY, -100.0);
    EXPECT_EQ(h.MaxZ, 100.0);
}

TEST(HeaderMerge, PerReturnCountsWrapModulo2To32) {
    LAS12Header a = counted(1), b = counted(1);
    a.NumberOfPointsByReturn[0] = 4294967295u; b.NumberOfPointsByReturn[0] = 1;
    a.NumberOfPointsByReturn[2] = 3000000000u; b.NumberOfPointsByReturn[2] = 2000000000u;
    a.NumberOfPointsByReturn[4] = 7; b.NumberOfPointsByReturn[4] = 8;
    HeaderMerge merge;
    ASSERT_TRUE(merge.add(a));
    ASSERT_TRUE(merge.add(b));
    EXPECT_EQ(merge.merged().NumberOfPointsByReturn[0], 0u);
    EXPECT_EQ(merge.merged().NumberOfPointsByReturn[2], 705032704u);
    EXPECT_EQ(merge.merged().NumberOfPointsByReturn[4], 15u);
}

TEST(HeaderMerge, PointLimitRefusesTotalsFrom2147483647Up) {
    const struct {
        std::vector<std::uint32_t> counts;
        int refused_at;  // index of the refused file, -1 for none
    } cases[] = {
        {{2147483646u}, -1},
        {{2147483000u, 646u}, -1},
        {{2147483000u, 647u}, 1},
        {{2147483646u, 0u, 1u}, 2},
        {{2147483647u}, 0},
        {{4294967295u}, 0},
        {{0u, 2147483647u}, 1},
        {{1000000000u, 1000000000u, 1000000000u}, 2},
        {{2147483647u, 2147483647u}, 0},
    };
    for (const auto &c : cases) {
        HeaderMerge merge;
        int refused = -1;
        std::uint64_t accepted_total = 0;
        for (std::size_t i = 0; i < c.counts.size(); ++i) {
            if (!merge.add(counted(c.counts[i]))) {
                refused = static_cast<int>(i);
                break;
            }
            accepted_total += c.counts[i];
        }
        EXPECT_EQ(refused, c.refused_at) << c.counts.front();
        if (refused < 0) {
            EXPECT_EQ(merge.total_points(), accepted_total);
            EXPECT_EQ(merge.merged().NumberOfPointReturns, accepted_total);
        }
    }
}

TEST(HeaderMerge, SizeEstimateFromTheLastHeader) {
    const struct {
        std::uint32_t points;
        double size;
        bool warns;
    } cases[] = {
        {107374170u, 2147483627.0, false},
        {107374171u, 2147483647.0, true},
        {0u, 227.0, false},
    };
    for (const auto &c : cases) {
        LAS12Header h = counted(c.points);
        h.PointDataRecordLength = 20;
        h.HeaderSize = 227;
        HeaderMerge merge;
        ASSERT_TRUE(merge.add(h));
        EXPECT_EQ(merge.estimated_size(), c.size) << c.points;
        EXPECT_EQ(merge.estimated_size() >= zandrel::kSizeWarning, c.warns) << c.points;
    }
    // Split over two files, with the last one's header size and record length.
    LAS12Header a = counted(100000000u), b = counted(7374171u);
    a.PointDataRecordLength = 34; a.HeaderSize = 227;
    b.PointDataRecordLength = 20; b.HeaderSize = 235;
    HeaderMerge merge;
    ASSERT_TRUE(merge.add(a));
    ASSERT_TRUE(merge.add(b));
    EXPECT_EQ(merge.estimated_size(), 107374171.0 * 20 + 235);
}

// A file without points carries no box (its extents are zeros or rubbish),
// so it neither widens nor seeds the merged box.
TEST(HeaderMerge, EmptyFilesDoNotMoveTheBox) {
    {
        HeaderMerge merge;
        ASSERT_TRUE(merge.add(counted(5, 10.0, 20.0)));
        ASSERT_TRUE(merge.add(counted(0, -1e9, 1e9)));
        EXPECT_EQ(merge.merged().MinX, 10.0);
        EXPECT_EQ(merge.merged().MaxZ, 20.0);
    }
    {
        HeaderMerge merge;
        ASSERT_TRUE(merge.add(counted(0, 0.0, 0.0)));
        ASSERT_TRUE(merge.add(counted(0, -5.0, 5.0)));
        ASSERT_TRUE(merge.add(counted(3, 100.0, 200.0)));
        ASSERT_TRUE(merge.add(counted(0, -7.0, 7.0)));
        ASSERT_TRUE(merge.add(counted(3, 150.0, 300.0)));
        const LAS12Header &h = merge.merged();
        EXPECT_EQ(h.MinX, 100.0); EXPECT_EQ(h.MaxX, 300.0);
        EXPECT_EQ(h.MinY, 100.0); EXPECT_EQ(h.MaxY, 300.0);
        EXPECT_EQ(h.MinZ, 100.0); EXPECT_EQ(h.MaxZ, 300.0);
        EXPECT_EQ(h.NumberOfPointReturns, 6u);
    }
    {
        HeaderMerge merge;
        ASSERT_TRUE(merge.add(counted(0, 3.0, 4.0)));
        ASSERT_TRUE(merge.add(counted(0, -5.0, 50.0)));
        EXPECT_EQ(merge.merged().MinX, 3.0);
        EXPECT_EQ(merge.merged().MaxX, 4.0);
        EXPECT_EQ(merge.merged().NumberOfPointReturns, 0u);
    }
}

TEST(HeaderMerge, RealThinHalvesGiveTheWholeFilesCounts) {
    const std::string data = shared_testdata();
    if (data.empty()) GTEST_SKIP() << "shared LAS test data absent";
    const LAS12Header thin1 = header_of(read_file(data + "/v12_f3_thin1.las"));
    const LAS12Header thin2 = header_of(read_file(data + "/v12_f3_thin2.las"));
    const LAS12Header all = header_of(read_file(data + "/v12_f3_thin_all.las"));
    HeaderMerge merge;
    ASSERT_TRUE(merge.add(thin1));
    ASSERT_TRUE(merge.add(thin2));
    const LAS12Header &h = merge.merged();
    EXPECT_EQ(h.NumberOfPointReturns, all.NumberOfPointReturns);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(h.NumberOfPointsByReturn[k], all.NumberOfPointsByReturn[k]);
    EXPECT_EQ(h.MaxX, all.MaxX); EXPECT_EQ(h.MinX, all.MinX);
    EXPECT_EQ(h.MaxY, all.MaxY); EXPECT_EQ(h.MinY, all.MinY);
    EXPECT_EQ(h.MaxZ, all.MaxZ);
    EXPECT_EQ(h.MinZ, thin1.MinZ);  // thin1's value, one bit off thin_all's
    EXPECT_EQ(h.OffsetToData, 752u);
}

// ---------------------------------------------------------------- check_layout

TEST(CheckLayout, TableOfLayouts) {
    using K = LayoutProblem::Kind;
    const struct {
        std::uint32_t offset;
        std::uint32_t count;
        std::uint16_t length;
        std::int64_t size;
        bool first;
        K kind;
        std::int64_t needed;
    } cases[] = {
        {226, 0, 20, 10000, true, K::DataInsideHeader, 227},
        {0, 0, 20, 10000, false, K::DataInsideHeader, 227},
        {1000, 0, 20, 999, true, K::ShorterThanData, 1000},
        {1000, 0, 20, 1000, true, K::None, 0},
        {1000, 1, 20, 1000, true, K::ShorterThanRecords, 1020},
        {227, 10, 20, 426, false, K::ShorterThanRecords, 427},
        {227, 10, 20, 426, true, K::ShorterThanRecords, 427},
        {227, 10, 20, 427, false, K::None, 0},
        {227, 10, 20, 500, true, K::None, 0},
        {229, 1065, 34, 36439, true, K::None, 0},
        {229, 1065, 34, 36405, false, K::ShorterThanRecords, 36439},
        // Sizes beyond 32 bits: 4e9 records of 34 bytes.
        {227, 4000000000u, 34, 136000000227, false, K::None, 0},
        {227, 4000000000u, 34, 136000000226, false, K::ShorterThanRecords, 136000000227},
        {4294967295u, 4294967295u, 65535, 4294967295LL + 4294967295LL * 65535, true, K::None, 0},
        {4294967295u, 0, 20, 4294967294LL, true, K::ShorterThanData, 4294967295LL},
    };
    for (const auto &c : cases) {
        LAS12Header h = reference_header();
        h.OffsetToData = c.offset;
        h.NumberOfPointReturns = c.count;
        h.PointDataRecordLength = c.length;
        const LayoutProblem p = zandrel::check_layout(h, c.size, c.first);
        EXPECT_EQ(p.kind, c.kind) << c.offset << " " << c.count << " " << c.size << " " << c.first;
        if (c.kind != K::None) {
            EXPECT_EQ(p.needed, c.needed) << c.offset << " " << c.count << " " << c.size;
        }
    }
}

// ---------------------------------------------------------------- end_of_carried_bytes

// A file image: a header, then whatever the case appends.
struct Image {
    LAS12Header h = reference_header();
    Bytes bytes = Bytes(kelvane::kHeaderBytes, 0);
    void vlr(std::uint16_t length_after_header, unsigned char fill = 0x5A) {
        Bytes v(54, fill);
        v[20] = static_cast<unsigned char>(length_after_header & 0xFF);
        v[21] = static_cast<unsigned char>(length_after_header >> 8);
        v.insert(v.end(), length_after_header, fill);
        bytes.insert(bytes.end(), v.begin(), v.end());
    }
    void append(const Bytes &more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
    std::uint32_t carried(std::uint32_t offset, std::uint32_t vlrs, std::uint16_t header_size = 227,
                          int *reads = nullptr) {
        h.OffsetToData = offset;
        h.NumberOfVariableLengthRecords = vlrs;
        h.HeaderSize = header_size;
        return zandrel::end_of_carried_bytes(h, [&](std::uint32_t at, unsigned char *buf, std::size_t n) {
            if (reads) ++*reads;
            if (at > bytes.size() || bytes.size() - at < n) return false;
            std::memcpy(buf, bytes.data() + at, n);
            return true;
        });
    }
};

TEST(EndOfCarriedBytes, HeaderExtensionVlrChainAndSignature) {
    {
        Image f;
        EXPECT_EQ(f.carried(227, 0), 227u);
    }
    {
        Image f;  // zeros up to OffsetToData: padding, not carried
        f.append(Bytes(100, 0));
        EXPECT_EQ(f.carried(327, 0), 227u);
    }
    {
        Image f;
        f.vlr(10);
        f.vlr(0);
        f.vlr(300);
        EXPECT_EQ(f.carried(227 + 64 + 54 + 354, 3), 699u);
        // More room than the chain: the rest is padding.
        f.append(Bytes(50, 0xEE));
        EXPECT_EQ(f.carried(749, 3), 699u);
        // A count below the chain's length stops early.
        EXPECT_EQ(f.carried(749, 2), 345u);
    }
    {
        Image f;  // header extension, then a VLR
        f.append(Bytes(13, 0x77));
        f.vlr(6);
        EXPECT_EQ(f.carried(300, 1, 240), 300u);
        EXPECT_EQ(f.carried(300, 0, 240), 240u);
        // A header size beyond OffsetToData or below 227 is no extension.
        EXPECT_EQ(f.carried(230, 0, 240), 227u);
        EXPECT_EQ(f.carried(300, 0, 100), 227u);
    }
    {
        Image f;  // LAS 1.0 signature right behind the chain
        f.vlr(4);
        f.append(Bytes{0xCC, 0xDD});
        EXPECT_EQ(f.carried(287, 1), 287u);
        EXPECT_EQ(f.carried(286, 1), 285u);  // no room for both bytes
        f.bytes[285] = 0xDD;
        f.bytes[286] = 0xCC;
        EXPECT_EQ(f.carried(287, 1), 285u);  // the other byte order is no signature
    }
    {
        Image f;  // signature with no VLR, as libLAS writes 1.0 files
        f.append(Bytes{0xCC, 0xDD});
        EXPECT_EQ(f.carried(229, 0), 229u);
        EXPECT_EQ(f.carried(229, 1), 229u);  // a claimed VLR that does not fit
    }
}

TEST(EndOfCarriedBytes, ChainRunningPastTheDataStopsAtTheLastWholeRecord) {
    Image f;
    f.vlr(10);
    f.vlr(100);
    f.vlr(10);
    // The second VLR ends at 227 + 64 + 154 = 445; OffsetToData inside it.
    EXPECT_EQ(f.carried(400, 3), 291u);
    // OffsetToData inside the second VLR's own 54-byte header.
    EXPECT_EQ(f.carried(300, 3), 291u);
    EXPECT_EQ(f.carried(445, 3), 445u);
    // The file ends before the claimed chain: stops at the last readable one.
    Image g;
    g.vlr(10);
    EXPECT_EQ(g.carried(2000, 5), 291u);
}

TEST(EndOfCarriedBytes, HugeGarbageCountEndsAtOnce) {
    Image f;
    f.append(Bytes(1000, 0xFF));
    int reads = 0;
    EXPECT_EQ(f.carried(227, 1069128089u, 227, &reads), 227u);
    EXPECT_LE(reads, 1);
    reads = 0;
    EXPECT_EQ(f.carried(227, 0xFFFFFFFFu, 227, &reads), 227u);
    EXPECT_LE(reads, 1);
    // Room for a few zero-length records: the chain ends at OffsetToData.
    Image g;
    for (int k = 0; k < 3; ++k) g.vlr(0, 0);
    g.append(Bytes(100, 0));
    reads = 0;
    EXPECT_EQ(g.carried(227 + 3 * 54 + 20, 0xFFFFFFFFu, 227, &reads), 389u);
    EXPECT_LE(reads, 5);
}

// Records that start inside the header leave no room for anything to carry.
TEST(EndOfCarriedBytes, DataInsideTheHeaderCarriesNothing) {
    Image f;
    f.vlr(10);
    f.append(Bytes{0xCC, 0xDD});
    for (std::uint32_t offset : {0u, 100u, 226u}) {
        EXPECT_EQ(f.carried(offset, 1), 227u) << offset;
        EXPECT_EQ(f.carried(offset, 0), 227u) << offset;
    }
}

// On the real files, the bytes carried end where lasinfo.py finds the end of
// the VLR chain (the last VLR that fits before OffsetToData), plus the two
// bytes of a CC DD signature there.
TEST(EndOfCarriedBytes, RealFilesAgreeWithLasinfo) {
    const std::string data = shared_testdata();
    if (data.empty()) GTEST_SKIP() << "shared LAS test data absent";
    const std::string lasinfo = data + "/../../tools/lasinfo.py";
    if (!std::filesystem::exists(lasinfo)) GTEST_SKIP() << "lasinfo.py absent";
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(data))
        if (e.path().extension() == ".las") files.push_back(e.path().string());
    ASSERT_FALSE(files.empty());

    // One line per file: name, OffsetToData, HeaderSize, signature flag, then the start
    // and length after header of every VLR lasinfo lists.
    const std::string script =
        "import json,subprocess,sys\n"
        "out=subprocess.run([sys.executable,sys.argv[1],'--json']+sys.argv[2:],capture_output=True,check=True)\n"
        "for f in json.loads(out.stdout):\n"
        "  v=f['vlr_info']\n"
        "  print(f['file'],f['header']['offset_to_data'],f['header']['header_size'],"
        "1 if v.get('start_signature')=='ccdd' else 0,"
        "*[x for r in v['vlrs'] for x in (r['at'],r['length_after_header'])])\n";
    std::vector<std::string> argv = {"/usr/bin/env", "python3", "-c", script, lasinfo};
    argv.insert(argv.end(), files.begin(), files.end());
    const RunResult r = run(argv);
    if (r.status == 127) GTEST_SKIP() << "python3 absent";
    ASSERT_EQ(r.status, 0) << r.out;

    std::istringstream lines(r.out);
    std::string line;
    std::size_t checked = 0;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string name;
        std::uint64_t offset = 0;
        std::uint64_t header_size = 0;
        int signature = 0;
        in >> name >> offset >> header_size >> signature;
        // The chain starts behind any header extension.
        std::uint64_t expected = header_size > 227 && header_size <= offset ? header_size : 227;
        for (std::uint64_t at, length; in >> at >> length;) {
            if (at != expected || at + 54 + length > offset) break;
            expected = at + 54 + length;
        }
        if (signature && expected + 2 <= offset) expected += 2;

        const Bytes bytes = read_file(name);
        const LAS12Header h = header_of(bytes);
        const std::uint32_t end = zandrel::end_of_carried_bytes(
            h, [&](std::uint32_t at, unsigned char *buf, std::size_t n) {
                if (at > bytes.size() || bytes.size() - at < n) return false;
                std::memcpy(buf, bytes.data() + at, n);
                return true;
            });
        EXPECT_EQ(end, expected) << name;
        ++checked;
    }
    EXPECT_EQ(checked, files.size());

    // epsg4326: 377 bytes of leftover writer memory after the chain are not carried.
    const Bytes epsg = read_file(data + "/v12_f0_epsg4326.las");
    const LAS12Header h = header_of(epsg);
    EXPECT_EQ(h.OffsetToData, 853u);
    EXPECT_EQ(zandrel::end_of_carried_bytes(h,
                                            [&](std::uint32_t at, unsigned char *buf, std::size_t n) {
                                                if (at + n > epsg.size()) return false;
                                                std::memcpy(buf, epsg.data() + at, n);
                                                return true;
                                            }),
              476u);
}

}  // namespace
