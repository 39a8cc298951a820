// End-to-end runs of the built Zandrel on small fixtures: what it prints,
// its exit status and the bytes of the file it writes.
#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

using namespace testing_support;

namespace {

constexpr int kFailed = 255;  // exit(-1) as the parent sees it
const std::string k20Blanks(20, ' ');

RunResult merge(const ScratchDir &dir, const std::string &list = "list.txt", const std::string &out = "out.las") {
    return run({zandrel_exe(), list, out}, dir.path().string());
}

// Runs Zandrel through the shell, after shell commands such as umask or ulimit.
RunResult merge_after(const ScratchDir &dir, const std::string &setup, const std::string &list = "list.txt",
                      const std::string &out = "out.las") {
    return run({"/bin/sh", "-c", setup + "; exec \"$0\" \"$@\"", zandrel_exe(), list, out}, dir.path().string());
}

void put(const ScratchDir &dir, const std::string &name, const LasFile &f) { write_file(dir / name, f.bytes()); }

std::string progress(const std::vector<std::string> &names) {
    std::string s;
    for (std::size_t t = 1; t <= names.size(); ++t)
        s += "\r" + names[t - 1] + " (" + std::to_string(t) + " / " + std::to_string(names.size()) + ")" + k20Blanks;
    return s;
}

std::string success_out(std::uint64_t total, const std::vector<std::string> &names,
                        const std::string &out = "out.las") {
    return banner() + std::to_string(total) + " points in all input .las files\n\n" + std::to_string(names.size()) +
           " files to be merged into " + out + "\n" + progress(names);
}

testing::AssertionResult same_bytes(const Bytes &got, const Bytes &want) {
    const std::size_t n = std::min(got.size(), want.size());
    for (std::size_t i = 0; i < n; ++i)
        if (got[i] != want[i])
            return testing::AssertionFailure() << "first difference at byte " << i << " (got " << int(got[i])
                                               << ", want " << int(want[i]) << ")";
    if (got.size() != want.size())
        return testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
    return testing::AssertionSuccess();
}

// Temporary outputs left in a folder.
std::vector<std::string> leftovers(const ScratchDir &dir) {
    std::vector<std::string> found;
    for (const auto &e : fs::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind(".zandrel-", 0) == 0) found.push_back(e.path().filename().string());
    return found;
}

// A variable-length record: 54-byte header, then its payload.
Bytes vlr(std::uint16_t record_id, std::size_t payload_bytes, unsigned char fill) {
    Bytes v(54, 0);
    std::memcpy(v.data() + 2, "LASF_Projection", 15);
    v[18] = static_cast<unsigned char>(record_id);
    v[19] = static_cast<unsigned char>(record_id >> 8);
    v[20] = static_cast<unsigned char>(payload_bytes);
    v[21] = static_cast<unsigned char>(payload_bytes >> 8);
    std::memcpy(v.data() + 22, "test record", 11);
    for (std::size_t k = 0; k < payload_bytes; ++k) v.push_back(static_cast<unsigned char>(fill + k));
    return v;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

LasFile las(int minor, int format, std::uint32_t points, unsigned seed, Bytes gap = {}) {
    LasRecipe s;
    s.minor = minor;
    s.format = format;
    s.points = points;
    s.seed = seed;
    s.gap = std::move(gap);
    return make_las(s);
}

void set_box(LAS12Header &h, double min_x, double max_x, double min_y, double max_y, double min_z, double max_z) {
    h.MinX = min_x, h.MaxX = max_x, h.MinY = min_y, h.MaxY = max_y, h.MinZ = min_z, h.MaxZ = max_z;
}

// Header fields that the merged header takes from the first file alone.
void mark_identity(LAS12Header &h, unsigned k) {
    h.FileSourceID = static_cast<std::uint16_t>(100 + k);
    h.GUIDData1 = 0xA0000000u + k;
    h.GUIDData4[7] = static_cast<std::uint8_t>(k);
    std::snprintf(h.SystemIdentifier, sizeof h.SystemIdentifier, "system %u", k);
    std::snprintf(h.GeneratingSoftware, sizeof h.GeneratingSoftware, "software %u", k);
    h.FileCreationDay = static_cast<std::uint16_t>(10 + k);
    h.FileCreationYear = static_cast<std::uint16_t>(2000 + k);
}

Bytes encoded(const LAS12Header &h) {
    Bytes b(kelvane::kHeaderBytes);
    kelvane::encode_header(h, b.data());
    return b;
}

// A FIFO that tells whether another process opened it: a writer blocked in
// open() gets through only when a reader comes.
class FifoWatch {
public:
    explicit FifoWatch(std::string path) : path_(std::move(path)) {
        if (mkfifo(path_.c_str(), 0644) != 0) throw std::runtime_error("mkfifo failed");
        thread_ = std::thread([this] {
            int fd = ::open(path_.c_str(), O_WRONLY);
            if (!releasing_) opened_ = true;
            if (fd >= 0) ::close(fd);
        });
    }
    ~FifoWatch() { release(); }
    // After the run: was the FIFO opened?
    bool was_opened() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const bool opened = opened_;
        release();
        return opened;
    }

private:
    void release() {
        if (!thread_.joinable()) return;
        releasing_ = true;
        int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        thread_.join();
        if (fd >= 0) ::close(fd);
    }
    std::string path_;
    std::atomic<bool> releasing_{false}, opened_{false};
    std::thread thread_;
};

// Two consistent 1.2 format-3 files a.las and b.las, and list.txt naming them.
void two_inputs(const ScratchDir &dir) {
    put(dir, "a.las", las(2, 3, 5, 1));
    put(dir, "b.las", las(2, 3, 7, 2));
    write_text(dir / "list.txt", "a.las\nb.las\n");
}

// ---------------------------------------------------------------- command line

TEST(MergeCommandLine, WrongArgumentCountPrintsTheUsageAndThenTheBanner) {
    const std::string expected = "\nMissing, or excessive number of, arguments\nUsage:\n"
                                 "Zandrel <ASCII List> <LAS Output>\n\n" +
                                 banner();
    const std::vector<std::vector<std::string>> cases = {
        {}, {"list.txt"}, {"list.txt", "out.las", "extra.las"}};
    for (const auto &extra : cases) {
        SCOPED_TRACE(extra.size());
        ScratchDir dir;
        two_inputs(dir);
        std::vector<std::string> argv{zandrel_exe()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        RunResult r = run(argv, dir.path().string());
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, expected);
        EXPECT_FALSE(fs::exists(dir / "out.las"));
    }
}

TEST(MergeCommandLine, OutputNameIsCheckedAfterTheList) {
    struct Case {
        std::string out, reason;
    };
    const std::vector<Case> cases = {
        {"out.txt", "\nFile extension of out.txt is not .las\n"},
        {"out.LAS", "\nFile extension of out.LAS is not .las\n"},
        {"outlas", "\nExtension of file outlas should be preceeded by a dot (.)\n"},
        {".las", "\nFile name (.las) is too short\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.out);
        ScratchDir dir;
        two_inputs(dir);
        RunResult r = merge(dir, "list.txt", c.out);
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, banner() + c.reason + "\nOutput file should have .las extension\n");
        EXPECT_FALSE(fs::exists(dir / c.out));
        EXPECT_TRUE(leftovers(dir).empty());
        // A list that is refused is the only failure reported.
        r = merge(dir, "missing.txt", c.out);
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, banner() + "\nCannot open input ASCII file missing.txt for reading\n");
    }
}

