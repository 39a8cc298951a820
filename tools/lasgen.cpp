// lasgen: writes a synthetic LAS 1.0, 1.1 or 1.2 file of point format 0 to 3
// with pseudo-random points from a seed, and a header that tells the truth
// about them (counts by return, extents). Used by the demo, the tests and the
// benchmarks.
//
//   lasgen --out FILE [--version 1.0|1.1|1.2] [--format 0-3] [--points N]
//          [--scale X,Y,Z] [--offset X,Y,Z] [--vlr-bytes N] [--signature]
//          [--seed S] [--sparse]
//
// --vlr-bytes N adds one variable-length record with N payload bytes;
// --signature adds the LAS 1.0 point data start signature CC DD behind the
// VLRs; --sparse writes only the last record, leaving the others as a hole of
// zero bytes (for inputs of many gigabytes).
#include "Kelvane_LiDAR.h"
#include "las_core.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string out;
    int minor = 2;
    int format = 3;
    std::uint64_t points = 1000;
    double scale[3] = {0.01, 0.01, 0.01};
    double offset[3] = {0.0, 0.0, 0.0};
    unsigned vlr_bytes = 0;
    bool signature = false;
    std::uint64_t seed = 1;
    bool sparse = false;
};

[[noreturn]] void usage_error(const std::string &why) {
    std::cerr << "lasgen: " << why << "\n"
              << "usage: lasgen --out FILE [--version 1.0|1.1|1.2] [--format 0-3] [--points N]\n"
                 "              [--scale X,Y,Z] [--offset X,Y,Z] [--vlr-bytes N] [--signature]\n"
                 "              [--seed S] [--sparse]\n";
    std::exit(2);
}

void parse_triple(const char *text, double out[3]) {
    char *end = nullptr;
    for (int k = 0; k < 3; ++k) {
        out[k] = std::strtod(text, &end);
        if (end == text || (k < 2 && *end != ',') || (k == 2 && *end != '\0')) usage_error("bad triple: " + std::string(text));
        text = end + 1;
    }
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) usage_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--out") o.out = value();
        else if (a == "--version") {
            std::string v = value();
            if (v == "1.0") o.minor = 0;
            else if (v == "1.1") o.minor = 1;
            else if (v == "1.2") o.minor = 2;
            else usage_error("version must be 1.0, 1.1 or 1.2");
        } else if (a == "--format") o.format = std::atoi(value());
        else if (a == "--points") o.points = std::strtoull(value(), nullptr, 10);
        else if (a == "--scale") parse_triple(value(), o.scale);
        else if (a == "--offset") parse_triple(value(), o.offset);
        else if (a == "--vlr-bytes") o.vlr_bytes = static_cast<unsigned>(std::strtoul(value(), nullptr, 10));
        else if (a == "--signature") o.signature = true;
        else if (a == "--seed") o.seed = std::strtoull(value(), nullptr, 10);
        else if (a == "--sparse") o.sparse = true;
        else usage_error("unknown option " + a);
    }
    if (o.out.empty()) usage_error("--out is required");
    if (o.format < 0 || o.format > 3) usage_error("format must be 0 to 3");
    if (o.vlr_bytes > 65535) usage_error("--vlr-bytes is at most 65535");
    if (o.points > 0xFFFFFFFFull) usage_error("--points is at most 4294967295");
    return o;
}

// splitmix64: small, fast and the same on every platform.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
};

using kelvane::store_f64;
using kelvane::store_u16;
using kelvane::store_u32;

// One record: raw X and Y within 0 to 10,000,000, Z within 0 to 500,000,
// return number 1 to 5 of a pulse of up to 5 returns.
void make_record(Random &rnd, int format, std::uint64_t index, unsigned char *r) {
    std::memset(r, 0, kelvane::record_length_of_format(static_cast<unsigned>(format)));
    store_u32(r + 0, rnd.below(10000000));
    store_u32(r + 4, rnd.below(10000000));
    store_u32(r + 8, rnd.below(500000));
    store_u16(r + 12, static_cast<std::uint16_t>(rnd.below(65536)));
    unsigned returns = 1 + rnd.below(5);
    unsigned number = 1 + rnd.below(returns);
    r[14] = static_cast<unsigned char>(number | (returns << 3) | (rnd.below(4) << 6));
    r[15] = static_cast<unsigned char>(rnd.below(32));
    r[16] = static_cast<unsigned char>(rnd.below(181) - 90);
    r[17] = static_cast<unsigned char>(rnd.below(256));
    store_u16(r + 18, static_cast<std::uint16_t>(rnd.below(65536)));
    std::size_t colour = 20;
    if (format == 1 || format == 3) {
        store_f64(r + 20, 1000.0 + static_cast<double>(index) * 1e-5);
        colour = 28;
    }
    if (format == 2 || format == 3)
        for (int c = 0; c < 3; ++c) store_u16(r + colour + 2 * c, static_cast<std::uint16_t>(rnd.below(65536)));
}

}  // namespace

