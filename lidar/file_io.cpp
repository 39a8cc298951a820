#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace kelvane::io {

static_assert(sizeof(std::int64_t) == 8, "64-bit file positions");

std::string error_text(int err) { return std::strerror(err); }

#if defined(_WIN32)

namespace {
// The CRT moves at most INT_MAX bytes a call.
constexpr std::size_t kMaxIo = 1u << 30;
}

Kind kind_of(const std::string &path) {
    struct _stat64 st;
    if (_stat64(path.c_str(), &st) != 0) return Kind::Missing;
    if (st.st_mode & _S_IFREG) return Kind::Regular;
    if (st.st_mode & _S_IFDIR) return Kind::Directory;
    return Kind::Other;
}

std::string replaced_file(const std::string &path) { return path; }

static FileId id_of_handle(HANDLE h) {
    FileId id;
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info)) {
        id.volume = info.dwVolumeSerialNumber;
        id.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        id.valid = true;
    }
    return id;
}

FileId id_of(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FileId id = id_of_handle(h);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return id;
}

// The errno value closest to a Windows error code.
static int errno_of(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    default: return EIO;
    }
}

// Opened through CreateFile, not _open, for two things POSIX gives: a folder
// opens too (and then fails is_regular, so it is reported as no regular
// file), and the file may be renamed or deleted while open, which lets an
// interrupted run remove its temporary output before closing it.
int File::open(const std::string &path, Mode mode) {
    close();
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    DWORD attributes = FILE_FLAG_BACKUP_SEMANTICS;
    int flags = _O_BINARY;
    switch (mode) {
    case Mode::Read: flags |= _O_RDONLY; break;
    case Mode::ReadWrite: access |= GENERIC_WRITE; break;
    case Mode::CreateNew:
        access = GENERIC_WRITE;
        disposition = CREATE_NEW;
        attributes = FILE_ATTRIBUTE_NORMAL;
        break;
    }
    HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd_ < 0) {
        const int err = errno;
        CloseHandle(h);
        return err;
    }
    return 0;
}

std::int64_t File::read(void *buf, std::size_t n, int *err) {
    auto *p = static_cast<unsigned char *>(buf);
    std::size_t done = 0;
    while (done < n) {
        int got = _read(fd_, p + done, static_cast<unsigned>(std::min(n - done, kMaxIo)));
        if (got < 0) {
            *err = errno;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

int File::write_all(const void *buf, std::size_t n) {
    auto *p = static_cast<const unsigned char *>(buf);
    while (n > 0) {
        int put = _write(fd_, p, static_cast<unsigned>(std::min(n, kMaxIo)));
        if (put < 0) return errno;
        if (put == 0) return ENOSPC;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return 0;
}

int File::seek(std::int64_t position) { return _lseeki64(fd_, position, SEEK_SET) < 0 ? errno : 0; }

std::int64_t File::size(int *err) const {
    struct _stat64 st;
    if (_fstat64(fd_, &st) != 0) {
        *err = errno;
        return -1;
    }
    return st.st_size;
}

bool File::is_regular() const {
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd_));
    BY_HANDLE_FILE_INFORMATION info;
    return h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

FileId File::id() const { return id_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd_))); }

int File::close() {
    if (fd_ < 0) return 0;
    int rc = _close(fd_);
    fd_ = -1;
    return rc != 0 ? errno : 0;
}

static int replace_file(const std::string &from, const std::string &to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    return errno_of(GetLastError());
}

static long process_id() { return static_cast<long>(_getpid()); }

#else  // POSIX

Kind kind_of(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Kind::Missing;
    if (S_ISREG(st.st_mode)) return Kind::Regular;
    if (S_ISDIR(st.st_mode)) return Kind::Directory;
    return Kind::Other;
}

FileId id_of(const std::string &path) {
    FileId id;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        id.volume = static_cast<std::uint64_t>(st.st_dev);
        id.index = static_cast<std::uint64_t>(st.st_ino);
        id.valid = true;
    }
    return id;
}

std::string replaced_file(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char *target = ::realpath(path.c_str(), nullptr);
    if (!target) return path;  // a dangling link is replaced itself
    std::string resolved = target;
    std::free(target);
    return resolved;
}

