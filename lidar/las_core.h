// The computing core of the LiDAR module: header decode and encode, the LAS
// classification, the record scan of a header rewrite, and the argument
// tests. It returns results and never prints or ends the process.
#ifndef KELVANE_LAS_CORE_H
#define KELVANE_LAS_CORE_H

#include "Kelvane_LiDAR.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvane {

constexpr std::size_t kHeaderBytes = 227;
// check_las reads bytes 0 to 106: up to and including the record length.
constexpr std::size_t kClassifyBytes = 107;

// Little-endian field access at any byte offset.
inline std::uint16_t load_u16(const unsigned char *p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t load_u32(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t load_i32(const unsigned char *p) { return static_cast<std::int32_t>(load_u32(p)); }
inline void store_u16(unsigned char *p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void store_u32(unsigned char *p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}
void store_f64(unsigned char *p, double d);

// The 227 bytes of a header and the record, field by field.
LAS12Header decode_header(const unsigned char *bytes);
void encode_header(const LAS12Header &h, unsigned char *bytes);

// The record length that a point format requires, or 0 outside formats 0-3.
std::uint16_t record_length_of_format(unsigned format);

struct Classification {
    enum class Outcome {
        Accepted,         // code 1 to 8
        OldVersionColour, // 1.0 or 1.1 with format 2 or 3: code 0
        BadSignature,
        BadMajorVersion,
        BadMinorVersion,
        BadFormat,
        BadRecordLength,
        Truncated,        // the bytes end before the value to be tested
    };
    Outcome outcome = Outcome::Truncated;
    LASType code = -1;
    unsigned char major = 0, minor = 0, format = 0;
    std::uint16_t record_length = 0;
};

// Classifies the first n bytes of a file by the LAS type table.
Classification classify(const unsigned char *bytes, std::size_t n);

enum class ExtensionCheck { Matches, TooShort, NoDot, Differs };
ExtensionCheck check_extension(std::string_view name, std::string_view extension);

// Counts and raw extents of point records, as a header rewrite needs them.
struct PointScan {
    std::uint64_t records = 0;
    std::uint32_t by_return[5] = {0, 0, 0, 0, 0};
    std::int32_t min[3] = {0, 0, 0};
    std::int32_t max[3] = {0, 0, 0};

    // Takes whole records of record_length bytes (at least 15).
    void add(const unsigned char *records_bytes, std::size_t count, std::size_t record_length);
    // Writes the counts and the real-world extents into h. With no record the
    // extents are those of the module's traditional starting values.
    void apply(LAS12Header &h) const;
};

// Plain decimal number: digits, at most one dot and one dash, not a lone dot or dash.
bool is_numeric_argument(std::string_view s);
// The name of a floating-point DEM's companion header: "dem.flt" gives "dem.hdr".
std::string dem_header_name(std::string_view flt_name);

}  // namespace kelvane

#endif
