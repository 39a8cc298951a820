// The module's computing core: header decode and encode, and the record scan
// of a header rewrite.
#include "test_support.h"

#include <cmath>
#include <filesystem>
#include <random>

namespace {

using namespace testing_support;
using kelvane::kHeaderBytes;

Bytes round_trip(const Bytes &bytes) {
    const LAS12Header h = kelvane::decode_header(bytes.data());
    Bytes back(kHeaderBytes, 0xA5);
    kelvane::encode_header(h, back.data());
    return back;
}

TEST(HeaderCodec, RealFilesFirstBytesRoundTrip) {
    const std::string data = shared_testdata();
    if (data.empty()) GTEST_SKIP() << "shared LAS test data absent";
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(data)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".las" && ext != ".laz") continue;
        Bytes bytes = read_file(entry.path().string());
        ASSERT_GE(bytes.size(), kHeaderBytes) << entry.path();
        bytes.resize(kHeaderBytes);
        EXPECT_EQ(round_trip(bytes), bytes) << entry.path();
        ++files;
    }
    EXPECT_GT(files, 0);
}

// Every bit pattern travels, NaN payloads and signalling NaNs included.
TEST(HeaderCodec, ArbitraryBytesRoundTrip) {
    std::mt19937 rng(20261211);
    for (int k = 0; k < 64; ++k) {
        Bytes bytes(kHeaderBytes);
        for (auto &b : bytes) b = static_cast<unsigned char>(rng());
        EXPECT_EQ(round_trip(bytes), bytes) << "seed round " << k;
    }
    EXPECT_EQ(round_trip(Bytes(kHeaderBytes, 0xFF)), Bytes(kHeaderBytes, 0xFF));
    // A signalling NaN (quiet bit clear) in every double.
    Bytes snan(kHeaderBytes, 0);
    for (std::size_t at = 131; at + 8 <= kHeaderBytes; at += 8) {
        const unsigned char pattern[8] = {0x01, 0, 0, 0, 0, 0, 0xF0, 0x7F};
        std::memcpy(snan.data() + at, pattern, 8);
    }
    EXPECT_EQ(round_trip(snan), snan);
}

TEST(HeaderCodec, FieldsSitAtTheirByteOffsetsLittleEndian) {
    Bytes b(kHeaderBytes, 0);
    std::memcpy(b.data(), "LASF", 4);
    b[94] = 0xE3; b[95] = 0x00;                                    // HeaderSize 227
    b[96] = 0x04; b[97] = 0x03; b[98] = 0x02; b[99] = 0x01;        // OffsetToData
    b[100] = 0x0D; b[101] = 0x0C; b[102] = 0x0B; b[103] = 0x0A;    // VLR count
    b[104] = 0x03;
    b[105] = 0x22; b[106] = 0x11;                                  // record length, unaligned
    b[107] = 0x78; b[108] = 0x56; b[109] = 0x34; b[110] = 0x12;    // point count, unaligned
    b[111] = 0x01; b[127] = 0x05; b[130] = 0x80;                   // by-return [0] and [4]
    const double scale = 0.001, min_z = -12.5;
    std::memcpy(b.data() + 131, &scale, 8);
    std::memcpy(b.data() + 219, &min_z, 8);

    const LAS12Header h = kelvane::decode_header(b.data());
    EXPECT_EQ(h.HeaderSize, 227u);
    EXPECT_EQ(h.OffsetToData, 0x01020304u);
    EXPECT_EQ(h.NumberOfVariableLengthRecords, 0x0A0B0C0Du);
    EXPECT_EQ(h.PointDataFormatID, 3u);
    EXPECT_EQ(h.PointDataRecordLength, 0x1122u);
    EXPECT_EQ(h.NumberOfPointReturns, 0x12345678u);
    EXPECT_EQ(h.NumberOfPointsByReturn[0], 1u);
    EXPECT_EQ(h.NumberOfPointsByReturn[4], 0x80000005u);
    EXPECT_EQ(h.XScaleFactor, scale);
    EXPECT_EQ(h.MinZ, min_z);
    EXPECT_EQ(h.MaxZ, 0.0);

    // The core's unaligned loads agree with the decoded record.
    EXPECT_EQ(kelvane::load_u16(b.data() + 105), h.PointDataRecordLength);
    EXPECT_EQ(kelvane::load_u32(b.data() + 107), h.NumberOfPointReturns);
}