int File::open(const std::string &path, Mode mode) {
    close();
    int flags = O_CLOEXEC;
    switch (mode) {
    // Non-blocking so that a FIFO or device among the inputs cannot hang the
    // open; regular files ignore the flag.
    case Mode::Read: flags |= O_RDONLY | O_NONBLOCK; break;
    case Mode::ReadWrite: flags |= O_RDWR | O_NONBLOCK; break;
    case Mode::CreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    }
    do {
        fd_ = ::open(path.c_str(), flags, 0666);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ < 0 ? errno : 0;
}

std::int64_t File::read(void *buf, std::size_t n, int *err) {
    auto *p = static_cast<unsigned char *>(buf);
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = ::read(fd_, p + done, n - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

int File::write_all(const void *buf, std::size_t n) {
    auto *p = static_cast<const unsigned char *>(buf);
    while (n > 0) {
        ssize_t put = ::write(fd_, p, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (put == 0) return ENOSPC;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return 0;
}

int File::seek(std::int64_t position) {
    return ::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0 ? errno : 0;
}

std::int64_t File::size(int *err) const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        *err = errno;
        return -1;
    }
    return static_cast<std::int64_t>(st.st_size);
}

bool File::is_regular() const {
    struct stat st;
    return ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

FileId File::id() const {
    FileId id;
    struct stat st;
    if (::fstat(fd_, &st) == 0) {
        id.volume = static_cast<std::uint64_t>(st.st_dev);
        id.index = static_cast<std::uint64_t>(st.st_ino);
        id.valid = true;
    }
    return id;
}

int File::close() {
    if (fd_ < 0) return 0;
    int rc = ::close(fd_);
    fd_ = -1;
    // After EINTR the descriptor is gone on Linux; the data may not be.
    return rc != 0 ? errno : 0;
}

static int replace_file(const std::string &from, const std::string &to) {
    return std::rename(from.c_str(), to.c_str()) != 0 ? errno : 0;
}

static long process_id() { return static_cast<long>(::getpid()); }

#endif

File &File::operator=(File &&o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

CopyResult copy_bytes(File &in, File &out, std::int64_t n, unsigned char *buf, std::size_t buf_size,
                      bool *kernel_copy) {
    CopyResult r;
#if defined(__linux__)
    while (*kernel_copy && r.copied < n) {
        // Large chunks keep the number of calls small; the kernel moves the
        // pages without a trip through user memory.
        std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(n - r.copied, 1 << 30));
        ssize_t moved = ::copy_file_range(in.descriptor(), nullptr, out.descriptor(), nullptr, chunk, 0);
        if (moved > 0) {
            r.copied += moved;
            continue;
        }
        if (moved == 0) {
            r.failure = CopyResult::Failure::InputEnded;
            return r;
        }
        if (errno == EINTR) continue;
        // The kernel refuses this pair of files (another file system, no
        // support) or met an error: the buffer carries on, and reports which
        // side failed if the error is real.
        *kernel_copy = false;
    }
#else
    *kernel_copy = false;
#endif
    while (r.copied < n) {
        std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(n - r.copied, static_cast<std::int64_t>(buf_size)));
        int err = 0;
        std::int64_t got = in.read(buf, want, &err);
        if (got < 0) {
            r.failure = CopyResult::Failure::Read;
            r.err = err;
            return r;
        }
        if (got > 0) {
            if (int werr = out.write_all(buf, static_cast<std::size_t>(got))) {
                r.failure = CopyResult::Failure::Write;
                r.err = werr;
                return r;
            }
            r.copied += got;
        }
        if (static_cast<std::size_t>(got) < want) {
            r.failure = CopyResult::Failure::InputEnded;
            return r;
        }
    }
    return r;
}

int PendingOutput::create(const std::string &final_path) {
    abandon();
    std::string::size_type slash = final_path.find_last_of("/\\");
    std::string folder = slash == std::string::npos ? std::string() : final_path.substr(0, slash + 1);
    // A short name of our own, so that a long output name cannot push the
    // temporary name past the file system's limit.
    for (unsigned attempt = 0;; ++attempt) {
        std::string candidate =
            folder + ".zandrel-" + std::to_string(process_id()) + "-" + std::to_string(attempt) + ".tmp";
        int err = file_.open(candidate, File::Mode::CreateNew);
        if (err == 0) {
            temp_ = candidate;
            final_ = final_path;
            return 0;
        }
        if (err != EEXIST || attempt >= 1000) return err;
    }
}

int PendingOutput::commit() {
    int err = file_.close();
    if (err == 0) err = replace_file(temp_, final_);
    if (err != 0) {
        std::remove(temp_.c_str());
    }
    temp_.clear();
    return err;
}

void PendingOutput::abandon() {
    if (temp_.empty()) return;
    file_.close();
    std::remove(temp_.c_str());
    temp_.clear();
}

}  // namespace kelvane::io
