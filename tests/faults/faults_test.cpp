// Zandrel under faults and hostile input: a full disk or file size limit,
// inputs and the list changed while the run goes on, files that are not LAS
// files or whose headers lie, outputs it must not or cannot write, and odd
// names. Each case checks the whole promise with one checker (see
// fault_support.h).
#include "fault_support.h"

#include <cerrno>

#include <sys/mount.h>
#include <sys/stat.h>

using namespace faults;

namespace {

class Faults : public testing::Test {
protected:
    ScratchDir dir;

    std::string root() const { return dir.path().string(); }

    void lasgen(const std::string &name, const std::vector<std::string> &options) {
        std::vector<std::string> argv = {lasgen_exe(), "--out", dir / name};
        argv.insert(argv.end(), options.begin(), options.end());
        ASSERT_EQ(run(argv).status, 0) << "lasgen " << name;
    }

    // a.las: 50 points behind a 154-byte VLR (data from byte 381, 2081
    // bytes); b.las: 70 points (2607 bytes); both 1.2 format 3. Their merge
    // is 4461 bytes. out.las holds an earlier output.
    void make_standard_inputs() {
        lasgen("a.las", {"--points", "50", "--vlr-bytes", "100", "--seed", "1"});
        lasgen("b.las", {"--points", "70", "--seed", "2"});
        write_text(dir / "list.txt", "a.las\nb.las\n");
        write_text(dir / "out.las", "earlier output\n");
    }

    RunResult zandrel(const std::string &list, const std::string &output, Limits limits = {}) {
        limits.cwd = root();
        return run_limited({zandrel_exe(), list, output}, limits);
    }

    // The output of an undisturbed merge of the names in list_text.
    Bytes reference_merge(const std::string &list_text) {
        write_text(dir / "reference-list.txt", list_text);
        const RunResult r = zandrel("reference-list.txt", "reference.las");
        EXPECT_EQ(r.status, 0) << r.out;
        Bytes bytes = read_file(dir / "reference.las");
        fs::remove(dir / "reference-list.txt");
        fs::remove(dir / "reference.las");
        return bytes;
    }

    // Rewrites header fields of a file in place.
    template <typename F>
    void edit_header(const std::string &name, F &&edit) {
        Bytes bytes = read_file(dir / name);
        LAS12Header h = header_of(bytes);
        edit(h);
        kelvane::encode_header(h, bytes.data());
        write_file(dir / name, bytes);
    }

