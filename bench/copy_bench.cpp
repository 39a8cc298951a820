// Copies one file into a new one with the merge's copy routine, either
// through the kernel (copy_file_range) or through a user buffer of a given
// size, so that run.sh can compare the two paths and the block sizes.
//
//   copy_bench IN OUT kernel|buffer BLOCK_MIB
#include "file_io.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

using kelvane::io::File;

int main(int argc, char **argv) {
    if (argc != 5 || (std::strcmp(argv[3], "kernel") != 0 && std::strcmp(argv[3], "buffer") != 0)) {
        std::fputs("usage: copy_bench IN OUT kernel|buffer BLOCK_MIB\n", stderr);
        return 2;
    }
    File in, out;
    if (in.open(argv[1], File::Mode::Read) != 0 || out.open(argv[2], File::Mode::CreateNew) != 0) {
        std::perror("copy_bench: open");
        return 1;
    }
    int err = 0;
    const std::int64_t size = in.size(&err);
    const std::size_t block_size = std::strtoul(argv[4], nullptr, 10) << 20;
    std::unique_ptr<unsigned char[]> block(new unsigned char[block_size]);
    bool kernel_copy = std::strcmp(argv[3], "kernel") == 0;
    const kelvane::io::CopyResult r = kelvane::io::copy_bytes(in, out, size, block.get(), block_size, &kernel_copy);
    if (r.failure != kelvane::io::CopyResult::Failure::None || out.close() != 0) {
        std::fputs("copy_bench: copy failed\n", stderr);
        return 1;
    }
    return 0;
}