// ---------------------------------------------------------------- the list

TEST(MergeList, RefusedListsAndListedFiles) {
    struct Case {
        const char *what;
        std::optional<std::string> list;  // none: no list file
        std::string message;
    };
    const std::string L = "list.txt";
    const std::vector<Case> cases = {
        {"no list", std::nullopt, "\nCannot open input ASCII file list.txt for reading\n"},
        {"empty list", "", "\nFile list.txt contains no valid .las files\n"},
        {"blanks only", " \n\t  \n\n \r\n", "\nFile list.txt contains no valid .las files\n"},
        {"one name", "a.las\n", "\nAt least two .las files required in list.txt\n"},
        {"a NUL byte", std::string("a.las\nb\0c.las\n", 14), "\nList file list.txt holds a NUL byte: it is not a text list of names\n"},
        {"format differs", "a.las\nb1.las\n", "\nType of file b1.las differs from that of previous files in list.txt\n"},
        {"version differs", "a.las\nv11.las\n",
         "\nType of file v11.las differs from that of previous files in list.txt\n"},
        {"missing file", "a.las\ngone.las\n",
         "Unable to open file gone.las in file_access()\n\nFile gone.las does NOT exist\n"
         "gone.las (listed in list.txt) is not a valid LAS file\n"},
        {"missing file, wrong extension", "a.las\ngone.txt\n",
         "Unable to open file gone.txt in file_access()\n\nFile gone.txt does NOT exist\n"
         "gone.txt (listed in list.txt) is not a valid LAS file\n"},
        {"wrong extension", "a.las\na.txt\n",
         "\nFile extension of a.txt is not .las\na.txt (listed in list.txt) is not a valid LAS file\n"},
        {"no signature", "a.las\nnotlas.las\n",
         "\nnotlas.las is not a valid .las file\n\nnotlas.las (listed in list.txt) is not a valid LAS file\n"},
        {"version 1.3", "v13.las\na.las\n",
         "\nCannot handle las files of version 1.3\nv13.las (listed in list.txt) is not a valid LAS file\n"},
        {"1.0 with format 2 is refused silently", "a.las\nold.las\n",
         "old.las (listed in list.txt) is not a valid LAS file\n"},
        {"record length off its format", "a.las\nlen.las\n",
         "\nData format of len.las (3) is incompatible with Length of Data Record (36)\n"
         "len.las (listed in list.txt) is not a valid LAS file\n"},
        {"too short to classify", "a.las\nshort.las\n",
         "\nshort.las is too short to be a valid .las file (50 bytes)\n"
         "short.las (listed in list.txt) is not a valid LAS file\n"},
        {"one byte short of the record length", "a.las\nb106.las\n",
         "\nb106.las is too short to be a valid .las file (106 bytes)\n"
         "b106.las (listed in list.txt) is not a valid LAS file\n"},
        {"an empty file", "a.las\nzero.las\n",
         "\nzero.las is too short to be a valid .las file (0 bytes)\n"
         "zero.las (listed in list.txt) is not a valid LAS file\n"},
        {"classified, but no whole header", "a.las\nb107.las\n",
         "\nb107.las is too short to hold a LAS header (107 bytes, 227 needed)\n"},
        {"a folder", "a.las\nfolder.las\n",
         "\nfolder.las is not a regular file\nfolder.las (listed in list.txt) is not a valid LAS file\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        put(dir, "a.las", las(2, 3, 3, 1));
        put(dir, "a.txt", las(2, 3, 3, 1));
        put(dir, "b1.las", las(2, 1, 3, 2));
        put(dir, "v11.las", las(1, 0, 3, 3));
        write_text(dir / "notlas.las", std::string(300, 'x'));
        LasFile v13 = las(2, 0, 3, 4);
        v13.header.VersionMinor = 3;
        put(dir, "v13.las", v13);
        put(dir, "old.las", las(0, 2, 3, 5));
        LasFile len = las(2, 3, 3, 6);
        len.header.PointDataRecordLength = 36;
        put(dir, "len.las", len);
        Bytes short_file = las(2, 3, 0, 7).bytes();
        short_file.resize(50);
        write_file(dir / "short.las", short_file);
        for (std::size_t n : {106, 107}) {
            short_file = las(2, 3, 0, 7).bytes();
            short_file.resize(n);
            write_file(dir / (n == 106 ? "b106.las" : "b107.las"), short_file);
        }
        write_file(dir / "zero.las", {});
        fs::create_directory(dir / "folder.las");
        if (c.list) write_text(dir / L, *c.list);

        RunResult r = merge(dir);
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, banner() + c.message);
        EXPECT_FALSE(fs::exists(dir / "out.las"));
    }
}

