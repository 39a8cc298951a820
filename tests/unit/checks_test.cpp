// The module's file and LAS checks and its banner, through the exported C
// routines, with every message compared byte for byte.
#include "test_support.h"

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testing_support;

// ---------------------------------------------------------------- extension

struct ExtensionCase {
    const char *name;
    const char *extension;
    int status;
    const char *printed;
};

TEST(CheckFileExtension, TableOfNamesAndExtensions) {
    const ExtensionCase cases[] = {
        {"a.las", "las", 0, ""},
        {"a.b.las", "las", 0, ""},
        {"x/y.z/data.las", "las", 0, ""},
        {".las", "las", -1, "\nFile name (.las) is too short\n"},
        {"las", "las", -1, "\nFile name (las) is too short\n"},
        {"", "las", -1, "\nFile name () is too short\n"},
        {"abcd", "", -1, "\nFile name (abcd) is too short\n"},
        {"data.LAS", "las", -1, "\nFile extension of data.LAS is not .las\n"},
        {"data.laz", "las", -1, "\nFile extension of data.laz is not .las\n"},
        {"datalas", "las", -1, "\nExtension of file datalas should be preceeded by a dot (.)\n"},
        {"data.la", "las", -1, "\nExtension of file data.la should be preceeded by a dot (.)\n"},
        {"data.lass", "las", -1, "\nExtension of file data.lass should be preceeded by a dot (.)\n"},
        // Only a three-character extension without its dot can match.
        {"a.las", "la", -1, "\nFile extension of a.las is not .la\n"},
        {"a.las", "lass", -1, "\nFile extension of a.las is not .lass\n"},
        {"a.las", ".las", -1, "\nFile extension of a.las is not ..las\n"},
        {"a.las", "", -1, "\nFile extension of a.las is not .\n"},
    };
    for (const auto &c : cases) {
        int status = 99;
        const std::string out = captured_stdout([&] { status = check_file_extension(c.name, c.extension); });
        EXPECT_EQ(status, c.status) << c.name << " / " << c.extension;
        EXPECT_EQ(out, c.printed) << c.name << " / " << c.extension;
    }
}

// ---------------------------------------------------------------- file_access

TEST(FileAccess, MissingFileIsRefusedWithItsMessage) {
    ScratchDir dir;
    const std::string name = dir / "missing.las";
    int status = 99;
    const std::string out = captured_stdout([&] { status = file_access(name.c_str()); });
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "Unable to open file " + name + " in file_access()\n");
}

TEST(FileAccess, UnreadableFileIsRefused) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    ScratchDir dir;
    const std::string name = dir / "locked.las";
    write_text(name, "LASF");
    ASSERT_EQ(chmod(name.c_str(), 0), 0);
    int status = 99;
    const std::string out = captured_stdout([&] { status = file_access(name.c_str()); });
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "Unable to open file " + name + " in file_access()\n");
}

