#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

Input::Input(const char *name) : name_(name) {
    fd_ = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    struct stat info {};
    if (fstat(fd_, &info) == 0) size_ = static_cast<uint64_t>(info.st_size);
    (void)posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

Input::~Input() {
    if (fd_ >= 0) close(fd_);
}

ssize_t Input::read(void *buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd_, static_cast<char *>(buf) + done, size - done);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

Output::Output(const char *name) : name_(name) {
    fd_ = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    struct stat info {};
    if (fd_ < 0 || fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return;
    regular_ = true;
    device_ = info.st_dev;
    inode_ = info.st_ino;
}

Output::~Output() {
    if (fd_ < 0) return;
    discard();
    close(fd_);
}

bool Output::write(const void *buf, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        const char *from = static_cast<const char *>(buf) + done;
        const ssize_t n = offset < 0 ? ::write(fd_, from, size - done)
                                     : pwrite(fd_, from, size - done,
                                              offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failed(errno);
        if (n == 0) return failed(ENOSPC);
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Output::commit(uint64_t size) {
    // An existing file may have been longer than what was written.
    if (regular_ && ftruncate(fd_, static_cast<off_t>(size)) != 0) return failed(errno);
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) == 0) return true;
    failed(errno);
    discard();
    return false;
}

bool Output::failed(int error) const {
    printf("\nFailed to write %s: %s\n", name_, strerror(error));
    return false;
}

void Output::discard() {
    if (!regular_) return;
    const auto ours = [this](const struct stat &info) {
        return info.st_dev == device_ && info.st_ino == inode_;
    };
    // Empty it first: a file reached through a link keeps no half-written data.
    struct stat named {};
    if (fd_ >= 0) {
        (void)ftruncate(fd_, 0);
    } else if (stat(name_, &named) == 0 && ours(named)) {
        (void)truncate(name_, 0);
    }
    if (lstat(name_, &named) == 0 && S_ISREG(named.st_mode) && ours(named)) unlink(name_);
}