TEST(MergeList, NamesAreSeparatedByAnyWhiteSpaceAndTheLastNeedsNoLineEnd) {
    ScratchDir dir;
    LasFile a = las(2, 0, 4, 1), b = las(2, 0, 6, 2);
    put(dir, "a.las", a);
    put(dir, "b.las", b);
    write_text(dir / "list.txt", "  a.las\t\tb.las \r\n\n a.las");
    RunResult r = merge(dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, success_out(14, {"a.las", "b.las", "a.las"}));
    Bytes out = read_file(dir / "out.las");
    EXPECT_TRUE(same_bytes(Bytes(out.begin() + 227, out.end()), cat({a.records, b.records, a.records})));
}

TEST(MergeList, NamesAreTakenFromTheWorkingFolderAndPrintedAsWritten) {
    ScratchDir dir;
    fs::create_directory(dir / "lists");
    LasFile a = las(1, 0, 4, 1), b = las(1, 0, 6, 2);
    put(dir, "a.las", a);
    put(dir, "p%d%s.las", b);
    // A file of the same name beside the list is not the one listed.
    put(dir, "lists/a.las", las(1, 0, 9, 3));
    write_text(dir / "lists/list.txt", "a.las\np%d%s.las\n");
    RunResult r = merge(dir, "lists/list.txt");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, success_out(10, {"a.las", "p%d%s.las"}));
    Bytes out = read_file(dir / "out.las");
    EXPECT_TRUE(same_bytes(Bytes(out.begin() + 227, out.end()), cat({a.records, b.records})));
}

TEST(MergeList, RefusalOfTheThirdOfFiveLeavesTheRestUnopened) {
    ScratchDir dir;
    put(dir, "a.las", las(2, 3, 3, 1));
    put(dir, "b.las", las(2, 3, 3, 2));
    FifoWatch fourth(dir / "d.las"), fifth(dir / "e.las");
    write_text(dir / "list.txt", "a.las\nb.las\nc.las\nd.las\ne.las\n");
    RunResult r = merge(dir);
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, banner() + "Unable to open file c.las in file_access()\n\nFile c.las does NOT exist\n"
                                "c.las (listed in list.txt) is not a valid LAS file\n");
    EXPECT_FALSE(fourth.was_opened());
    EXPECT_FALSE(fifth.was_opened());
}