// A LAS 1.0 header keeps one 32-bit reserved field in bytes 4-7; read into
// the 1.2 record it shows as FileSourceID and GlobalEncoding and is written
// back unchanged.
TEST(HeaderCodec, Las10ReservedBytesTravelUnchanged) {
    Bytes b(kHeaderBytes, 0);
    std::memcpy(b.data(), "LASF", 4);
    b[4] = 0x01; b[5] = 0x02; b[6] = 0x03; b[7] = 0x04;
    b[24] = 1;
    b[90] = 0x9A; b[91] = 0x00; b[92] = 0xD8; b[93] = 0x07;  // flight day 154 of 2008
    const LAS12Header h = kelvane::decode_header(b.data());
    EXPECT_EQ(h.FileSourceID, 0x0201u);
    EXPECT_EQ(h.GlobalEncoding, 0x0403u);
    EXPECT_EQ(h.FileCreationDay, 154u);
    EXPECT_EQ(h.FileCreationYear, 2008u);
    LAS10Header h10;
    std::memcpy(&h10, &h, sizeof h10);
    EXPECT_EQ(h10.Reserved, 0x04030201u);
    EXPECT_EQ(h10.FlightDateJulian, 154u);
    EXPECT_EQ(h10.Year, 2008u);
    EXPECT_EQ(round_trip(b), b);
}

// ---------------------------------------------------------------- PointScan

// A record of the given length with raw X, Y, Z and the bitfield byte set,
// every other byte noise.
void put_record(Bytes &out, std::size_t length, std::int32_t x, std::int32_t y, std::int32_t z,
                unsigned char bitfield, std::mt19937 &rng) {
    Bytes r(length);
    for (auto &b : r) b = static_cast<unsigned char>(rng());
    const std::int32_t xyz[3] = {x, y, z};
    std::memcpy(r.data(), xyz, 12);
    r[14] = bitfield;
    out.insert(out.end(), r.begin(), r.end());
}

TEST(PointScan, ReturnNumberIsTheLowThreeBits) {
    const struct {
        unsigned char bitfield;
        int counted_as;  // 1-5, or 0 for none
    } cases[] = {
        {0x01, 1}, {0x81, 1}, {0x02, 2}, {0x03, 3}, {0x04, 4}, {0x05, 5},
        {0xF9, 1}, {0x8D, 5}, {0x0E, 0}, {0x06, 0}, {0x00, 0}, {0x07, 0}, {0x80, 0}, {0xFF, 0},
    };
    std::mt19937 rng(7);
    for (const auto &c : cases) {
        Bytes records;
        put_record(records, 20, 1, 2, 3, c.bitfield, rng);
        kelvane::PointScan scan;
        scan.add(records.data(), 1, 20);
        EXPECT_EQ(scan.records, 1u);
        for (int k = 0; k < 5; ++k)
            EXPECT_EQ(scan.by_return[k], c.counted_as == k + 1 ? 1u : 0u)
                << "bitfield 0x" << std::hex << int(c.bitfield) << " slot " << k;
    }
}

TEST(PointScan, ExtentsFromRawValuesThroughScalesAndOffsets) {
    for (std::size_t length : {20u, 26u, 28u, 34u}) {
        std::mt19937 rng(static_cast<unsigned>(length));
        Bytes records;
        put_record(records, length, 100, -7, 5, 1, rng);
        put_record(records, length, -50, 2000000000, -3, 2, rng);
        put_record(records, length, 300, 0, 40, 1, rng);
        // Scanned in two pieces, as the blocks of a rewrite come.
        kelvane::PointScan scan;
        scan.add(records.data(), 1, length);
        scan.add(records.data() + length, 2, length);
        LAS12Header h{};
        h.XScaleFactor = 0.5; h.YScaleFactor = 0.01; h.ZScaleFactor = 2.0;
        h.XOffset = 1000.0; h.YOffset = -5.0; h.ZOffset = 0.25;
        h.NumberOfPointReturns = 77;
        h.NumberOfPointsByReturn[4] = 9;
        scan.apply(h);
        EXPECT_EQ(h.NumberOfPointReturns, 3u) << length;
        const std::uint32_t by_return[5] = {2, 1, 0, 0, 0};
        for (int k = 0; k < 5; ++k) EXPECT_EQ(h.NumberOfPointsByReturn[k], by_return[k]) << length;
        EXPECT_EQ(h.MaxX, 1150.0);
        EXPECT_EQ(h.MinX, 975.0);
        EXPECT_EQ(h.MaxY, -5.0 + 0.01 * 2000000000.0);
        EXPECT_EQ(h.MinY, -5.0 + 0.01 * -7.0);
        EXPECT_EQ(h.MaxZ, 80.25);
        EXPECT_EQ(h.MinZ, -5.75);
    }
}

