// What every fault case checks: the run ends by itself with exit status 255
// and a message on standard output, and the scratch folder holds exactly the
// files it held before (names, kinds and bytes): inputs and any earlier
// output unchanged, no temporary file left. A successful run may add or
// replace only its output.
#ifndef ZANDREL_FAULT_SUPPORT_H
#define ZANDREL_FAULT_SUPPORT_H

#include "test_support.h"

#include <csignal>
#include <map>
#include <sstream>

#include <sys/resource.h>

namespace faults {

using namespace testing_support;

struct Entry {
    char kind = '?';  // f file, d directory, l symbolic link, p FIFO, o other
    Bytes bytes;      // a file's contents or a link's target
    bool operator==(const Entry &o) const { return kind == o.kind && bytes == o.bytes; }
};
// Relative name to entry, for every name below a folder (links not followed).
using Snapshot = std::map<std::string, Entry>;

inline Snapshot snapshot(const fs::path &root) {
    Snapshot s;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        Entry e;
        const fs::file_status st = it->symlink_status();
        const std::string path = it->path().string();
        if (fs::is_symlink(st)) {
            e.kind = 'l';
            const std::string target = fs::read_symlink(it->path()).string();
            e.bytes.assign(target.begin(), target.end());
        } else if (fs::is_regular_file(st)) {
            e.kind = 'f';
            e.bytes = read_file(path);
        } else if (fs::is_directory(st)) {
            e.kind = 'd';
        } else if (fs::is_fifo(st)) {
            e.kind = 'p';
        } else {
            e.kind = 'o';
        }
        s[fs::relative(it->path(), root).string()] = std::move(e);
    }
    return s;
}

inline Entry file_entry(const Bytes &bytes) { return Entry{'f', bytes}; }

// The differences between two snapshots, one line each, for failure messages.
inline std::string differences(const Snapshot &expected, const Snapshot &actual) {
    std::ostringstream out;
    for (const auto &[name, e] : expected) {
        auto it = actual.find(name);
        if (it == actual.end())
            out << "missing: " << name << "\n";
        else if (!(it->second == e))
            out << "changed: " << name << " (" << e.bytes.size() << " -> " << it->second.bytes.size() << " bytes)\n";
    }
    for (const auto &[name, e] : actual)
        if (!expected.count(name)) out << "added: " << name << " (" << e.bytes.size() << " bytes)\n";
    return out.str();
}

struct Limits {
    std::string cwd;
    std::vector<std::string> env;    // NAME=VALUE added to the environment
    long long file_size_limit = -1;  // RLIMIT_FSIZE in bytes, -1 for none
    unsigned timeout_seconds = 30;   // SIGALRM ends a run that hangs
};

// Runs a program as run() does, under a file size limit, a time limit and
// extra environment variables.
inline RunResult run_limited(const std::vector<std::string> &argv, const Limits &limits) {
    return run(argv, limits.cwd, [&limits] {
        if (limits.file_size_limit >= 0) {
            // Past the limit a write fails with EFBIG instead of killing the
            // writer; Zandrel ignores the signal as well.
            std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl;
            rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(limits.file_size_limit);
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(126);
        }
        for (const std::string &kv : limits.env) putenv(const_cast<char *>(kv.c_str()));
        alarm(limits.timeout_seconds);
    });
}

inline bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

inline void expect_no_temporary_file(const Snapshot &after) {
    for (const auto &[name, e] : after) {
        const std::string base = fs::path(name).filename().string();
        EXPECT_FALSE(base.rfind(".zandrel-", 0) == 0 && ends_with(base, ".tmp")) << "temporary file left: " << name;
    }
}

// A refused run: its own end, status 255, the message last on standard
// output, and the folder as it was (expected: what it held before the run,
// with any change the fault itself made).
inline void expect_refused(const RunResult &r, const fs::path &root, const Snapshot &expected,
                           const std::string &message) {
    EXPECT_EQ(r.signal, 0) << (r.signal == SIGALRM ? "the run hung" : "the run was killed by a signal");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(ends_with(r.out, message)) << "standard output:\n" << r.out << "\nexpected it to end with:\n" << message;
    const Snapshot after = snapshot(root);
    expect_no_temporary_file(after);
    EXPECT_TRUE(after == expected) << differences(expected, after);
}

// A successful run: status 0 and the folder as before with output (its
// name relative to root) holding output_bytes.
inline void expect_merged(const RunResult &r, const fs::path &root, Snapshot expected, const std::string &output,
                          const Bytes &output_bytes) {
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << "standard output:\n" << r.out;
    expected[output] = file_entry(output_bytes);
    const Snapshot after = snapshot(root);
    expect_no_temporary_file(after);
    EXPECT_TRUE(after == expected) << differences(expected, after);
}

}  // namespace faults

#endif