TEST(FileAccess, EmptyReadableFilePasses) {
    ScratchDir dir;
    const std::string name = dir / "empty.las";
    write_text(name, "");
    int status = 99;
    const std::string out = captured_stdout([&] { status = file_access(name.c_str()); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
}

// ---------------------------------------------------------------- error_msg, credits

TEST(ErrorMsg, NumberedMessagesAndSilenceForOthers) {
    const struct {
        int i;
        const char *printed;
    } cases[] = {
        {1, "\nFile f.las does NOT exist\n"},
        {2, "\nFile f.las already exists\n"},
        {3, "\nSame file name (f.las) has been specified twice\n"},
        {0, ""},
        {4, ""},
        {-1, ""},
        {1000, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(captured_stdout([&] { error_msg(c.i, "f.las"); }), c.printed) << c.i;
}

TEST(Credits, PrintsTheBanner) {
    const std::string out = captured_stdout([] { credits(); });
    EXPECT_EQ(out, banner());
    // Opens with a line end and leaves the cursor on a fresh line.
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front(), '\n');
    EXPECT_EQ(out.back(), '\n');
}

// ---------------------------------------------------------------- check_las

// The first 227 bytes of a LAS file with the values check_las looks at.
Bytes header_bytes(const char *signature, unsigned major, unsigned minor, unsigned format,
                   unsigned record_length) {
    Bytes b(kelvane::kHeaderBytes, 0);
    std::memcpy(b.data(), signature, 4);
    b[24] = static_cast<unsigned char>(major);
    b[25] = static_cast<unsigned char>(minor);
    b[104] = static_cast<unsigned char>(format);
    b[105] = static_cast<unsigned char>(record_length & 0xFF);
    b[106] = static_cast<unsigned char>(record_length >> 8);
    return b;
}

struct LasOutcome {
    int code = 99;
    std::string out;
};

LasOutcome classify_file(const std::string &name) {
    LasOutcome r;
    r.out = captured_stdout([&] { r.code = check_las(name.c_str()); });
    return r;
}

LasOutcome classify_bytes(const ScratchDir &dir, const Bytes &bytes, const std::string &leaf = "f.las") {
    const std::string name = dir / leaf;
    write_file(name, bytes);
    return classify_file(name);
}

TEST(CheckLas, AcceptedPairsGiveTheirCodesSilently) {
    const struct {
        unsigned minor, format, length;
        int code;
    } cases[] = {
        {0, 0, 20, 1}, {0, 1, 28, 2}, {1, 0, 20, 3}, {1, 1, 28, 4},
        {2, 0, 20, 5}, {2, 1, 28, 6}, {2, 2, 26, 7}, {2, 3, 34, 8},
    };
    ScratchDir dir;
    for (const auto &c : cases) {
        const LasOutcome r = classify_bytes(dir, header_bytes("LASF", 1, c.minor, c.format, c.length));
        EXPECT_EQ(r.code, c.code) << "1." << c.minor << " format " << c.format;
        EXPECT_EQ(r.out, "");
    }
}

TEST(CheckLas, OldVersionWithColourFormatGivesZeroWithoutLookingAtLength) {
    ScratchDir dir;
    for (unsigned minor : {0u, 1u})
        for (unsigned format : {2u, 3u})
            for (unsigned length : {0u, 26u, 34u, 36u, 65535u}) {
                const LasOutcome r = classify_bytes(dir, header_bytes("LASF", 1, minor, format, length));
                EXPECT_EQ(r.code, 0) << "1." << minor << " format " << format << " length " << length;
                EXPECT_EQ(r.out, "");
            }
}

TEST(CheckLas, RefusalsPrintTheirReason) {
    ScratchDir dir;
    const std::string name = dir / "f.las";
    const struct {
        Bytes bytes;
        std::string printed;
    } cases[] = {
        {header_bytes("lasf", 1, 2, 3, 34), "\n" + name + " is not a valid .las file\n\n"},
        {header_bytes("LAS ", 1, 2, 3, 34), "\n" + name + " is not a valid .las file\n\n"},
        {header_bytes("LASf", 1, 2, 3, 34), "\n" + name + " is not a valid .las file\n\n"},
        // Signature first: a bad signature hides a bad version.
        {header_bytes("XXXX", 2, 9, 9, 1), "\n" + name + " is not a valid .las file\n\n"},
        {header_bytes("LASF", 2, 0, 3, 34), "\nCannot handle las files of version 2.x\n"},
        {header_bytes("LASF", 0, 2, 3, 34), "\nCannot handle las files of version 0.x\n"},
        {header_bytes("LASF", 10, 0, 3, 34), "\nCannot handle las files of version :.x\n"},
        // Major before minor before format.
        {header_bytes("LASF", 2, 9, 10, 0), "\nCannot handle las files of version 2.x\n"},
        {header_bytes("LASF", 1, 3, 0, 20), "\nCannot handle las files of version 1.3\n"},
        {header_bytes("LASF", 1, 4, 10, 0), "\nCannot handle las files of version 1.4\n"},
        {header_bytes("LASF", 1, 2, 4, 20),
         "\nPointDataFormatID in " + name + " is 4. Only 0, 1, 2, or 3 is accepted\n"},
        {header_bytes("LASF", 1, 0, 10, 20),
         "\nPointDataFormatID in " + name + " is :. Only 0, 1, 2, or 3 is accepted\n"},
        {header_bytes("LASF", 1, 2, 3, 36),
         "\nData format of " + name + " (3) is incompatible with Length of Data Record (36)\n"},
        {header_bytes("LASF", 1, 2, 0, 28),
         "\nData format of " + name + " (0) is incompatible with Length of Data Record (28)\n"},
        {header_bytes("LASF", 1, 0, 1, 20),
         "\nData format of " + name + " (1) is incompatible with Length of Data Record (20)\n"},
        {header_bytes("LASF", 1, 2, 2, 28),
         "\nData format of " + name + " (2) is incompatible with Length of Data Record (28)\n"},
        {header_bytes("LASF", 1, 2, 1, 65535),
         "\nData format of " + name + " (1) is incompatible with Length of Data Record (65535)\n"},
        {header_bytes("LASF", 1, 1, 0, 0),
         "\nData format of " + name + " (0) is incompatible with Length of Data Record (0)\n"},
        {header_bytes("LASF", 1, 2, 3, 34 + 256),
         "\nData format of " + name + " (3) is incompatible with Length of Data Record (290)\n"},
    };
    for (const auto &c : cases) {
        write_file(name, c.bytes);
        const LasOutcome r = classify_file(name);
        EXPECT_EQ(r.code, -1) << c.printed;
        EXPECT_EQ(r.out, c.printed);
    }
}

TEST(CheckLas, ExistenceIsTestedBeforeTheExtension) {
    ScratchDir dir;
    const std::string missing = dir / "missing.txt";
    LasOutcome r = classify_file(missing);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.out, "Unable to open file " + missing + " in file_access()\n\nFile " + missing + " does NOT exist\n");

    const std::string missing_las = dir / "missing.las";
    r = classify_file(missing_las);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.out,
              "Unable to open file " + missing_las + " in file_access()\n\nFile " + missing_las + " does NOT exist\n");
}

TEST(CheckLas, GoodBytesUnderAWrongNameDrawOnlyTheExtensionMessage) {
    ScratchDir dir;
    const Bytes good = header_bytes("LASF", 1, 2, 3, 34);
    const struct {
        const char *leaf;
        const char *suffix;  // message after the line end and full name
    } cases[] = {
        {"f.txt", " is not .las\n"},
        {"f.LAS", " is not .las\n"},
        {"f.laz", " is not .las\n"},
    };
    for (const auto &c : cases) {
        const std::string name = dir / c.leaf;
        const LasOutcome r = classify_bytes(dir, good, c.leaf);
        EXPECT_EQ(r.code, -1) << c.leaf;
        EXPECT_EQ(r.out, "\nFile extension of " + name + c.suffix);
    }
    write_file(dir / "flas", good);
    const LasOutcome r = classify_file(dir / "flas");
    EXPECT_EQ(r.out, "\nExtension of file " + (dir / "flas") + " should be preceeded by a dot (.)\n");
}

// A short file is refused from its own bytes: the outcome of an earlier,
// good file must not leak into it.
TEST(CheckLas, FileTooShortToClassifyIsRefusedNeverGuessed) {
    ScratchDir dir;
    const Bytes good = header_bytes("LASF", 1, 2, 3, 34);
    const std::string good_name = dir / "good.las";
    write_file(good_name, good);
    const std::string name = dir / "short.las";
    for (std::size_t size : {0u, 3u, 4u, 24u, 25u, 30u, 104u, 105u, 106u}) {
        ASSERT_EQ(classify_file(good_name).code, 8);
        write_file(name, Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)));
        const LasOutcome r = classify_file(name);
        EXPECT_EQ(r.code, -1) << size;
        EXPECT_EQ(r.out, "\n" + name + " is too short to be a valid .las file (" + std::to_string(size) + " bytes)\n");
    }
    // 107 bytes hold everything the check reads.
    write_file(name, Bytes(good.begin(), good.begin() + 107));
    EXPECT_EQ(classify_file(name).code, 8);
}