// A negative scale factor turns the box over; the extents are not reordered.
TEST(PointScan, NegativeScalesAreNotReordered) {
    std::mt19937 rng(3);
    Bytes records;
    put_record(records, 34, 10, 10, 10, 1, rng);
    put_record(records, 34, 30, 20, -10, 1, rng);
    kelvane::PointScan scan;
    scan.add(records.data(), 2, 34);
    LAS12Header h{};
    h.XScaleFactor = -0.5; h.YScaleFactor = 1.0; h.ZScaleFactor = -1.0;
    h.XOffset = 100.0;
    scan.apply(h);
    EXPECT_EQ(h.MaxX, 85.0);
    EXPECT_EQ(h.MinX, 95.0);
    EXPECT_LT(h.MaxX, h.MinX);
    EXPECT_EQ(h.MaxY, 20.0);
    EXPECT_EQ(h.MinY, 10.0);
    EXPECT_EQ(h.MaxZ, -10.0);
    EXPECT_EQ(h.MinZ, 10.0);
}

TEST(PointScan, RawExtremesOfThe32BitRange) {
    std::mt19937 rng(5);
    Bytes records;
    put_record(records, 20, INT32_MIN, INT32_MAX, 0, 1, rng);
    put_record(records, 20, INT32_MAX, INT32_MIN, 0, 1, rng);
    kelvane::PointScan scan;
    scan.add(records.data(), 2, 20);
    LAS12Header h{};
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 1.0;
    scan.apply(h);
    EXPECT_EQ(h.MaxX, 2147483647.0);
    EXPECT_EQ(h.MinX, -2147483648.0);
    EXPECT_EQ(h.MaxY, 2147483647.0);
    EXPECT_EQ(h.MinY, -2147483648.0);
}

// With no record, the extents come from the starting values, and every
// minimum lies above its maximum for positive scales.
TEST(PointScan, EmptyScanWritesTheStartingValues) {
    kelvane::PointScan scan;
    LAS12Header h{};
    h.XScaleFactor = 0.01; h.YScaleFactor = 0.5; h.ZScaleFactor = 0.001;
    h.XOffset = 5.0; h.YOffset = -1.0; h.ZOffset = 100.0;
    h.NumberOfPointReturns = 12;
    for (auto &n : h.NumberOfPointsByReturn) n = 3;
    h.MaxX = h.MinX = 42.0;
    scan.apply(h);
    EXPECT_EQ(h.NumberOfPointReturns, 0u);
    for (auto n : h.NumberOfPointsByReturn) EXPECT_EQ(n, 0u);
    EXPECT_EQ(h.MaxX, 5.0 + 0.01 * -2147483646.0);
    EXPECT_EQ(h.MinX, 5.0 + 0.01 * 2147483646.0);
    EXPECT_EQ(h.MaxY, -1.0 + 0.5 * -2147483646.0);
    EXPECT_EQ(h.MinY, -1.0 + 0.5 * 2147483646.0);
    EXPECT_EQ(h.MaxZ, 100.0 + 0.001 * -10000000.0);
    EXPECT_EQ(h.MinZ, 100.0 + 0.001 * 10000000.0);
    EXPECT_GT(h.MinX, h.MaxX);
    EXPECT_GT(h.MinZ, h.MaxZ);
}

}  // namespace