TEST(MergeList, TheFifoWatchSeesAnOpening) {
    // The detector of the test above works: a listed FIFO is examined, and refused.
    ScratchDir dir;
    put(dir, "a.las", las(2, 3, 3, 1));
    FifoWatch second(dir / "f.las");
    write_text(dir / "list.txt", "a.las\nf.las\n");
    RunResult r = merge(dir);
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, banner() + "\nf.las is not a regular file\nf.las (listed in list.txt) is not a valid LAS file\n");
    EXPECT_TRUE(second.was_opened());
}

// ---------------------------------------------------------------- consistency

TEST(MergeConsistency, EachDifferingFieldIsNamedWithTheFileAndTheList) {
    struct Case {
        const char *field;
        double LAS12Header::*member;
    };
    const std::vector<Case> cases = {
        {"XScaleFactor", &LAS12Header::XScaleFactor}, {"YScaleFactor", &LAS12Header::YScaleFactor},
        {"ZScaleFactor", &LAS12Header::ZScaleFactor}, {"XOffset", &LAS12Header::XOffset},
        {"YOffset", &LAS12Header::YOffset},           {"ZOffset", &LAS12Header::ZOffset},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        ScratchDir dir;
        put(dir, "a.las", las(2, 1, 3, 1));
        put(dir, "b.las", las(2, 1, 3, 2));
        LasFile third = las(2, 1, 3, 3);
        third.header.*c.member += 0.5;
        // The fields after this one differ too: only the first is reported.
        for (const Case &later : cases)
            if (&later > &c) third.header.*later.member = 7.0;
        put(dir, "c.las", third);
        write_text(dir / "list.txt", "a.las\nb.las\nc.las\n");
        RunResult r = merge(dir);
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, banner() + "\n" + c.field +
                             " in c.las differs from that in previous .las files included in list.txt\n");
        EXPECT_FALSE(fs::exists(dir / "out.las"));
    }
}

TEST(MergeConsistency, NanInTheFirstZScaleRefusesTheSecondWhateverItHolds) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double second : {0.01, nan}) {
        SCOPED_TRACE(second);
        ScratchDir dir;
        LasFile a = las(2, 0, 3, 1), b = las(2, 0, 3, 2);
        a.header.ZScaleFactor = nan;
        b.header.ZScaleFactor = second;
        put(dir, "a.las", a);
        put(dir, "b.las", b);
        write_text(dir / "list.txt", "a.las\nb.las\n");
        RunResult r = merge(dir);
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out,
                  banner() + "\nZScaleFactor in b.las differs from that in previous .las files included in list.txt\n");
    }
}

TEST(MergeConsistency, SignedZeroOffsetsAndUnequalAxesAreAccepted) {
    ScratchDir dir;
    LasFile a = las(1, 1, 4, 1), b = las(1, 1, 5, 2);
    a.header.XOffset = 0.0, a.header.YOffset = 0.0, a.header.ZOffset = 300.5;
    b.header.XOffset = -0.0, b.header.YOffset = -0.0, b.header.ZOffset = 300.5;
    a.header.XScaleFactor = b.header.XScaleFactor = 0.001;
    put(dir, "a.las", a);
    put(dir, "b.las", b);
    write_text(dir / "list.txt", "a.las\nb.las\n");
    RunResult r = merge(dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, success_out(9, {"a.las", "b.las"}));
    EXPECT_EQ(std::signbit(header_of(read_file(dir / "out.las")).XOffset), false);
}

// ---------------------------------------------------------------- output bytes

TEST(MergeOutput, HeaderGapAndRecordsForEveryVersionAndFormat) {
    const std::vector<std::pair<int, int>> kinds = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {2, 2}, {2, 3}};
    for (auto [minor, format] : kinds) {
        SCOPED_TRACE("1." + std::to_string(minor) + " format " + std::to_string(format));
        ScratchDir dir;
        // The first carries two VLRs and writer leftovers before its points;
        // the second has a VLR and padding of its own; the third none.
        const Bytes first_vlrs = cat({vlr(34735, 16, 'a'), vlr(2112, 5, 'k')});
        LasFile a = las(minor, format, 6, 1, cat({first_vlrs, Bytes(13, 0xEE)}));
        a.header.NumberOfVariableLengthRecords = 2;
        LasFile b = las(minor, format, 4, 2, cat({vlr(34736, 8, 'q'), Bytes(3, 0x77)}));
        b.header.NumberOfVariableLengthRecords = 1;
        LasFile c = las(minor, format, 5, 3);
        LasFile *files[] = {&a, &b, &c};
        for (unsigned k = 0; k < 3; ++k) mark_identity(files[k]->header, k);
        // b widens the box low in X and Z and high in Y; c lies inside the box.
        set_box(a.header, 10, 20, 10, 20, 10, 20);
        set_box(b.header, 5, 15, 12, 30, -4, 18);
        set_box(c.header, 11, 19, 11, 19, 11, 19);
        const std::uint32_t by_return[3][5] = {
            {4294967000u, 1, 2, 0, 3}, {1000, 0, 1, 1, 2}, {0, 2, 0, 3, 0}};
        for (unsigned k = 0; k < 3; ++k) std::copy_n(by_return[k], 5, files[k]->header.NumberOfPointsByReturn);
        put(dir, "a.las", a);
        put(dir, "b.las", b);
        put(dir, "c.las", c);
        write_text(dir / "list.txt", "a.las\nb.las\nc.las\n");

        RunResult r = merge(dir);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.out, success_out(15, {"a.las", "b.las", "c.las"}));

        LAS12Header want = a.header;
        want.NumberOfPointReturns = 15;
        const std::uint32_t sums[5] = {704, 3, 3, 4, 5};  // the first wraps past 2^32
        std::copy_n(sums, 5, want.NumberOfPointsByReturn);
        set_box(want, 5, 20, 10, 30, -4, 20);
        const Bytes out = read_file(dir / "out.las");
        EXPECT_TRUE(same_bytes(out, cat({encoded(want), first_vlrs, Bytes(13, 0), a.records, b.records, c.records})));
    }
}

