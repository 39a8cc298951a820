// Zandrel: merges the LAS files named in an ASCII list into one LAS file.
//
// Three passes check and prepare the merge (the list, the headers'
// consistency, the merged header); the copy then writes the merged header,
// the first file's variable-length records and every file's point records,
// in list order, into a temporary file that replaces the output only once it
// is complete. Every failure prints its message and ends the run with exit
// status -1, leaving every existing file as it was.
#include "Kelvane_LiDAR.h"

#include "file_io.h"
#include "las_core.h"
#include "merge_core.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <sys/stat.h>

using kelvane::io::CopyResult;
using kelvane::io::File;
using kelvane::io::PendingOutput;
using zandrel::NameReader;

// Process-wide values through which the passes meet.
int globalArgc = 0;
char **globalArgv = nullptr;
int _LASCount = 0;
LASType _LASType = 0;
LAS12Header *_ph12global = nullptr;

namespace {

// The copy buffer never exceeds this: larger blocks copy more slowly through
// the buffer (they no longer stay in the processor's caches) and grow the
// process. The buffer only serves where the kernel cannot copy.
constexpr std::size_t kMaxBlockSize = std::size_t{1} << 20;

PendingOutput *pending_output = nullptr;
const char *volatile pending_temp_path = nullptr;

const char *list_name() { return globalArgv[1]; }
const char *output_name() { return globalArgv[2]; }

[[noreturn]] void fail() {
    pending_temp_path = nullptr;
    if (pending_output) pending_output->abandon();
    std::fflush(stdout);
    std::exit(-1);
}

extern "C" void remove_pending_output_and_reraise(int signal_number) {
    if (const char *path = pending_temp_path) std::remove(path);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void remove_pending_output_on_interrupt() {
    std::signal(SIGINT, remove_pending_output_and_reraise);
    std::signal(SIGTERM, remove_pending_output_and_reraise);
#if defined(SIGHUP)
    std::signal(SIGHUP, remove_pending_output_and_reraise);
#endif
#if defined(SIGXFSZ)
    // Past a file size limit the write fails with EFBIG and the run cleans up.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

// Opening a FIFO for reading waits for a writer, maybe for ever, and a FIFO
// cannot be read once for each pass.
bool is_fifo(const char *name) {
#if defined(S_ISFIFO)
    struct stat st;
    return ::stat(name, &st) == 0 && S_ISFIFO(st.st_mode);
#else
    (void)name;
    return false;
#endif
}

std::FILE *open_list_or_fail(const char *failure_format) {
    if (is_fifo(list_name())) {
        std::printf("\nList file %s is not a regular file\n", list_name());
        fail();
    }
    std::FILE *list = std::fopen(list_name(), "r");
    if (!list) {
        std::printf(failure_format, list_name());
        fail();
    }
    return list;
}

void report_unreadable_list(NameReader::Status status) {
    if (status == NameReader::Status::NulByte)
        std::printf("\nList file %s holds a NUL byte: it is not a text list of names\n", list_name());
    else
        std::printf("\nFailed to read list file %s\n", list_name());
}

// Reads one of the _LASCount names that the first pass counted.
std::string next_counted_name(NameReader &reader) {
    std::string name;
    NameReader::Status status = reader.next(name);
    if (status == NameReader::Status::Name) return name;
    if (status == NameReader::Status::End)
        std::printf("\nList file %s holds fewer names than the %d it held when first read\n", list_name(),
                    _LASCount);
    else
        report_unreadable_list(status);
    fail();
}

struct Input {
    File file;
    LAS12Header header{};
    std::int64_t size = 0;
};

// Reads the 227-byte header of a listed file that is open.
void read_header_or_fail(const std::string &name, Input &in) {
    if (!in.file.is_regular()) {
        std::printf("\n%s is not a regular file\n", name.c_str());
        fail();
    }
    int err = 0;
    in.size = in.file.size(&err);
    unsigned char bytes[kelvane::kHeaderBytes];
    std::int64_t got = in.size < 0 ? -1 : in.file.read(bytes, sizeof bytes, &err);
    if (got < 0) {
        std::printf("\nFailed to read %s: %s\n", name.c_str(), kelvane::io::error_text(err).c_str());
        fail();
    }
    if (got < static_cast<std::int64_t>(sizeof bytes)) {
        std::printf("\n%s is too short to hold a LAS header (%lld bytes, 227 needed)\n", name.c_str(),
                    static_cast<long long>(got));
        fail();
    }
    in.header = kelvane::decode_header(bytes);
}

Input open_input_or_fail(const std::string &name, const char *open_failure_format) {
    Input in;
    if (in.file.open(name, File::Mode::Read) != 0) {
        std::printf(open_failure_format, name.c_str());
        fail();
    }
    read_header_or_fail(name, in);
    return in;
}

void check_layout_or_fail(const std::string &name, const Input &in, bool first) {
    const zandrel::LayoutProblem p = zandrel::check_layout(in.header, in.size, first);
    using K = zandrel::LayoutProblem::Kind;
    switch (p.kind) {
    case K::None: return;
    case K::DataInsideHeader:
        std::printf("\nOffsetToData of %s (%u) lies inside its 227-byte header\n", name.c_str(),
                    static_cast<unsigned>(in.header.OffsetToData));
        break;
    case K::ShorterThanData:
        std::printf("\n%s is shorter than its header says: its point data start at byte %u, the file holds "
                    "%lld bytes\n",
                    name.c_str(), static_cast<unsigned>(in.header.OffsetToData), static_cast<long long>(in.size));
        break;
    case K::ShorterThanRecords:
        std::printf("\n%s is shorter than its header says: %u point records of %u bytes from byte %u need "
                    "%lld bytes, the file holds %lld\n",
                    name.c_str(), static_cast<unsigned>(in.header.NumberOfPointReturns),
                    static_cast<unsigned>(in.header.PointDataRecordLength),
                    static_cast<unsigned>(in.header.OffsetToData), static_cast<long long>(p.needed),
                    static_cast<long long>(in.size));
        break;
    }
    fail();
}

void report_copy_failure(const std::string &input_name, const CopyResult &r) {
    switch (r.failure) {
    case CopyResult::Failure::None: return;
    case CopyResult::Failure::InputEnded:
        std::printf("\n%s ended before all its point records were copied: it changed during the merge\n",
                    input_name.c_str());
        break;
    case CopyResult::Failure::Read:
        std::printf("\nFailed to read %s: %s\n", input_name.c_str(), kelvane::io::error_text(r.err).c_str());
        break;
    case CopyResult::Failure::Write:
        std::printf("\nFailed to write %s: %s\n", output_name(), kelvane::io::error_text(r.err).c_str());
        break;
    }
    fail();
}

const char *mismatch_format(zandrel::Mismatch m) {
    using M = zandrel::Mismatch;
    switch (m) {
    case M::XScale: return "\nXScaleFactor in %s differs from that in previous .las files included in %s\n";
    case M::YScale: return "\nYScaleFactor in %s differs from that in previous .las files included in %s\n";
    case M::ZScale: return "\nZScaleFactor in %s differs from that in previous .las files included in %s\n";
    case M::XOffset: return "\nXOffset in %s differs from that in previous .las files included in %s\n";
    case M::YOffset: return "\nYOffset in %s differs from that in previous .las files included in %s\n";
    case M::ZOffset: return "\nZOffset in %s differs from that in previous .las files included in %s\n";
    case M::RecordLength: return "\nRecord length in %s differs from that in previous .las files included in %s\n";
    case M::None: break;
    }
    return nullptr;
}

}  // namespace

void usage() {
    std::puts("Usage:");
    std::puts("Zandrel <ASCII List> <LAS Output>\n");
    credits();
}

// First pass: every name is a LAS file that check_las accepts, all of one
// type code, and there are at least two.
void checkInput() {
    std::FILE *list = open_list_or_fail("\nCannot open input ASCII file %s for reading\n");
    NameReader reader(list);
    LASType first_type = 0;
    std::string name;
    for (;;) {
        NameReader::Status status = reader.next(name);
        if (status == NameReader::Status::End) break;
        if (status != NameReader::Status::Name) {
            report_unreadable_list(status);
            fail();
        }
        _LASType = check_las(name.c_str());
        if (_LASType <= 0) {
            std::printf("%s (listed in %s) is not a valid LAS file\n", name.c_str(), list_name());
            fail();
        }
        if (++_LASCount == 1) {
            first_type = _LASType;
        } else if (_LASType != first_type) {
            std::printf("\nType of file %s differs from that of previous files in %s\n", name.c_str(), list_name());
            fail();
        }
    }
    if (_LASCount == 0) {
        std::printf("\nFile %s contains no valid .las files\n", list_name());
        fail();
    }
    if (_LASCount == 1) {
        std::printf("\nAt least two .las files required in %s\n", list_name());
        fail();
    }
    std::fclose(list);
}

// Second pass: every file carries the first file's scale factors, offsets
// and record length, so that its records mean the same behind one header.
void check_scale_offset_recordlength_consistency() {
    std::FILE *list = open_list_or_fail("\nFailed to open file %s in check_scale_and_offset_consistency()\n");
    NameReader reader(list);
    const char *open_failure = "\nFailed to open %s for reading in check_output_filesize()\n";
    const LAS12Header reference = open_input_or_fail(next_counted_name(reader), open_failure).header;
    for (int i = 1; i < _LASCount; ++i) {
        const std::string name = next_counted_name(reader);
        const LAS12Header h = open_input_or_fail(name, open_failure).header;
        if (const char *format = mismatch_format(zandrel::first_mismatch(reference, h))) {
            std::printf(format, name.c_str(), list_name());
            fail();
        }
    }
    std::fclose(list);
}

// Third pass: the merged header, the point limit and the size estimate. The
// inputs are also checked to hold what their headers announce, and to be
// other files than the output.
void calc_output_filesize_and_attributes() {
    std::FILE *list = open_list_or_fail("Failed to open file %s in check_output_filesize()\n");
    NameReader reader(list);
    const kelvane::io::FileId output_id = kelvane::io::id_of(output_name());
    if (output_id == kelvane::io::id_of(list_name())) {
        std::printf("\nOutput file %s is the list file %s; it would be overwritten\n", output_name(), list_name());
        fail();
    }
    zandrel::HeaderMerge merge;
    for (int i = 0; i < _LASCount; ++i) {
        const std::string name = next_counted_name(reader);
        const Input in = open_input_or_fail(name, "Failed to open %s for reading in check_output_filesize()\n");
        if (in.file.id() == output_id) {
            std::printf("\nOutput file %s is the input file %s; an input is never overwritten\n", output_name(),
                        name.c_str());
            fail();
        }
        check_layout_or_fail(name, in, i == 0);
        if (!merge.add(in.header)) {
            std::puts("\nERROR: The number of points in the merged .las file exceeds 2,147,483,647,");
            std::fputs("the 32-bit limit, and cannot be stored in the file's header.", stdout);
            fail();
        }
    }
    static LAS12Header merged;
    merged = merge.merged();
    _ph12global = &merged;
    std::printf("%llu points in all input .las files\n", static_cast<unsigned long long>(merge.total_points()));
    std::fclose(list);
    if (merge.estimated_size() >= zandrel::kSizeWarning)
        std::printf("\nWARNING: The output .las file will be %.3fMB, which excceds the 32-bit limit (2,147MB)\n\n",
                    merge.estimated_size() / 1000000.0);
}

namespace {

// The copy buffer: as large as granted up to kMaxBlockSize, halving on refusal.
std::unique_ptr<unsigned char[]> allocate_block(std::size_t *block_size) {
    for (std::size_t size = kMaxBlockSize; size >= _ph12global->PointDataRecordLength && size > 0; size /= 2) {
        if (unsigned char *p = new (std::nothrow) unsigned char[size]) {
            *block_size = size;
            return std::unique_ptr<unsigned char[]>(p);
        }
    }
    std::puts("Failed to allocate memory for the copy buffer");
    fail();
}

// Copies the first file's variable-length records (and what else belongs
// with them) from byte 227, and leaves the rest up to OffsetToData as zeros.
void copy_carried_bytes(const std::string &name, Input &in, File &out, unsigned char *block,
                        std::size_t block_size, bool *kernel_copy) {
    File &file = in.file;
    const std::uint32_t end = zandrel::end_of_carried_bytes(
        in.header, [&file](std::uint32_t position, unsigned char *buf, std::size_t n) {
            int err = 0;
            return file.seek(position) == 0 && file.read(buf, n, &err) == static_cast<std::int64_t>(n);
        });
    if (int err = file.seek(227)) report_copy_failure(name, CopyResult{0, CopyResult::Failure::Read, err});
    report_copy_failure(name, kelvane::io::copy_bytes(file, out, end - 227, block, block_size, kernel_copy));
    // Padding and leftover writer memory become zeros. Only the bytes written
    // are cleared: the block's other pages are never touched when the kernel
    // copies, which keeps them out of the process.
    const std::uint32_t gap = in.header.OffsetToData - end;
    std::memset(block, 0, gap < block_size ? gap : block_size);
    for (std::uint32_t left = gap; left > 0;) {
        const std::size_t n = left < block_size ? left : block_size;
        if (int err = out.write_all(block, n))
            report_copy_failure(name, CopyResult{0, CopyResult::Failure::Write, err});
        left -= static_cast<std::uint32_t>(n);
    }
}

// Writes the output: the merged header, the first file's variable-length
// records, then
// every file's point records in list order. The inputs' headers are merged
// once more on the way; if they no longer give the header written, an input
// changed since it was checked and the output is not kept.
void write_merged_output() {
    const std::string output = output_name();
    if (kelvane::io::kind_of(output) == kelvane::io::Kind::Directory) {
        std::printf("\nCannot open binary file %s for writing\n", output.c_str());
        fail();
    }
    PendingOutput out;
    // Through a symbolic link the linked file is replaced, not the link.
    if (out.create(kelvane::io::replaced_file(output)) != 0) {
        std::printf("\nCannot open binary file %s for writing\n", output.c_str());
        fail();
    }
    pending_output = &out;
    pending_temp_path = out.temp_path();

    unsigned char header_bytes[kelvane::kHeaderBytes];
    kelvane::encode_header(*_ph12global, header_bytes);
    if (int err = out.file().write_all(header_bytes, sizeof header_bytes)) {
        std::printf("\nFailed to write %s: %s\n", output.c_str(), kelvane::io::error_text(err).c_str());
        fail();
    }

    std::FILE *list = open_list_or_fail("\nCannot open intput ASCII file %s for reading\n");
    NameReader reader(list);
    std::size_t block_size = 0;
    std::unique_ptr<unsigned char[]> block = allocate_block(&block_size);
    // Whole records a block, as the block copy has always moved them.
    block_size -= block_size % _ph12global->PointDataRecordLength;
    bool kernel_copy = true;
    zandrel::HeaderMerge recheck;

    for (int t = 1; t <= _LASCount; ++t) {
        const std::string name = next_counted_name(reader);
        Input in;
        if (in.file.open(name, File::Mode::Read) != 0) {
            std::printf("Failed to open file %s\n", name.c_str());
            fail();
        }
        std::printf("\r%s (%d / %d)%20s", name.c_str(), t, _LASCount, " ");
        std::fflush(stdout);
        read_header_or_fail(name, in);
        check_layout_or_fail(name, in, t == 1);
        if (!recheck.add(in.header) || in.header.PointDataRecordLength != _ph12global->PointDataRecordLength) {
            std::printf("\nInput files changed during the merge (%s); %s was not written\n", name.c_str(),
                        output.c_str());
            fail();
        }
        if (t == 1) copy_carried_bytes(name, in, out.file(), block.get(), block_size, &kernel_copy);
        if (int err = in.file.seek(in.header.OffsetToData)) {
            report_copy_failure(name, CopyResult{0, CopyResult::Failure::Read, err});
        }
        report_copy_failure(name, kelvane::io::copy_bytes(in.file, out.file(), zandrel::record_bytes(in.header),
                                                          block.get(), block_size, &kernel_copy));
    }
    std::fclose(list);

    unsigned char recheck_bytes[kelvane::kHeaderBytes];
    kelvane::encode_header(recheck.merged(), recheck_bytes);
    if (std::memcmp(recheck_bytes, header_bytes, sizeof header_bytes) != 0) {
        std::printf("\nInput files changed during the merge; %s was not written\n", output.c_str());
        fail();
    }
    pending_temp_path = nullptr;
    pending_output = nullptr;
    if (int err = out.commit()) {
        std::printf("\nFailed to write %s: %s\n", output.c_str(), kelvane::io::error_text(err).c_str());
        fail();
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::puts("\nMissing, or excessive number of, arguments");
        usage();
        return -1;
    }
    globalArgc = argc;
    globalArgv = argv;
    remove_pending_output_on_interrupt();
    credits();
    checkInput();
    if (check_file_extension(output_name(), "las") < 0) {
        std::puts("\nOutput file should have .las extension");
        fail();
    }
    check_scale_offset_recordlength_consistency();
    calc_output_filesize_and_attributes();
    std::printf("\n%d files to be merged into %s\n", _LASCount, output_name());
    write_merged_output();
    std::fflush(stdout);
    return 0;
}
