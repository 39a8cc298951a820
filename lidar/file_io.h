// Files with 64-bit positions on the operating system's own calls, every read
// and write checked. Nothing here prints or ends the process: failures come
// back as errno values for the caller to report.
#ifndef KELVANE_FILE_IO_H
#define KELVANE_FILE_IO_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvane::io {

// The text of an errno value, for messages.
std::string error_text(int err);

// Identity of a file on its volume: two names denote the same file exactly
// when both identities are valid and equal (hard and symbolic links included).
struct FileId {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool valid = false;
    bool operator==(const FileId &o) const { return valid && o.valid && volume == o.volume && index == o.index; }
};

// What a name refers to, following symbolic links.
enum class Kind { Missing, Regular, Directory, Other };
Kind kind_of(const std::string &path);
FileId id_of(const std::string &path);
// The file that writing to path replaces: the target of a symbolic link
// that leads to an existing file, otherwise path itself.
std::string replaced_file(const std::string &path);

class File {
public:
    enum class Mode { Read, ReadWrite, CreateNew };

    File() = default;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    File(File &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    File &operator=(File &&o) noexcept;
    ~File() { close(); }

    // Opens without blocking on FIFOs or devices; CreateNew fails if the
    // name exists. Returns 0 or the errno value.
    int open(const std::string &path, Mode mode);
    bool is_open() const { return fd_ >= 0; }

    // Reads up to n bytes, repeating short reads: returns the bytes read
    // (fewer than n only at the end of the file), or -1 with *err set.
    std::int64_t read(void *buf, std::size_t n, int *err);
    // Writes all n bytes; returns 0 or the errno value (ENOSPC for a short write).
    int write_all(const void *buf, std::size_t n);
    int seek(std::int64_t position);
    // Size in bytes, or -1 with *err set.
    std::int64_t size(int *err) const;
    bool is_regular() const;
    FileId id() const;
    // Returns 0 or the errno value of the close.
    int close();

    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
};

// Outcome of copying a byte range from one file's position to another's.
struct CopyResult {
    enum class Failure { None, InputEnded, Read, Write };
    std::int64_t copied = 0;
    Failure failure = Failure::None;
    int err = 0;
};

// Copies n bytes from in's position to out's, through the kernel where it
// can (copy_file_range on Linux) and otherwise through buf. *kernel_copy says
// whether to try the kernel; it is cleared once the kernel refuses the pair of
// files, and the copy goes on through the buffer.
CopyResult copy_bytes(File &in, File &out, std::int64_t n, unsigned char *buf, std::size_t buf_size,
                      bool *kernel_copy);

// An output that appears under its name only when complete: it is written to
// a new file in the same folder and renamed over the name by commit(). Until
// then a file already under the name is untouched; abandon() (or the
// destructor) removes the temporary file.
class PendingOutput {
public:
    PendingOutput() = default;
    PendingOutput(const PendingOutput &) = delete;
    PendingOutput &operator=(const PendingOutput &) = delete;
    ~PendingOutput() { abandon(); }

    int create(const std::string &final_path);
    File &file() { return file_; }
    // The temporary file's name, for removal from a signal handler.
    const char *temp_path() const { return temp_.c_str(); }
    bool active() const { return !temp_.empty(); }
    // Closes and renames; on failure the temporary file is removed.
    int commit();
    void abandon();

private:
    File file_;
    std::string temp_;
    std::string final_;
};

}  // namespace kelvane::io

#endif