TEST(MergeOutput, BytesBetweenHeaderAndPointsComeFromTheFirstFileOrAreZeros) {
    struct Case {
        const char *what;
        Bytes gap;               // the first file's bytes 227 to OffsetToData
        std::uint32_t vlr_count;
        std::uint16_t header_size;
        Bytes carried;           // what the output holds there
    };
    const Bytes v1 = vlr(34735, 40, '0'), v2 = vlr(34737, 3, 'A');
    const Bytes cc_dd = {0xCC, 0xDD};
    const std::vector<Case> cases = {
        {"points right behind the header", {}, 0, 227, {}},
        {"padding only", Bytes(40, 0x5A), 0, 227, Bytes(40, 0)},
        {"VLR-like bytes that no count announces", v1, 0, 227, Bytes(v1.size(), 0)},
        {"two VLRs", cat({v1, v2}), 2, 227, cat({v1, v2})},
        {"VLR, signature, leftovers", cat({v1, cc_dd, Bytes(9, 0x31)}), 1, 227, cat({v1, cc_dd, Bytes(9, 0)})},
        {"signature without VLR", cc_dd, 0, 227, cc_dd},
        {"a second VLR cut short", cat({v1, Bytes(v2.begin(), v2.begin() + 30)}), 2, 227,
         cat({v1, Bytes(30, 0)})},
        {"a count larger than the chain", cat({v1, Bytes(60, 0x44)}), 5, 227, cat({v1, Bytes(60, 0)})},
        {"header extension, then a VLR", cat({Bytes(13, 0x6B), v2}), 1, 240, cat({Bytes(13, 0x6B), v2})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        LasFile a = las(2, 2, 3, 1, c.gap);
        a.header.NumberOfVariableLengthRecords = c.vlr_count;
        a.header.HeaderSize = c.header_size;
        LasFile b = las(2, 2, 2, 2, cat({vlr(1, 20, 'z'), cc_dd}));
        b.header.NumberOfVariableLengthRecords = 1;
        put(dir, "a.las", a);
        put(dir, "b.las", b);
        write_text(dir / "list.txt", "a.las\nb.las\n");
        RunResult r = merge(dir);
        ASSERT_EQ(r.status, 0);
        const Bytes out = read_file(dir / "out.las");
        const LAS12Header h = header_of(out);
        EXPECT_EQ(h.NumberOfVariableLengthRecords, c.vlr_count);
        EXPECT_EQ(h.OffsetToData, a.header.OffsetToData);
        EXPECT_EQ(h.HeaderSize, c.header_size);
        EXPECT_TRUE(same_bytes(Bytes(out.begin() + 227, out.end()), cat({c.carried, a.records, b.records})));
    }
}

TEST(MergeOutput, ListShapes) {
    struct Case {
        const char *what;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"a file listed twice is copied twice", {"a.las", "a.las"}},
        {"a file without points", {"a.las", "none.las", "b.las"}},
        {"without points first", {"none.las", "a.las"}},
        {"inputs with their own offsets", {"b.las", "a.las", "b.las"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::map<std::string, LasFile> files;
        files["a.las"] = las(2, 0, 7, 1);
        files["b.las"] = las(2, 0, 3, 2, Bytes(101, 0x99));
        files["none.las"] = las(2, 0, 0, 3, Bytes(10, 0x42));
        std::string list;
        Bytes records;
        std::uint64_t total = 0;
        for (const auto &n : c.names) {
            list += n + "\n";
            records.insert(records.end(), files[n].records.begin(), files[n].records.end());
            total += files[n].header.NumberOfPointReturns;
        }
        for (const auto &[name, f] : files) put(dir, name, f);
        write_text(dir / "list.txt", list);
        RunResult r = merge(dir);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.out, success_out(total, c.names));
        const LasFile &first = files[c.names[0]];
        const Bytes out = read_file(dir / "out.las");
        EXPECT_EQ(header_of(out).NumberOfPointReturns, total);
        EXPECT_TRUE(same_bytes(out, cat({Bytes(out.begin(), out.begin() + 227), Bytes(first.gap.size(), 0), records})));
    }
}

TEST(MergeOutput, OutputThatCannotBeCreated) {
    for (const std::string out : {"folder.las", "no/such/folder/out.las"}) {
        SCOPED_TRACE(out);
        ScratchDir dir;
        two_inputs(dir);
        fs::create_directory(dir / "folder.las");
        RunResult r = merge(dir, "list.txt", out);
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, banner() + "12 points in all input .las files\n\n2 files to be merged into " + out +
                             "\n\nCannot open binary file " + out + " for writing\n");
        EXPECT_TRUE(fs::is_directory(dir / "folder.las"));
        EXPECT_TRUE(leftovers(dir).empty());
    }
}