    void expect_refused(const RunResult &r, const Snapshot &expected, const std::string &message) {
        faults::expect_refused(r, dir.path(), expected, message);
    }
};

const char kTooLarge[] = "\nFailed to write out.las: File too large\n";

// A file size limit stops the writes at every stage of the output: the
// header, the first file's VLR, the first and the second file's records,
// the very last byte. At exactly the output's size the merge succeeds.
TEST_F(Faults, FileSizeLimitAtEveryStageOfTheOutput) {
    make_standard_inputs();
    const Bytes merged = reference_merge("a.las\nb.las\n");
    ASSERT_EQ(merged.size(), 4461u);
    const Snapshot before = snapshot(dir.path());
    for (long long limit : {0LL, 100LL, 226LL, 300LL, 391LL, 2581LL, 4460LL}) {
        SCOPED_TRACE("RLIMIT_FSIZE " + std::to_string(limit));
        Limits limits;
        limits.file_size_limit = limit;
        expect_refused(zandrel("list.txt", "out.las", limits), before, kTooLarge);
    }
    Limits exact;
    exact.file_size_limit = static_cast<long long>(merged.size());
    expect_merged(zandrel("list.txt", "out.las", exact), dir.path(), before, "out.las", merged);
}

// A small file system of its own that fills up during the copy.
class TmpfsMount {
public:
    explicit TmpfsMount(const std::string &path) : path_(path) {
        fs::create_directory(path);
        if (mount("zandrel-test", path.c_str(), "tmpfs", 0, "size=64k") == 0)
            mounted_ = true;
        else
            error_ = std::strerror(errno);
    }
    ~TmpfsMount() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string &error() const { return error_; }

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

TEST_F(Faults, FullFileSystemDuringTheCopy) {
    TmpfsMount small(dir / "small");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a 64 KiB tmpfs here: " << small.error();
    lasgen("a.las", {"--points", "1500", "--seed", "1"});
    lasgen("b.las", {"--points", "1500", "--seed", "2"});
    write_text(dir / "list.txt", "a.las\nb.las\n");
    write_text(dir / "small/out.las", "earlier output\n");
    const Snapshot before = snapshot(dir.path());
    expect_refused(zandrel("list.txt", "small/out.las"), before,
                   "\nFailed to write small/out.las: No space left on device\n");

    // Full before the header: a filler takes every free block.
    {
        std::FILE *filler = std::fopen((dir / "small/filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const Bytes block(4096, 0xF0);
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }
    const Snapshot full = snapshot(dir.path());
    expect_refused(zandrel("list.txt", "small/out.las"), full,
                   "\nFailed to write small/out.las: No space left on device\n");
}

// How the interposer changes a file at one opening of the list.
struct Change {
    const char *what;
    int at;              // opening of the list: 2, 3 or 4 (the copy)
    const char *action;  // truncate, unlink, rename, write, fifo
    const char *file;
    const char *arg;
    const char *message;
};

// The folder as the change leaves it.
void apply(const Change &c, Snapshot &s) {
    const std::string action = c.action;
    if (action == "truncate") s[c.file].bytes.resize(std::stoul(c.arg));
    if (action == "unlink") s.erase(c.file);
    if (action == "rename") {
        s[c.file] = s[c.arg];
        s.erase(c.arg);
    }
    if (action == "write") s[c.file].bytes.assign(c.arg, c.arg + std::strlen(c.arg));
    if (action == "fifo") s[c.file] = Entry{'p', {}};
}

Limits interposed(const Change &c) {
    Limits limits;
    limits.env = {std::string("LD_PRELOAD=") + FAULT_INTERPOSER, "ZFAULT_LIST=list.txt",
                  "ZFAULT_AT=" + std::to_string(c.at), std::string("ZFAULT_ACTION=") + c.action,
                  std::string("ZFAULT_FILE=") + c.file, std::string("ZFAULT_ARG=") + (c.arg ? c.arg : "")};
    // A sanitized build wants its runtime first among the libraries.
    const char *asan = std::getenv("ASAN_OPTIONS");
    limits.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
    return limits;
}

const Change kChanges[] = {
    {"input cut short before the copy", 4, "truncate", "b.las", "1000",
     "\nb.las is shorter than its header says: 70 point records of 34 bytes from byte 227 need 2607 bytes, the "
     "file holds 1000\n"},
    {"input cut inside its header before the copy", 4, "truncate", "b.las", "100",
     "\nb.las is too short to hold a LAS header (100 bytes, 227 needed)\n"},
    {"input emptied before the copy", 4, "truncate", "b.las", "0",
     "\nb.las is too short to hold a LAS header (0 bytes, 227 needed)\n"},
    {"first input cut inside its VLR before the copy", 4, "truncate", "a.las", "300",
     "\na.las is shorter than its header says: its point data start at byte 381, the file holds 300 bytes\n"},
    {"input cut short before the merged header", 3, "truncate", "b.las", "1000",
     "\nb.las is shorter than its header says: 70 point records of 34 bytes from byte 227 need 2607 bytes, the "
     "file holds 1000\n"},
    {"input cut inside its header before the consistency check", 2, "truncate", "b.las", "100",
     "\nb.las is too short to hold a LAS header (100 bytes, 227 needed)\n"},
    {"input deleted before the copy", 4, "unlink", "b.las", nullptr, "Failed to open file b.las\n"},
    {"input deleted before the consistency check", 2, "unlink", "b.las", nullptr,
     "\nFailed to open b.las for reading in check_output_filesize()\n"},
    {"input deleted before the merged header", 3, "unlink", "b.las", nullptr,
     "Failed to open b.las for reading in check_output_filesize()\n"},
    {"input replaced by other points before the copy", 4, "rename", "b.las", "c.las",
     "\nInput files changed during the merge; out.las was not written\n"},
    {"input replaced by another format before the copy", 4, "rename", "b.las", "d.las",
     "\nInput files changed during the merge (b.las); out.las was not written\n"},
    {"input replaced by a FIFO before the copy", 4, "fifo", "b.las", nullptr, "\nb.las is not a regular file\n"},
    {"names removed from the list before the copy", 4, "write", "list.txt", "a.las\n",
     "\nList file list.txt holds fewer names than the 2 it held when first read\n"},
    {"names removed from the list before the consistency check", 2, "write", "list.txt", "",
     "\nList file list.txt holds fewer names than the 2 it held when first read\n"},
    {"list names another file before the copy", 4, "write", "list.txt", "a.las c.las",
     "\nInput files changed during the merge; out.las was not written\n"},
    {"list names a file of another format before the merged header", 3, "write", "list.txt", "a.las d.las",
     "\nInput files changed during the merge (d.las); out.las was not written\n"},
    {"list deleted before the copy", 4, "unlink", "list.txt", nullptr,
     "\nCannot open intput ASCII file list.txt for reading\n"},
};

// Inputs and the list changed between the checking passes and the copy, at
// the moment the interposer picks.
TEST_F(Faults, FilesChangedBetweenThePasses) {
    make_standard_inputs();
    lasgen("c.las", {"--points", "70", "--seed", "3"});
    lasgen("d.las", {"--points", "70", "--format", "1", "--seed", "4"});
    const Snapshot pristine = snapshot(dir.path());
    for (const Change &c : kChanges) {
        SCOPED_TRACE(c.what);
        // Each change starts from the same files.
        for (const auto &[name, e] : pristine) {
            fs::remove(dir / name);
            write_file(dir / name, e.bytes);
        }
        Snapshot expected = pristine;
        apply(c, expected);
        expect_refused(zandrel("list.txt", "out.las", interposed(c)), expected, c.message);
    }
}

// The checked count is what the copy reads: names appended to the list
// later are not merged, and the output is that of the checked list.
TEST_F(Faults, NamesAppendedToTheListAfterTheChecks) {
    make_standard_inputs();
    lasgen("c.las", {"--points", "70", "--seed", "3"});
    const Bytes merged = reference_merge("a.las\nb.las\n");
    const Change c = {"names appended before the copy", 4, "write", "list.txt", "a.las\nb.las\nc.las\n", nullptr};
    Snapshot expected = snapshot(dir.path());
    apply(c, expected);
    expect_merged(zandrel("list.txt", "out.las", interposed(c)), dir.path(), expected, "out.las", merged);
}

// Listed names that are no LAS file: nothing may block on them or read
// them endlessly.
TEST_F(Faults, ListedNamesThatAreNotRegularFiles) {
    make_standard_inputs();
    fs::create_directory(dir / "d.las");
    ASSERT_EQ(mkfifo((dir / "f.las").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "z.las");
    fs::create_symlink("/dev/null", dir / "n.las");
    const Snapshot before = snapshot(dir.path());
    for (const char *name : {"d.las", "f.las", "z.las", "n.las"}) {
        SCOPED_TRACE(name);
        write_text(dir / "list.txt", std::string("a.las\n") + name + "\n");
        Snapshot expected = before;
        expected["list.txt"] = file_entry(read_file(dir / "list.txt"));
        expect_refused(zandrel("list.txt", "out.las"), expected,
                       std::string("\n") + name + " is not a regular file\n" + name +
                           " (listed in list.txt) is not a valid LAS file\n");
    }
    write_text(dir / "list.txt", "a.las\n/dev/zero\n");
    Snapshot expected = before;
    expected["list.txt"] = file_entry(read_file(dir / "list.txt"));
    expect_refused(zandrel("list.txt", "out.las"), expected,
                   "\nExtension of file /dev/zero should be preceeded by a dot (.)\n/dev/zero (listed in list.txt) is not a valid LAS "
                   "file\n");
}

// A list that is no regular file.
TEST_F(Faults, ListThatIsNotARegularFile) {
    make_standard_inputs();
    fs::create_directory(dir / "listdir");
    ASSERT_EQ(mkfifo((dir / "listfifo").c_str(), 0600), 0);
    const Snapshot before = snapshot(dir.path());
    expect_refused(zandrel("/dev/zero", "out.las"), before,
                   "\nList file /dev/zero holds a NUL byte: it is not a text list of names\n");
    expect_refused(zandrel("/dev/null", "out.las"), before, "\nFile /dev/null contains no valid .las files\n");
    expect_refused(zandrel("listdir", "out.las"), before, "\nFailed to read list file listdir\n");
    Limits quick;
    quick.timeout_seconds = 10;
    expect_refused(zandrel("listfifo", "out.las", quick), before, "\nList file listfifo is not a regular file\n");
}

// Headers that promise more than their files hold, and files too short for
// a header.
TEST_F(Faults, HeadersThatLie) {
    struct Lie {
        const char *what;
        const char *file;
        std::int64_t points;  // -1: unchanged
        std::int64_t offset;  // -1: unchanged
        const char *message;
    };
    const Lie lies[] = {
        {"more points than held", "b.las", 100, -1,
         "\nb.las is shorter than its header says: 100 point records of 34 bytes from byte 227 need 3627 bytes, "
         "the file holds 2607\n"},
        {"the largest point count", "b.las", 0xFFFFFFFFu, -1,
         "\nb.las is shorter than its header says: 4294967295 point records of 34 bytes from byte 227 need "
         "146028888257 bytes, the file holds 2607\n"},
        {"data beyond the end", "b.las", -1, 5000,
         "\nb.las is shorter than its header says: 70 point records of 34 bytes from byte 5000 need 7380 bytes, "
         "the file holds 2607\n"},
        {"first file's data beyond the end", "a.las", -1, 5000,
         "\na.las is shorter than its header says: its point data start at byte 5000, the file holds 2081 "
         "bytes\n"},
        {"the largest data offset", "b.las", -1, 0xFFFFFFFFu,
         "\nb.las is shorter than its header says: 70 point records of 34 bytes from byte 4294967295 need "
         "4294969675 bytes, the file holds 2607\n"},
        {"data inside the header", "b.las", -1, 100, "\nOffsetToData of b.las (100) lies inside its 227-byte header\n"},
        {"no data offset", "a.las", -1, 0, "\nOffsetToData of a.las (0) lies inside its 227-byte header\n"},
    };
    for (const Lie &lie : lies) {
        SCOPED_TRACE(lie.what);
        make_standard_inputs();
        edit_header(lie.file, [&](LAS12Header &h) {
            if (lie.points >= 0) h.NumberOfPointReturns = static_cast<std::uint32_t>(lie.points);
            if (lie.offset >= 0) h.OffsetToData = static_cast<std::uint32_t>(lie.offset);
        });
        const Snapshot before = snapshot(dir.path());
        expect_refused(zandrel("list.txt", "out.las"), before, lie.message);
    }

    // Too short to classify, and classified but shorter than a header.
    make_standard_inputs();
    const Bytes b = read_file(dir / "b.las");
    write_file(dir / "empty.las", {});
    write_file(dir / "t.las", Bytes(b.begin(), b.begin() + 50));
    write_file(dir / "h.las", Bytes(b.begin(), b.begin() + 150));
    const Snapshot base = snapshot(dir.path());
    const std::pair<const char *, const char *> shorts[] = {
        {"empty.las", "\nempty.las is too short to be a valid .las file (0 bytes)\nempty.las (listed in list.txt) is "
                      "not a valid LAS file\n"},
        {"t.las", "\nt.las is too short to be a valid .las file (50 bytes)\nt.las (listed in list.txt) is not a "
                  "valid LAS file\n"},
        {"h.las", "\nh.las is too short to hold a LAS header (150 bytes, 227 needed)\n"},
    };
    for (const auto &[name, message] : shorts) {
        SCOPED_TRACE(name);
        write_text(dir / "list.txt", std::string("a.las\n") + name + "\n");
        Snapshot expected = base;
        expected["list.txt"] = file_entry(read_file(dir / "list.txt"));
        expect_refused(zandrel("list.txt", "out.las"), expected, message);
    }
}

// Files without points merge, and do not move the bounding box.
TEST_F(Faults, InputsWithoutPoints) {
    lasgen("e1.las", {"--points", "0", "--seed", "1"});
    lasgen("e2.las", {"--points", "0", "--seed", "2"});
    lasgen("b.las", {"--points", "10", "--seed", "3"});
    const Bytes e1 = read_file(dir / "e1.las");
    const Bytes b = read_file(dir / "b.las");

    write_text(dir / "list.txt", "e1.las\nb.las\ne2.las\n");
    Snapshot before = snapshot(dir.path());
    LAS12Header h = header_of(e1);
    const LAS12Header hb = header_of(b);
    h.NumberOfPointReturns = hb.NumberOfPointReturns;
    for (int k = 0; k < 5; ++k) h.NumberOfPointsByReturn[k] = hb.NumberOfPointsByReturn[k];
    h.MinX = hb.MinX, h.MaxX = hb.MaxX, h.MinY = hb.MinY, h.MaxY = hb.MaxY, h.MinZ = hb.MinZ, h.MaxZ = hb.MaxZ;
    Bytes expected(227);
    kelvane::encode_header(h, expected.data());
    expected.insert(expected.end(), b.begin() + 227, b.end());
    expect_merged(zandrel("list.txt", "out.las"), dir.path(), before, "out.las", expected);

    fs::remove(dir / "out.las");
    write_text(dir / "list.txt", "e1.las\ne2.las\n");
    before = snapshot(dir.path());
    expect_merged(zandrel("list.txt", "out.las"), dir.path(), before, "out.las", e1);
}

// Outputs that cannot be written, or that would overwrite an input or the
// list under another spelling.
TEST_F(Faults, OutputsThatMustNotBeWritten) {
    make_standard_inputs();
    fs::create_directory(dir / "o.las");
    fs::create_hard_link(dir / "b.las", dir / "hard.las");
    fs::create_symlink("a.las", dir / "soft.las");
    write_text(dir / "l.las", "a.las\nb.las\n");
    const Snapshot before = snapshot(dir.path());
    const std::pair<std::string, std::string> cases[] = {
        {"nodir/out.las", "\nCannot open binary file nodir/out.las for writing\n"},
        {"o.las", "\nCannot open binary file o.las for writing\n"},
        {"./a.las", "\nOutput file ./a.las is the input file a.las; an input is never overwritten\n"},
        {"hard.las", "\nOutput file hard.las is the input file b.las; an input is never overwritten\n"},
        {"soft.las", "\nOutput file soft.las is the input file a.las; an input is never overwritten\n"},
        {dir / "b.las", "\nOutput file " + (dir / "b.las") + " is the input file b.las; an input is never overwritten\n"},
    };
    for (const auto &[output, message] : cases) {
        SCOPED_TRACE(output);
        expect_refused(zandrel("list.txt", output), before, message);
    }
    expect_refused(zandrel("l.las", "./l.las"), before, "\nOutput file ./l.las is the list file l.las; it would be overwritten\n");
}

TEST_F(Faults, OutputInAReadOnlyFolder) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root, which writes into read-only folders";
    make_standard_inputs();
    fs::create_directory(dir / "ro");
    write_text(dir / "ro/out.las", "earlier output\n");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    const Snapshot before = snapshot(dir.path());
    expect_refused(zandrel("list.txt", "ro/out.las"), before, "\nCannot open binary file ro/out.las for writing\n");
}

// Names of non-ASCII bytes and of the longest lengths the system allows
// merge like any other; longer paths are refused by name.
TEST_F(Faults, UnusualNames) {
    make_standard_inputs();
    const Bytes merged = reference_merge("a.las\nb.las\n");
    const std::string utf8 = "\xc3\xa9t\xc3\xa9-\xe6\x97\xa5\xe6\x9c\xac.las";
    const std::string latin1 = "\xff\xfe\x80.las";
    const std::string longest(251, 'n');  // 255 bytes with ".las"
    fs::copy_file(dir / "a.las", dir / utf8);
    fs::copy_file(dir / "b.las", dir / latin1);
    fs::copy_file(dir / "b.las", dir / (longest + ".las"));

    // A folder chain that brings a relative name close to PATH_MAX.
    std::string deep;
    while (deep.size() + 201 + 10 < PATH_MAX - 1) deep += std::string(200, 'd') + "/";
    fs::create_directories(dir / deep);
    fs::copy_file(dir / "a.las", dir / (deep + "a.las"));
    ASSERT_GT(deep.size() + 5, 3800u);

    const std::pair<std::string, std::string> lists[] = {
        {utf8 + "\n" + latin1 + "\n", "out.las"},
        {deep + "a.las\n" + longest + ".las\n", std::string(251, 'o') + ".las"},
        {utf8 + " " + latin1, deep + "out.las"},
    };
    for (const auto &[list, output] : lists) {
        SCOPED_TRACE(list.substr(0, 60));
        write_text(dir / "list.txt", list);
        const Snapshot before = snapshot(dir.path());
        expect_merged(zandrel("list.txt", output), dir.path(), before, output, merged);
        fs::remove(dir / output);
    }

    const std::string too_long = std::string(PATH_MAX + 10, 'x') + ".las";
    write_text(dir / "list.txt", "a.las\n" + too_long + "\n");
    const Snapshot before = snapshot(dir.path());
    expect_refused(zandrel("list.txt", "out.las"), before,
                   "Unable to open file " + too_long + " in file_access()\n\nFile " + too_long + " does NOT exist\n" +
                       too_long + " (listed in list.txt) is not a valid LAS file\n");
}

// Lists without a name, and lists that are binary files.
TEST_F(Faults, ListsThatAreNotListsOfNames) {
    make_standard_inputs();
    std::mt19937 rng(7);
    std::string random_text(4096, ' ');
    for (char &ch : random_text) ch = static_cast<char>(1 + rng() % 255);
    const Bytes las_bytes = read_file(dir / "b.las");
    const std::pair<std::string, std::string> lists[] = {
        {"", "\nFile list.txt contains no valid .las files\n"},
        {" \n\t\r\n  \n", "\nFile list.txt contains no valid .las files\n"},
        {std::string("a.las\nb\0.las\n", 13), "\nList file list.txt holds a NUL byte: it is not a text list of names\n"},
        {std::string(las_bytes.begin(), las_bytes.end()),
         "\nList file list.txt holds a NUL byte: it is not a text list of names\n"},
        {random_text, " (listed in list.txt) is not a valid LAS file\n"},
    };
    for (const auto &[text, message] : lists) {
        SCOPED_TRACE(text.substr(0, 20));
        write_text(dir / "list.txt", text);
        const Snapshot before = snapshot(dir.path());
        expect_refused(zandrel("list.txt", "out.las"), before, message);
    }
}

}  // namespace
