// Helpers of the fuzz targets: a private folder for the files a target
// writes, and standard output muted while a module routine prints.
#ifndef ZANDREL_FUZZ_SUPPORT_H
#define ZANDREL_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace fuzzing {

// A folder below TMPDIR (or /tmp) made once per process and removed at its
// end; the file named name inside it, written with the data.
inline std::string write_scratch_file(const char *name, const std::uint8_t *data, std::size_t size) {
    static const std::string folder = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zandrel-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        static std::string made;
        made = pattern;
        std::atexit([] { rmdir(made.c_str()); });
        return pattern;
    }();
    const std::string path = folder + "/" + name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) std::abort();
    return path;
}

inline void remove_scratch_file(const std::string &path) { std::remove(path.c_str()); }

// Standard output goes to /dev/null for the lifetime of the object.
class MutedStdout {
public:
    MutedStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        close(null_fd);
    }
    ~MutedStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    MutedStdout(const MutedStdout &) = delete;
    MutedStdout &operator=(const MutedStdout &) = delete;

private:
    int saved_;
};

}  // namespace fuzzing

#endif