TEST(MergeOutput, CopyThroughTheBufferAcrossFileSystems) {
    // Between two file systems the kernel copy is refused and the records go
    // through the copy buffer, a power of two of at most 8 MiB cut to whole
    // records: 52,428 records of 20 bytes fill 1 MiB and 419,430 fill 8 MiB,
    // so the inputs end on a block's end, within one, and one record past it.
    struct stat shm, tmp;
    if (stat("/dev/shm", &shm) != 0 || stat(fs::temp_directory_path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    char pattern[] = "/dev/shm/zandrel-e2e-XXXXXX";
    if (!mkdtemp(pattern)) GTEST_SKIP() << "cannot write /dev/shm";
    const fs::path inputs = pattern;
    ScratchDir dir;
    std::string list;
    Bytes records;
    const std::pair<const char *, std::uint32_t> files[] = {
        {"blocks.las", 104856}, {"small.las", 3}, {"full.las", 419430}, {"over.las", 419431}};
    unsigned seed = 1;
    for (const auto &[name, points] : files) {
        const LasFile f = las(2, 0, points, seed++, Bytes(7, 0x21));
        write_file((inputs / name).string(), f.bytes());
        list += (inputs / name).string() + "\n";
        records.insert(records.end(), f.records.begin(), f.records.end());
    }
    write_text(dir / "list.txt", list);
    RunResult r = merge(dir);
    fs::remove_all(inputs);
    ASSERT_EQ(r.status, 0) << r.out;
    const Bytes out = read_file(dir / "out.las");
    EXPECT_TRUE(same_bytes(Bytes(out.begin() + 227, out.end()), cat({Bytes(7, 0), records})));
    EXPECT_EQ(header_of(out).NumberOfPointReturns, 943720u);
}

// ---------------------------------------------------------------- no damage

TEST(MergeSafety, FailedCopyRemovesItsTemporaryFileAndKeepsTheOldOutput) {
    ScratchDir dir;
    put(dir, "a.las", las(2, 3, 100, 1));
    put(dir, "b.las", las(2, 3, 100, 2));
    write_text(dir / "list.txt", "a.las\nb.las\n");
    const Bytes old(5000, 0x3C);
    write_file(dir / "out.las", old);
    // A file size limit of 512 or 1024 bytes stops the first input's copy.
    RunResult r = merge_after(dir, "ulimit -f 1");
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, banner() + "200 points in all input .las files\n\n2 files to be merged into out.las\n" +
                         "\ra.las (1 / 2)" + k20Blanks + "\nFailed to write out.las: File too large\n");
    EXPECT_TRUE(same_bytes(read_file(dir / "out.las"), old));
    EXPECT_TRUE(leftovers(dir).empty());
}

TEST(MergeSafety, RefusedRunsLeaveAnExistingOutputAlone) {
    ScratchDir dir;
    put(dir, "a.las", las(2, 3, 3, 1));
    LasFile b = las(2, 3, 3, 2);
    b.header.XOffset = 1.0;
    put(dir, "b.las", b);
    write_text(dir / "list.txt", "a.las\nb.las\n");
    write_text(dir / "out.las", "previous output");
    RunResult r = merge(dir);
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(read_file(dir / "out.las"), Bytes({'p', 'r', 'e', 'v', 'i', 'o', 'u', 's', ' ', 'o', 'u', 't', 'p',
                                                'u', 't'}));
    EXPECT_TRUE(leftovers(dir).empty());
}

TEST(MergeSafety, OutputHasThePermissionsOfANewFile) {
    struct Case {
        const char *umask;
        bool existing;
        fs::perms want;
    };
    using P = fs::perms;
    const std::vector<Case> cases = {
        {"022", false, P::owner_read | P::owner_write | P::group_read | P::others_read},
        {"077", false, P::owner_read | P::owner_write},
        {"027", true, P::owner_read | P::owner_write | P::group_read},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.umask);
        ScratchDir dir;
        two_inputs(dir);
        if (c.existing) {
            write_text(dir / "out.las", "old");
            fs::permissions(dir / "out.las", P::owner_all | P::group_all | P::others_all);
        }
        RunResult r = merge_after(dir, std::string("umask ") + c.umask);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(fs::status(dir / "out.las").permissions(), c.want);
        EXPECT_TRUE(leftovers(dir).empty());
    }
}