// What a short file does hold is still judged: a wrong value is reported as
// such even if later values are missing.
TEST(CheckLas, ShortFileWithAWrongEarlyValueGetsThatValuesMessage) {
    ScratchDir dir;
    const std::string name = dir / "f.las";
    Bytes b = header_bytes("LASF", 1, 3, 0, 20);
    LasOutcome r = classify_bytes(dir, Bytes(b.begin(), b.begin() + 26));
    EXPECT_EQ(r.out, "\nCannot handle las files of version 1.3\n");
    r = classify_bytes(dir, Bytes{'l', 'a', 's', 'f', 0});
    EXPECT_EQ(r.out, "\n" + name + " is not a valid .las file\n\n");
    EXPECT_EQ(r.code, -1);
}

TEST(CheckLas, NonRegularFilesAreRefusedWithoutBlocking) {
    ScratchDir dir;
    const std::string folder = dir / "folder.las";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::string fifo = dir / "fifo.las";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string device = dir / "null.las";
    std::filesystem::create_symlink("/dev/null", device);

    // A blocking open or read of the FIFO would hang here; the alarm ends
    // the test program instead.
    alarm(20);
    for (const std::string &name : {folder, fifo, device}) {
        const LasOutcome r = classify_file(name);
        EXPECT_EQ(r.code, -1) << name;
        EXPECT_EQ(r.out, "\n" + name + " is not a regular file\n");
    }
    alarm(0);
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

TEST(CheckLas, NoDescriptorStaysOpenWhateverTheOutcome) {
    if (!std::filesystem::is_directory("/proc/self/fd")) GTEST_SKIP() << "no /proc/self/fd";
    ScratchDir dir;
    std::vector<std::string> names;
    auto add = [&](const std::string &leaf, const Bytes &bytes) {
        names.push_back(dir / leaf);
        write_file(names.back(), bytes);
    };
    add("good.las", header_bytes("LASF", 1, 2, 3, 34));
    add("zero.las", header_bytes("LASF", 1, 0, 2, 26));
    add("sig.las", header_bytes("lasf", 1, 2, 3, 34));
    add("major.las", header_bytes("LASF", 2, 0, 3, 34));
    add("minor.las", header_bytes("LASF", 1, 3, 3, 34));
    add("format.las", header_bytes("LASF", 1, 2, 4, 34));
    add("length.las", header_bytes("LASF", 1, 2, 3, 36));
    add("short.las", Bytes{'L', 'A', 'S', 'F'});
    add("good.txt", header_bytes("LASF", 1, 2, 3, 34));
    names.push_back(dir / "missing.las");
    names.push_back(dir / "folder.las");
    ASSERT_TRUE(std::filesystem::create_directory(names.back()));
    names.push_back(dir / "fifo.las");
    ASSERT_EQ(mkfifo(names.back().c_str(), 0600), 0);

    const std::size_t before = open_descriptors();
    alarm(60);
    testing::internal::CaptureStdout();
    for (int round = 0; round < 50; ++round)
        for (const auto &name : names) (void)check_las(name.c_str());
    (void)testing::internal::GetCapturedStdout();
    alarm(0);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(CheckLas, SharedFilesClassifyAsTheirNamesSay) {
    const std::string data = shared_testdata();
    if (data.empty()) GTEST_SKIP() << "shared LAS test data absent";
    const struct {
        const char *leaf;
        int code;
    } cases[] = {
        {"v10_f0.las", 1},          {"v10_f1_terrascan.las", 2},    {"v11_f0_scale1.las", 3},
        {"v11_f1_390vlrs.las", 4},  {"v12_f0_garbage_vlrcount.las", 5}, {"v12_f1_1815.las", 6},
        {"v12_f2_autzen1065.las", 7}, {"v12_f3_count1065_norecords.las", 8},
        {"refuse_v12_f1_reclen34.las", -1}, {"refuse_v12_f3_reclen61.las", -1},
        {"refuse_v13_f0_empty.las", -1},    {"refuse_v14_f6.las", -1},
        {"refuse_v12_f3.laz", -1},
    };
    for (const auto &c : cases) {
        const std::string name = data + "/" + c.leaf;
        if (!std::filesystem::exists(name)) continue;
        const LasOutcome r = classify_file(name);
        EXPECT_EQ(r.code, c.code) << c.leaf << ": " << r.out;
        if (c.code > 0) {
            EXPECT_EQ(r.out, "");
        }
    }
    EXPECT_EQ(classify_file(data + "/refuse_v13_f1.las").out, "\nCannot handle las files of version 1.3\n");
    EXPECT_EQ(classify_file(data + "/refuse_v14_f6.las").out, "\nCannot handle las files of version 1.4\n");
    const std::string reclen = data + "/refuse_v12_f3_reclen61.las";
    EXPECT_EQ(classify_file(reclen).out,
              "\nData format of " + reclen + " (3) is incompatible with Length of Data Record (61)\n");
}

}  // namespace
