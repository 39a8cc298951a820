// Helpers shared by the tests: scratch folders, LAS bytes made to measure,
// and running the built programs with their standard output captured.
#ifndef ZANDREL_TEST_SUPPORT_H
#define ZANDREL_TEST_SUPPORT_H

#include "Kelvane_LiDAR.h"
#include "las_core.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// A fresh folder below the system's temporary folder, removed afterwards.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "zandrel-test-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
        path_ = buf.data();
    }
    ~ScratchDir() {
        std::error_code ec;
        // Undo read-only folders a test may have made, then remove all.
        for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const fs::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

inline Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline void write_text(const std::string &path, const std::string &text) {
    write_file(path, Bytes(text.begin(), text.end()));
}

// A LAS file made to measure: a header from initialize_header12 with the
// given version, format and scales, optional bytes between header and
// points, and records whose bytes are pseudo-random but for X, Y, Z and the
// return number, which the caller may set.
struct LasRecipe {
    int minor = 2;
    int format = 3;
    std::uint32_t points = 10;
    double scale[3] = {0.01, 0.01, 0.01};
    double offset[3] = {0.0, 0.0, 0.0};
    Bytes gap;                  // bytes 227 .. OffsetToData
    unsigned seed = 1;
};

struct LasFile {
    LAS12Header header{};
    Bytes gap;
    Bytes records;  // points × record length
    Bytes bytes() const {
        Bytes out(kelvane::kHeaderBytes);
        kelvane::encode_header(header, out.data());
        out.insert(out.end(), gap.begin(), gap.end());
        out.insert(out.end(), records.begin(), records.end());
        return out;
    }
};

// Builds a consistent file: the header's counts and extents are those of
// its records.
inline LasFile make_las(const LasRecipe &s) {
    LasFile f;
    std::memset(&f.header, 0, sizeof f.header);
    initialize_header12(&f.header);
    f.header.VersionMinor = static_cast<std::uint8_t>(s.minor);
    f.header.PointDataFormatID = static_cast<std::uint8_t>(s.format);
    const std::size_t len = kelvane::record_length_of_format(static_cast<unsigned>(s.format));
    f.header.PointDataRecordLength = static_cast<std::uint16_t>(len);
    f.header.XScaleFactor = s.scale[0];
    f.header.YScaleFactor = s.scale[1];
    f.header.ZScaleFactor = s.scale[2];
    f.header.XOffset = s.offset[0];
    f.header.YOffset = s.offset[1];
    f.header.ZOffset = s.offset[2];
    f.gap = s.gap;
    f.header.OffsetToData = static_cast<std::uint32_t>(227 + s.gap.size());
    std::mt19937 rng(s.seed);
    f.records.resize(static_cast<std::size_t>(s.points) * len);
    for (auto &b : f.records) b = static_cast<unsigned char>(rng());
    kelvane::PointScan scan;
    scan.add(f.records.data(), s.points, len);
    scan.apply(f.header);
    if (s.points == 0) f.header.MaxX = f.header.MinX = f.header.MaxY = f.header.MinY = f.header.MaxZ = f.header.MinZ = 0;
    return f;
}

inline LAS12Header header_of(const Bytes &file_bytes) {
    if (file_bytes.size() < kelvane::kHeaderBytes) throw std::runtime_error("no header");
    return kelvane::decode_header(file_bytes.data());
}

struct RunResult {
    int status = -1;       // exit status, 0-255; -1 if killed by a signal
    int signal = 0;
    std::string out;       // standard output
};

// Runs a program with arguments in a folder, capturing standard output
// (standard error passes through). in_child, if given, runs in the child
// just before the program starts (limits, environment).
inline RunResult run(const std::vector<std::string> &argv, const std::string &cwd = "",
                     const std::function<void()> &in_child = {}) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        if (in_child) in_child();
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    RunResult r;
    char buf[65536];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) r.out.append(buf, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
    return r;
}

// The built programs, as the build passes them in.
inline std::string zandrel_exe() { return ZANDREL_EXE; }
inline std::string lasgen_exe() { return LASGEN_EXE; }

// The real LAS files of other projects, beside the project; empty if absent.
inline std::string shared_testdata() {
    fs::path p = fs::path(ZANDREL_SOURCE_DIR) / ".." / "shared" / "testdata" / "las";
    return fs::is_directory(p) ? fs::canonical(p).string() : std::string();
}

// The banner that starts every run with a correct argument count.
inline std::string banner() {
    return "\nKelvane LiDAR Utilities"
           "\n\nDeveloped and maintained by the Zandrel and Kelvane_LiDAR project"
           "\nAffiliation: the Zandrel project (see README.md)"
           "\nContact: see README.md in the Zandrel sources"
           "\n\n** No warranty regarding script behavior is given or implied **"
           "\n** Acknowledging the author's efforts ensures script updates and availability **\n";
}

// Standard output of a function run in this process, e.g. a module routine.
template <typename F>
std::string captured_stdout(F &&f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace testing_support

#endif