TEST(MergeSafety, OutputNamedByASymbolicLink) {
    // A link to a file: the file is replaced and the link kept. A link to
    // nothing: the link itself becomes the output.
    for (bool target_exists : {true, false}) {
        SCOPED_TRACE(target_exists);
        ScratchDir dir;
        LasFile a = las(2, 3, 5, 1), b = las(2, 3, 7, 2);
        put(dir, "a.las", a);
        put(dir, "b.las", b);
        write_text(dir / "list.txt", "a.las\nb.las\n");
        fs::create_directory(dir / "elsewhere");
        if (target_exists) write_text(dir / "elsewhere/target.las", "old");
        fs::create_symlink("elsewhere/target.las", dir / "out.las");
        RunResult r = merge(dir);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(fs::is_symlink(dir / "out.las"), target_exists);
        const Bytes out = read_file(dir / "out.las");
        EXPECT_TRUE(same_bytes(Bytes(out.begin() + 227, out.end()), cat({a.records, b.records})));
        EXPECT_EQ(fs::exists(dir / "elsewhere/target.las"), target_exists);
        EXPECT_TRUE(leftovers(dir).empty());
        // Nothing is left beside the target either.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "elsewhere"), fs::directory_iterator()),
                  target_exists ? 1 : 0);
    }
}

TEST(MergeSafety, InputsShorterThanTheirHeaderSaysAreRefused) {
    struct Case {
        const char *what;
        bool broken_first;
        std::function<Bytes(LasFile)> make;  // the broken file's bytes
        std::string message;                 // %s: the broken file's name
    };
    const std::vector<Case> cases = {
        {"records cut short", false,
         [](LasFile f) {
             Bytes b = f.bytes();
             b.resize(b.size() - 34);
             return b;
         },
         "\n%s is shorter than its header says: 10 point records of 34 bytes from byte 227 need 567 bytes, the "
         "file holds 533\n"},
        {"count larger than the records", true,
         [](LasFile f) {
             f.header.NumberOfPointReturns = 11;
             return f.bytes();
         },
         "\n%s is shorter than its header says: 11 point records of 34 bytes from byte 227 need 601 bytes, the "
         "file holds 567\n"},
        {"first file ends before its point data", true,
         [](LasFile f) {
             f.header.NumberOfPointReturns = 0;
             f.header.OffsetToData = 600;
             return f.bytes();
         },
         "\n%s is shorter than its header says: its point data start at byte 600, the file holds 567 bytes\n"},
        {"later file ends before its point data", false,
         [](LasFile f) {
             f.header.NumberOfPointReturns = 0;
             f.header.OffsetToData = 600;
             return f.bytes();
         },
         "\n%s is shorter than its header says: 0 point records of 34 bytes from byte 600 need 600 bytes, the "
         "file holds 567\n"},
        {"point data inside the header", false,
         [](LasFile f) {
             f.header.OffsetToData = 200;
             return f.bytes();
         },
         "\nOffsetToData of %s (200) lies inside its 227-byte header\n"},
        {"header cut short", true,
         [](LasFile f) {
             Bytes b = f.bytes();
             b.resize(150);
             return b;
         },
         "\n%s is too short to hold a LAS header (150 bytes, 227 needed)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        const std::string broken = c.broken_first ? "a.las" : "b.las";
        const std::string good = c.broken_first ? "b.las" : "a.las";
        put(dir, good, las(2, 3, 10, 1));
        write_file(dir / broken, c.make(las(2, 3, 10, 2)));
        write_text(dir / "list.txt", "a.las\nb.las\n");
        RunResult r = merge(dir);
        EXPECT_EQ(r.status, kFailed);
        std::string message = c.message;
        message.replace(message.find("%s"), 2, broken);
        EXPECT_EQ(r.out, banner() + message);
        EXPECT_FALSE(fs::exists(dir / "out.las"));
        EXPECT_TRUE(leftovers(dir).empty());
    }
}

TEST(MergeSafety, OutputThatIsAnInputOrTheListIsRefused) {
    struct Case {
        const char *what;
        std::string list_name, output;
        std::function<void(const ScratchDir &)> prepare;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"input by another spelling", "list.txt", "./a.las", [](const ScratchDir &) {},
         "\nOutput file ./a.las is the input file a.las; an input is never overwritten\n"},
        {"hard link to the second input", "list.txt", "hard.las",
         [](const ScratchDir &d) { fs::create_hard_link(d / "b.las", d / "hard.las"); },
         "\nOutput file hard.las is the input file b.las; an input is never overwritten\n"},
        {"symbolic link to an input", "list.txt", "sym.las",
         [](const ScratchDir &d) { fs::create_symlink("b.las", d / "sym.las"); },
         "\nOutput file sym.las is the input file b.las; an input is never overwritten\n"},
        {"the list itself", "list.las", "list.las", [](const ScratchDir &) {},
         "\nOutput file list.las is the list file list.las; it would be overwritten\n"},
        {"symbolic link to the list", "list.las", "out.las",
         [](const ScratchDir &d) { fs::create_symlink("list.las", d / "out.las"); },
         "\nOutput file out.las is the list file list.las; it would be overwritten\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        put(dir, "a.las", las(2, 3, 4, 1));
        put(dir, "b.las", las(2, 3, 4, 2));
        write_text(dir / c.list_name, "a.las\nb.las\n");
        c.prepare(dir);
        const Bytes a = read_file(dir / "a.las"), b = read_file(dir / "b.las"), list = read_file(dir / c.list_name);
        RunResult r = merge(dir, c.list_name, c.output);
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.out, banner() + c.message);
        EXPECT_EQ(read_file(dir / "a.las"), a);
        EXPECT_EQ(read_file(dir / "b.las"), b);
        EXPECT_EQ(read_file(dir / c.list_name), list);
        EXPECT_TRUE(leftovers(dir).empty());
    }
}

