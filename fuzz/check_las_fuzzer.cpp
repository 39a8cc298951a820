// check_las on any bytes: a type code from -1 to 8, and it agrees with the
// classification of the same bytes.
#include "Kelvane_LiDAR.h"
#include "fuzz_support.h"
#include "las_core.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string path = fuzzing::write_scratch_file("x.las", data, size);
    LASType type;
    {
        fuzzing::MutedStdout mute;
        type = check_las(path.c_str());
    }
    fuzzing::remove_scratch_file(path);
    const kelvane::Classification c =
        kelvane::classify(data, size < kelvane::kClassifyBytes ? size : kelvane::kClassifyBytes);
    if (type < -1 || type > 8 || type != c.code) std::abort();
    return 0;
}
