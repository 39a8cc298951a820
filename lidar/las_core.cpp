#include "las_core.h"

#include <cstring>

namespace kelvane {

namespace {

std::uint64_t load_u64(const unsigned char *p) {
    return static_cast<std::uint64_t>(load_u32(p)) | (static_cast<std::uint64_t>(load_u32(p + 4)) << 32);
}
double load_f64(const unsigned char *p) {
    std::uint64_t bits = load_u64(p);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

static_assert(sizeof(double) == 8, "IEEE-754 binary64 doubles");

// Raw values from which the extents of a file without records are written:
// two inside the 32-bit limits for X and Y, ten million for Z.
constexpr std::int32_t kEmptyMaxXY = -2147483646, kEmptyMinXY = 2147483646;
constexpr std::int32_t kEmptyMaxZ = -10000000, kEmptyMinZ = 10000000;

}  // namespace

void store_f64(unsigned char *p, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    for (int k = 0; k < 8; ++k) p[k] = static_cast<unsigned char>(bits >> (8 * k));
}

LAS12Header decode_header(const unsigned char *b) {
    LAS12Header h;
    std::memcpy(h.LASF, b + 0, 4);
    h.FileSourceID = load_u16(b + 4);
    h.GlobalEncoding = load_u16(b + 6);
    h.GUIDData1 = load_u32(b + 8);
    h.GUIDData2 = load_u16(b + 12);
    h.GUIDData3 = load_u16(b + 14);
    std::memcpy(h.GUIDData4, b + 16, 8);
    h.VersionMajor = b[24];
    h.VersionMinor = b[25];
    std::memcpy(h.SystemIdentifier, b + 26, 32);
    std::memcpy(h.GeneratingSoftware, b + 58, 32);
    h.FileCreationDay = load_u16(b + 90);
    h.FileCreationYear = load_u16(b + 92);
    h.HeaderSize = load_u16(b + 94);
    h.OffsetToData = load_u32(b + 96);
    h.NumberOfVariableLengthRecords = load_u32(b + 100);
    h.PointDataFormatID = b[104];
    h.PointDataRecordLength = load_u16(b + 105);
    h.NumberOfPointReturns = load_u32(b + 107);
    for (int k = 0; k < 5; ++k) h.NumberOfPointsByReturn[k] = load_u32(b + 111 + 4 * k);
    h.XScaleFactor = load_f64(b + 131);
    h.YScaleFactor = load_f64(b + 139);
    h.ZScaleFactor = load_f64(b + 147);
    h.XOffset = load_f64(b + 155);
    h.YOffset = load_f64(b + 163);
    h.ZOffset = load_f64(b + 171);
    h.MaxX = load_f64(b + 179);
    h.MinX = load_f64(b + 187);
    h.MaxY = load_f64(b + 195);
    h.MinY = load_f64(b + 203);
    h.MaxZ = load_f64(b + 211);
    h.MinZ = load_f64(b + 219);
    return h;
}

void encode_header(const LAS12Header &h, unsigned char *b) {
    std::memcpy(b + 0, h.LASF, 4);
    store_u16(b + 4, h.FileSourceID);
    store_u16(b + 6, h.GlobalEncoding);
    store_u32(b + 8, h.GUIDData1);
    store_u16(b + 12, h.GUIDData2);
    store_u16(b + 14, h.GUIDData3);
    std::memcpy(b + 16, h.GUIDData4, 8);
    b[24] = h.VersionMajor;
    b[25] = h.VersionMinor;
    std::memcpy(b + 26, h.SystemIdentifier, 32);
    std::memcpy(b + 58, h.GeneratingSoftware, 32);
    store_u16(b + 90, h.FileCreationDay);
    store_u16(b + 92, h.FileCreationYear);
    store_u16(b + 94, h.HeaderSize);
    store_u32(b + 96, h.OffsetToData);
    store_u32(b + 100, h.NumberOfVariableLengthRecords);
    b[104] = h.PointDataFormatID;
    store_u16(b + 105, h.PointDataRecordLength);
    store_u32(b + 107, h.NumberOfPointReturns);
    for (int k = 0; k < 5; ++k) store_u32(b + 111 + 4 * k, h.NumberOfPointsByReturn[k]);
    store_f64(b + 131, h.XScaleFactor);
    store_f64(b + 139, h.YScaleFactor);
    store_f64(b + 147, h.ZScaleFactor);
    store_f64(b + 155, h.XOffset);
    store_f64(b + 163, h.YOffset);
    store_f64(b + 171, h.ZOffset);
    store_f64(b + 179, h.MaxX);
    store_f64(b + 187, h.MinX);
    store_f64(b + 195, h.MaxY);
    store_f64(b + 203, h.MinY);
    store_f64(b + 211, h.MaxZ);
    store_f64(b + 219, h.MinZ);
}

std::uint16_t record_length_of_format(unsigned format) {
    switch (format) {
    case 0: return sizeof(LAS12fm0);
    case 1: return sizeof(LAS12fm1);
    case 2: return sizeof(LAS12fm2);
    case 3: return sizeof(LAS12fm3);
    default: return 0;
    }
}

Classification classify(const unsigned char *b, std::size_t n) {
    using O = Classification::Outcome;
    Classification c;
    if (n < 4) return c;
    if (std::memcmp(b, "LASF", 4) != 0) {
        c.outcome = O::BadSignature;
        return c;
    }
    if (n < 25) return c;
    c.major = b[24];
    if (c.major != 1) {
        c.outcome = O::BadMajorVersion;
        return c;
    }
    if (n < 26) return c;
    c.minor = b[25];
    if (c.minor > 2) {
        c.outcome = O::BadMinorVersion;
        return c;
    }
    if (n < 105) return c;
    c.format = b[104];
    if (c.format > 3) {
        c.outcome = O::BadFormat;
        return c;
    }
    if (n < kClassifyBytes) return c;
    c.record_length = load_u16(b + 105);
    if (c.minor < 2 && c.format >= 2) {
        c.outcome = O::OldVersionColour;
        c.code = 0;
        return c;
    }
    if (c.record_length != record_length_of_format(c.format)) {
        c.outcome = O::BadRecordLength;
        return c;
    }
    c.outcome = O::Accepted;
    // 1.0: 1-2, 1.1: 3-4, 1.2: 5-8.
    c.code = static_cast<LASType>(c.minor * 2 + c.format + 1);
    return c;
}

ExtensionCheck check_extension(std::string_view name, std::string_view extension) {
    if (name.size() <= 4) return ExtensionCheck::TooShort;
    if (name[name.size() - 4] != '.') return ExtensionCheck::NoDot;
    return name.substr(name.size() - 3) == extension ? ExtensionCheck::Matches : ExtensionCheck::Differs;
}

void PointScan::add(const unsigned char *p, std::size_t count, std::size_t record_length) {
    if (count == 0) return;
    if (records == 0) {
        for (int a = 0; a < 3; ++a) min[a] = max[a] = load_i32(p + 4 * a);
    }
    // Two sets of extents, for even and odd records, halve the chains of
    // dependent comparisons; a count for every value of the three
    // return-number bits leaves the loop without a branch the data decide.
    std::int32_t lo[2][3], hi[2][3];
    for (int s = 0; s < 2; ++s) {
        for (int a = 0; a < 3; ++a) {
            lo[s][a] = min[a];
            hi[s][a] = max[a];
        }
    }
    std::uint32_t by_bits[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const auto take = [&](const unsigned char *q, int s) {
        for (int a = 0; a < 3; ++a) {
            const std::int32_t v = load_i32(q + 4 * a);
            hi[s][a] = v > hi[s][a] ? v : hi[s][a];
            lo[s][a] = v < lo[s][a] ? v : lo[s][a];
        }
        ++by_bits[q[14] & 7u];
    };
    std::size_t r = 0;
    for (; r + 1 < count; r += 2, p += 2 * record_length) {
        take(p, 0);
        take(p + record_length, 1);
    }
    if (r < count) take(p, 0);
    for (int a = 0; a < 3; ++a) {
        min[a] = lo[0][a] < lo[1][a] ? lo[0][a] : lo[1][a];
        max[a] = hi[0][a] > hi[1][a] ? hi[0][a] : hi[1][a];
    }
    for (int k = 0; k < 5; ++k) by_return[k] += by_bits[k + 1];
    records += count;
}

void PointScan::apply(LAS12Header &h) const {
    std::int32_t lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        lo[a] = records ? min[a] : (a < 2 ? kEmptyMinXY : kEmptyMinZ);
        hi[a] = records ? max[a] : (a < 2 ? kEmptyMaxXY : kEmptyMaxZ);
    }
    h.NumberOfPointReturns = static_cast<std::uint32_t>(records);
    for (int k = 0; k < 5; ++k) h.NumberOfPointsByReturn[k] = by_return[k];
    h.MaxX = h.XOffset + h.XScaleFactor * static_cast<double>(hi[0]);
    h.MinX = h.XOffset + h.XScaleFactor * static_cast<double>(lo[0]);
    h.MaxY = h.YOffset + h.YScaleFactor * static_cast<double>(hi[1]);
    h.MinY = h.YOffset + h.YScaleFactor * static_cast<double>(lo[1]);
    h.MaxZ = h.ZOffset + h.ZScaleFactor * static_cast<double>(hi[2]);
    h.MinZ = h.ZOffset + h.ZScaleFactor * static_cast<double>(lo[2]);
}

bool is_numeric_argument(std::string_view s) {
    std::size_t dots = 0, dashes = 0;
    for (unsigned char ch : s) {
        if (ch == '.')
            ++dots;
        else if (ch == '-')
            ++dashes;
        else if (ch < '0' || ch > '9')
            return false;
    }
    if (dots > 1 || dashes > 1) return false;
    if (s.size() == 1 && (dots == 1 || dashes == 1)) return false;
    return true;
}

std::string dem_header_name(std::string_view flt_name) {
    std::string name(flt_name.substr(0, flt_name.size() >= 4 ? flt_name.size() - 4 : 0));
    name += ".hdr";
    return name;
}

}  // namespace kelvane