TEST(MergeSafety, InputsWithoutPointsDoNotMoveTheBox) {
    struct Case {
        const char *what;
        std::vector<std::string> names;
        double want[6];  // min x, max x, min y, max y, min z, max z
    };
    const std::vector<Case> cases = {
        {"first empty", {"e1.las", "p.las", "q.las"}, {1, 8, 2, 9, 3, 12}},
        {"middle empty", {"p.las", "e1.las", "q.las"}, {1, 8, 2, 9, 3, 12}},
        {"all empty", {"e1.las", "e2.las"}, {-500, 500, -600, 600, -700, 700}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::map<std::string, LasFile> files;
        files["p.las"] = las(2, 1, 3, 1);
        set_box(files["p.las"].header, 1, 5, 2, 6, 3, 7);
        files["q.las"] = las(2, 1, 2, 2);
        set_box(files["q.las"].header, 4, 8, 5, 9, 6, 12);
        files["e1.las"] = las(2, 1, 0, 3);
        set_box(files["e1.las"].header, -500, 500, -600, 600, -700, 700);
        files["e2.las"] = las(2, 1, 0, 4);
        set_box(files["e2.las"].header, 0, 0, 0, 0, 0, 0);
        std::string list;
        for (const auto &n : c.names) list += n + "\n";
        for (const auto &[name, f] : files) put(dir, name, f);
        write_text(dir / "list.txt", list);
        RunResult r = merge(dir);
        ASSERT_EQ(r.status, 0);
        const LAS12Header h = header_of(read_file(dir / "out.las"));
        const double got[6] = {h.MinX, h.MaxX, h.MinY, h.MaxY, h.MinZ, h.MaxZ};
        for (int k = 0; k < 6; ++k) EXPECT_EQ(got[k], c.want[k]) << "extent " << k;
    }
}

TEST(MergeSafety, NamesOfAnyLength) {
    ScratchDir dir;
    // Long names in a deep folder, inputs and output alike.
    fs::path deep = dir.path();
    for (char ch : {'p', 'q', 'r', 's'}) deep /= std::string(60, ch);
    fs::create_directories(deep);
    const std::string in1 = (deep / (std::string(196, 'x') + ".las")).string();
    const std::string in2 = (deep / (std::string(196, 'y') + ".las")).string();
    const std::string out = (deep / (std::string(196, 'z') + ".las")).string();
    LasFile a = las(2, 3, 3, 1), b = las(2, 3, 2, 2);
    write_file(in1, a.bytes());
    write_file(in2, b.bytes());
    write_text(dir / "list.txt", in1 + "\n" + in2 + "\n");
    RunResult r = merge(dir, "list.txt", out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, success_out(5, {in1, in2}, out));
    const Bytes merged = read_file(out);
    EXPECT_TRUE(same_bytes(Bytes(merged.begin() + 227, merged.end()), cat({a.records, b.records})));

    // A name far longer than any path the system takes is reported in full.
    const std::string huge = "/" + std::string(5000, 'n') + ".las";
    write_text(dir / "list2.txt", in1 + "\n" + huge + "\n");
    r = merge(dir, "list2.txt", "out.las");
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, banner() + "Unable to open file " + huge + " in file_access()\n\nFile " + huge +
                         " does NOT exist\n" + huge + " (listed in list2.txt) is not a valid LAS file\n");
}

}  // namespace
