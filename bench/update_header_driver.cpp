// Rewrites the header of the LAS file named on the command line from its
// point records, as the module's update_header does, so that run.sh can time
// the scan against a plain sequential read of the same file.
#include "Kelvane_LiDAR.h"

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fputs("usage: update_header_driver FILE.las\n", stderr);
        return 2;
    }
    update_header(argv[1]);
    std::puts("");
    return 0;
}