int main(int argc, char **argv) {
    const Options o = parse(argc, argv);
    const std::size_t record_length = kelvane::record_length_of_format(static_cast<unsigned>(o.format));

    std::vector<unsigned char> vlr;
    if (o.vlr_bytes > 0) {
        unsigned char vlr_header[54] = {};
        std::memcpy(vlr_header + 2, "LASF_Projection", 15);
        store_u16(vlr_header + 18, 34737);  // GeoTIFF ASCII parameters
        store_u16(vlr_header + 20, static_cast<std::uint16_t>(o.vlr_bytes));
        std::memcpy(vlr_header + 22, "lasgen test record", 18);
        vlr.assign(vlr_header, vlr_header + sizeof vlr_header);
        Random fill{o.seed ^ 0x5EEDull};
        for (unsigned k = 0; k < o.vlr_bytes; ++k) vlr.push_back(static_cast<unsigned char>(' ' + fill.below(95)));
    }
    const std::uint32_t offset_to_data =
        static_cast<std::uint32_t>(227 + vlr.size() + (o.signature ? 2 : 0));

    std::ofstream out(o.out, std::ios::binary | std::ios::trunc);
    if (!out) {
        std::cerr << "lasgen: cannot create " << o.out << "\n";
        return 1;
    }
    out.seekp(offset_to_data);

    kelvane::PointScan scan;
    Random rnd{o.seed};
    std::vector<unsigned char> block;
    const std::uint64_t block_records = (1u << 20) / record_length;
    if (o.sparse && o.points > 0) {
        // Records of zero bytes in a hole, then one real last record.
        std::vector<unsigned char> zero(record_length, 0);
        scan.add(zero.data(), 1, record_length);
        scan.records = o.points - 1;
        block.resize(record_length);
        make_record(rnd, o.format, o.points - 1, block.data());
        scan.add(block.data(), 1, record_length);
        out.seekp(static_cast<std::streamoff>(offset_to_data + (o.points - 1) * record_length));
        out.write(reinterpret_cast<const char *>(block.data()), static_cast<std::streamsize>(record_length));
    } else {
        for (std::uint64_t done = 0; done < o.points;) {
            const std::uint64_t n = std::min(block_records, o.points - done);
            block.resize(n * record_length);
            for (std::uint64_t k = 0; k < n; ++k) make_record(rnd, o.format, done + k, block.data() + k * record_length);
            scan.add(block.data(), n, record_length);
            out.write(reinterpret_cast<const char *>(block.data()), static_cast<std::streamsize>(block.size()));
            done += n;
        }
    }

    LAS12Header h;
    std::memset(&h, 0, sizeof h);
    initialize_header12(&h);
    h.VersionMinor = static_cast<std::uint8_t>(o.minor);
    std::memcpy(h.SystemIdentifier, "lasgen", 7);
    h.FileCreationDay = 1;
    h.FileCreationYear = 2026;
    h.OffsetToData = offset_to_data;
    h.NumberOfVariableLengthRecords = vlr.empty() ? 0 : 1;
    h.PointDataFormatID = static_cast<std::uint8_t>(o.format);
    h.PointDataRecordLength = static_cast<std::uint16_t>(record_length);
    h.XScaleFactor = o.scale[0];
    h.YScaleFactor = o.scale[1];
    h.ZScaleFactor = o.scale[2];
    h.XOffset = o.offset[0];
    h.YOffset = o.offset[1];
    h.ZOffset = o.offset[2];
    scan.apply(h);
    if (o.points == 0) h.MaxX = h.MinX = h.MaxY = h.MinY = h.MaxZ = h.MinZ = 0.0;  // as real writers leave them

    unsigned char head[kelvane::kHeaderBytes];
    kelvane::encode_header(h, head);
    out.seekp(0);
    out.write(reinterpret_cast<const char *>(head), sizeof head);
    out.write(reinterpret_cast<const char *>(vlr.data()), static_cast<std::streamsize>(vlr.size()));
    if (o.signature) out.write("\xCC\xDD", 2);
    out.close();
    if (!out) {
        std::cerr << "lasgen: failed to write " << o.out << "\n";
        return 1;
    }
    return 0;
}
