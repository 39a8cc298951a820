// The header rewrite on any bytes. The core that update_header rests on
// (classify, decode_header, PointScan) takes every input; the routine itself
// runs, on a copy, only on files it accepts, since it ends the process on
// refusal. Its rewritten header must count the whole records behind
// OffsetToData and keep the other bytes of the file.
#include "Kelvane_LiDAR.h"
#include "fuzz_support.h"
#include "las_core.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const kelvane::Classification c = kelvane::classify(data, size);
    if (size < kelvane::kHeaderBytes) return 0;
    const LAS12Header h = kelvane::decode_header(data);
    unsigned char round_trip[kelvane::kHeaderBytes];
    kelvane::encode_header(h, round_trip);
    if (std::memcmp(round_trip, data, kelvane::kHeaderBytes) != 0) std::abort();

    // The scan of whole records from OffsetToData, as the rewrite makes it.
    const std::size_t record_length = kelvane::record_length_of_format(c.format);
    kelvane::PointScan scan;
    if (record_length > 0 && h.OffsetToData < size)
        scan.add(data + h.OffsetToData, (size - h.OffsetToData) / record_length, record_length);
    LAS12Header expected = h;
    scan.apply(expected);

    if (c.outcome != kelvane::Classification::Outcome::Accepted) return 0;
    const std::string path = fuzzing::write_scratch_file("x.las", data, size);
    {
        fuzzing::MutedStdout mute;
        update_header(path.c_str());
    }
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fuzzing::remove_scratch_file(path);
    unsigned char expected_bytes[kelvane::kHeaderBytes];
    kelvane::encode_header(expected, expected_bytes);
    if (after.size() != size || std::memcmp(after.data(), expected_bytes, kelvane::kHeaderBytes) != 0 ||
        std::memcmp(after.data() + kelvane::kHeaderBytes, data + kelvane::kHeaderBytes,
                    size - kelvane::kHeaderBytes) != 0)
        std::abort();
    return 0;
}
