// The twenty exported routines of the Kelvane LiDAR module. They print the
// module's messages on standard output; the tests and decisions live in the
// core (las_core, file_io).
#include "Kelvane_LiDAR.h"

#include "file_io.h"
#include "las_core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

using kelvane::Classification;
using kelvane::ExtensionCheck;
using kelvane::io::File;

namespace {

// A version or format byte is shown as the character of code value + 48.
int as_char(unsigned value) { return static_cast<unsigned char>(value + 48u); }

[[noreturn]] void fail_process() {
    std::fflush(stdout);
    std::exit(-1);
}

// The open that file_access reports on, kept open for a caller that reads on.
bool open_for_access(File &f, const char *filename) {
    if (f.open(filename, File::Mode::Read) != 0) {
        std::printf("Unable to open file %s in file_access()\n", filename);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

int16_t file_access(const char *filename) {
    File f;
    return open_for_access(f, filename) ? 0 : -1;
}

int16_t check_file_extension(const char *filename, const char *extension) {
    switch (kelvane::check_extension(filename, extension)) {
    case ExtensionCheck::Matches: return 0;
    case ExtensionCheck::TooShort: std::printf("\nFile name (%s) is too short\n", filename); break;
    case ExtensionCheck::NoDot:
        std::printf("\nExtension of file %s should be preceeded by a dot (.)\n", filename);
        break;
    case ExtensionCheck::Differs: std::printf("\nFile extension of %s is not .%s\n", filename, extension); break;
    }
    return -1;
}

void error_msg(int32_t i, const char *text) {
    switch (i) {
    case 1: std::printf("\nFile %s does NOT exist\n", text); break;
    case 2: std::printf("\nFile %s already exists\n", text); break;
    case 3: std::printf("\nSame file name (%s) has been specified twice\n", text); break;
    default: break;
    }
}

LASType check_las(const char *filename) {
    // One open serves the access test and the read.
    File f;
    if (!open_for_access(f, filename)) {
        error_msg(1, filename);
        return -1;
    }
    if (check_file_extension(filename, "las") < 0) return -1;

    // Only a regular file can be read again by position: a directory, FIFO
    // or device is no LAS file.
    if (!f.is_regular()) {
        std::printf("\n%s is not a regular file\n", filename);
        return -1;
    }
    unsigned char bytes[kelvane::kClassifyBytes];
    int err = 0;
    std::int64_t got = f.read(bytes, sizeof bytes, &err);
    if (got < 0) {
        std::printf("\nFailed to read %s: %s\n", filename, kelvane::io::error_text(err).c_str());
        return -1;
    }
    const Classification c = kelvane::classify(bytes, static_cast<std::size_t>(got));
    using O = Classification::Outcome;
    switch (c.outcome) {
    case O::Accepted:
    case O::OldVersionColour: return c.code;
    case O::BadSignature: std::printf("\n%s is not a valid .las file\n\n", filename); break;
    case O::BadMajorVersion: std::printf("\nCannot handle las files of version %c.x\n", as_char(c.major)); break;
    case O::BadMinorVersion:
        std::printf("\nCannot handle las files of version %c.%c\n", as_char(c.major), as_char(c.minor));
        break;
    case O::BadFormat:
        std::printf("\nPointDataFormatID in %s is %c. Only 0, 1, 2, or 3 is accepted\n", filename,
                    as_char(c.format));
        break;
    case O::BadRecordLength:
        std::printf("\nData format of %s (%c) is incompatible with Length of Data Record (%d)\n", filename,
                    as_char(c.format), static_cast<int>(c.record_length));
        break;
    case O::Truncated:
        std::printf("\n%s is too short to be a valid .las file (%lld bytes)\n", filename,
                    static_cast<long long>(got));
        break;
    }
    return -1;
}

void credits(void) {
    std::fputs("\nKelvane LiDAR Utilities", stdout);
    std::fputs("\n\nDeveloped and maintained by the Zandrel and Kelvane_LiDAR project", stdout);
    std::fputs("\nAffiliation: the Zandrel project (see README.md)", stdout);
    std::fputs("\nContact: see README.md in the Zandrel sources", stdout);
    std::fputs("\n\n** No warranty regarding script behavior is given or implied **", stdout);
    std::puts("\n** Acknowledging the author's efforts ensures script updates and availability **");
}

void update_header(const char *filename) {
    const LASType type = check_las(filename);
    if (type <= 0) fail_process();

    File f;
    if (f.open(filename, File::Mode::ReadWrite) != 0) {
        std::printf("\nCannot open binary file %s for header update\n\n", filename);
        fail_process();
    }
    unsigned char header_bytes[kelvane::kHeaderBytes];
    int err = 0;
    std::int64_t got = f.read(header_bytes, sizeof header_bytes, &err);
    if (got < 0) {
        std::printf("\nFailed to read %s: %s\n", filename, kelvane::io::error_text(err).c_str());
        fail_process();
    }
    if (got < static_cast<std::int64_t>(sizeof header_bytes)) {
        std::printf("\n%s is too short to hold a LAS header (%lld bytes, 227 needed)\n", filename,
                    static_cast<long long>(got));
        fail_process();
    }
    LAS12Header h = kelvane::decode_header(header_bytes);

    // The record size follows from the type code, which check_las gave only
    // where it equals the header's record length.
    static const std::size_t kRecordSize[9] = {0, 20, 28, 20, 28, 20, 28, 26, 34};
    const std::size_t record_size = kRecordSize[type];
    // Whole records in blocks of about 1 MiB: few reads, constant memory.
    const std::size_t block_records = (std::size_t{1} << 20) / record_size;
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[block_records * record_size]);
    if (!block) {
        std::printf("\nCannot allocate memory for storing a record of information from %s\n", filename);
        fail_process();
    }

    kelvane::PointScan scan;
    int64_t file_size = f.size(&err);
    if (file_size < 0) {
        std::printf("\nFailed to read %s: %s\n", filename, kelvane::io::error_text(err).c_str());
        fail_process();
    }
    if (static_cast<std::int64_t>(h.OffsetToData) < file_size) {
        if ((err = f.seek(h.OffsetToData)) != 0) {
            std::printf("\nFailed to read %s: %s\n", filename, kelvane::io::error_text(err).c_str());
            fail_process();
        }
        for (;;) {
            got = f.read(block.get(), block_records * record_size, &err);
            if (got < 0) {
                std::printf("\nFailed to read %s: %s\n", filename, kelvane::io::error_text(err).c_str());
                fail_process();
            }
            scan.add(block.get(), static_cast<std::size_t>(got) / record_size, record_size);
            if (static_cast<std::size_t>(got) < block_records * record_size) break;
        }
    }
    if (scan.records > UINT32_MAX) {
        std::printf("\n%s holds %llu point records, more than a LAS header can count\n", filename,
                    static_cast<unsigned long long>(scan.records));
        fail_process();
    }
    scan.apply(h);
    kelvane::encode_header(h, header_bytes);
    if ((err = f.seek(0)) != 0 || (err = f.write_all(header_bytes, sizeof header_bytes)) != 0 ||
        (err = f.close()) != 0) {
        std::printf("\nFailed to write the header of %s: %s\n", filename, kelvane::io::error_text(err).c_str());
        fail_process();
    }
    std::printf("\rHeader of file %s has been updated    ", filename);
}

}  // extern "C"

namespace {

// Fills the fields that the three header versions share; bytes 4-7 and
// 90-93, which the versions name differently, are cleared as raw bytes.
template <typename Header>
void initialize_header(Header *ph, std::uint8_t minor_version) {
    auto *raw = reinterpret_cast<unsigned char *>(ph);
    std::memcpy(ph->LASF, "LASF", 4);
    std::memset(raw + 4, 0, 4);
    ph->GUIDData1 = 0;
    ph->GUIDData2 = 0;
    ph->GUIDData3 = 0;
    ph->GUIDData4[0] = 0;
    ph->VersionMajor = 1;
    ph->VersionMinor = minor_version;
    ph->SystemIdentifier[0] = '\0';
    std::memcpy(ph->GeneratingSoftware, "Kelvane LiDAR Utilities", 24);
    std::memset(raw + 90, 0, 4);
    ph->HeaderSize = 227;
    ph->OffsetToData = 227;
    ph->NumberOfVariableLengthRecords = 0;
    ph->PointDataFormatID = 0;
    ph->PointDataRecordLength = 0;
    ph->NumberOfPointReturns = 0;
    // By index: the packed array may lie at any address, which a reference
    // to its element must not.
    for (int k = 0; k < 5; ++k) ph->NumberOfPointsByReturn[k] = 0;
    ph->XScaleFactor = ph->YScaleFactor = ph->ZScaleFactor = 1.0;
    ph->XOffset = ph->YOffset = ph->ZOffset = 0.0;
    ph->MaxX = ph->MinX = ph->MaxY = ph->MinY = ph->MaxZ = ph->MinZ = 0.0;
}

// One partitioning scheme for every sort: the middle element as pivot,
// strict comparisons, equal values exchanged. The shorter sub-range is sorted
// by recursion and the longer one by the loop, so the depth stays below
// log2(length); the sub-ranges are disjoint, so the order in which they are
// sorted does not change the result.
template <typename T>
void sort_range(T *p, std::int64_t left, std::int64_t right, std::int32_t *p_ind) {
    while (left < right) {
        const T v = p[left + (right - left) / 2];
        std::int64_t i = left, j = right;
        do {
            while (p[i] < v && i < right) ++i;
            while (v < p[j] && j > left) --j;
            if (i <= j) {
                const T p_tmp = p[i];
                p[i] = p[j];
                p[j] = p_tmp;
                const std::int32_t p_ind_tmp = p_ind[i];
                p_ind[i] = p_ind[j];
                p_ind[j] = p_ind_tmp;
                ++i;
                --j;
            }
        } while (i <= j);
        if (j - left < right - i) {
            if (left < j) sort_range(p, left, j, p_ind);
            left = i;
        } else {
            if (i < right) sort_range(p, i, right, p_ind);
            right = j;
        }
    }
}

// The depth-budgeted routines hand sub-ranges from one routine to the other,
// but both partition identically on the calling thread, so the outcome is
// that of the plain sort whatever the budget.
constexpr std::int32_t kParallelDepth = 15;

}  // namespace

extern "C" {

void initialize_header10(LAS10Header *ph) { initialize_header(ph, 0); }
void initialize_header11(LAS11Header *ph) { initialize_header(ph, 1); }
void initialize_header12(LAS12Header *ph) { initialize_header(ph, 2); }

void l_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind) { sort_range(p, left, right, p_ind); }
void l_quicksort(int32_t *p, int32_t count, int32_t *p_ind) {
    if (count > 0) l_qs(p, 0, count - 1, p_ind);
}
void d_qs(double *p, int32_t left, int32_t right, int32_t *p_ind) { sort_range(p, left, right, p_ind); }
void d_quicksort(double *p, int32_t count, int32_t *p_ind) {
    if (count > 0) d_qs(p, 0, count - 1, p_ind);
}
void l_parallel_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep) {
    (void)deep;
    sort_range(p, left, right, p_ind);
}
void l_parallel_quicksort(int32_t *p, int32_t count, int32_t *p_ind) {
    if (count > 0) l_parallel_qs(p, 0, count - 1, p_ind, kParallelDepth);
}
void d_parallel_qs(double *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep) {
    (void)deep;
    sort_range(p, left, right, p_ind);
}
void d_parallel_quicksort(double *p, int32_t count, int32_t *p_ind) {
    if (count > 0) d_parallel_qs(p, 0, count - 1, p_ind, kParallelDepth);
}

void check_numeric_argument(const char *str) {
    if (!kelvane::is_numeric_argument(str)) {
        std::printf("\nInvalid argument value (%s)\n", str);
        fail_process();
    }
}

void check_DEM(const char *str) {
    if (check_file_extension(str, "asc") < 0 && check_file_extension(str, "flt") < 0) {
        std::puts("\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)");
        fail_process();
    }
    if (check_file_extension(str, "flt") < 0) return;  // an ASCII DEM needs no companion
    const std::string header_name = kelvane::dem_header_name(str);
    if (file_access(header_name.c_str()) < 0) {
        std::puts("\nFloating point binary DEM files also require a ASCII header file ('.hdr')");
        fail_process();
    }
}

int16_t check_YN(const char *text) {
    if (std::strcmp(text, "Y") == 0 || std::strcmp(text, "N") == 0 || std::strcmp(text, "y") == 0 ||
        std::strcmp(text, "n") == 0)
        return 0;
    std::puts("\nASCII Header Flag should be either Y (y) or N (n)");
    return -1;
}

}  // extern "C"
