// lashdr: prints the public header of LAS files, one field a line, and the
// number of whole point records that each file really holds.
#include "Kelvane_LiDAR.h"
#include "las_core.h"

#include <cstdio>
#include <fstream>
#include <iostream>

int main(int argc, char **argv) {
    if (argc < 2) {
        std::cerr << "usage: lashdr FILE.las...\n";
        return 2;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary | std::ios::ate);
        const long long size = in ? static_cast<long long>(in.tellg()) : -1;
        unsigned char bytes[kelvane::kHeaderBytes];
        in.seekg(0);
        if (!in || size < static_cast<long long>(sizeof bytes) ||
            !in.read(reinterpret_cast<char *>(bytes), sizeof bytes)) {
            std::cerr << "lashdr: cannot read a LAS header from " << argv[i] << "\n";
            status = 1;
            continue;
        }
        const LAS12Header h = kelvane::decode_header(bytes);
        const long long records =
            h.PointDataRecordLength && size > h.OffsetToData ? (size - h.OffsetToData) / h.PointDataRecordLength : 0;
        std::printf("%s (%lld bytes)\n", argv[i], size);
        std::printf("  version               %u.%u\n", h.VersionMajor, h.VersionMinor);
        std::printf("  point format          %u, %u bytes a record\n", h.PointDataFormatID, h.PointDataRecordLength);
        std::printf("  offset to data        %u, %u variable-length records\n", h.OffsetToData,
                    h.NumberOfVariableLengthRecords);
        std::printf("  point records         %u in the header, %lld in the file\n", h.NumberOfPointReturns, records);
        std::printf("  points by return      %u %u %u %u %u\n", h.NumberOfPointsByReturn[0],
                    h.NumberOfPointsByReturn[1], h.NumberOfPointsByReturn[2], h.NumberOfPointsByReturn[3],
                    h.NumberOfPointsByReturn[4]);
        std::printf("  scale x y z           %.17g %.17g %.17g\n", h.XScaleFactor, h.YScaleFactor, h.ZScaleFactor);
        std::printf("  offset x y z          %.17g %.17g %.17g\n", h.XOffset, h.YOffset, h.ZOffset);
        std::printf("  min x y z             %.17g %.17g %.17g\n", h.MinX, h.MinY, h.MinZ);
        std::printf("  max x y z             %.17g %.17g %.17g\n", h.MaxX, h.MaxY, h.MaxZ);
    }
    return status;
}
