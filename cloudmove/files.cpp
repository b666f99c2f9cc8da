#include "files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Korvana_LiDAR_internal.h"

namespace {

// The output being written, for the signal handler. It is the one piece of
// state outside a call: a handler can reach nothing else. Set only while an
// Output is open and its signals are watched.
struct Pending {
    const char *name;
    int fd;
    dev_t device;
    ino_t inode;
};
Pending pending;
volatile sig_atomic_t pendingSet = 0;

constexpr int watchedSignals[3] = {SIGINT, SIGTERM, SIGHUP};

// Empties and removes the output with async-signal-safe calls only, then lets
// the signal end the process as it would have (SA_RESETHAND restored the
// default action; the signal is delivered again when the handler returns).
void discard_on_signal(int signal) {
    if (pendingSet) {
        (void)ftruncate(pending.fd, 0);
        struct stat named {};
        if (lstat(pending.name, &named) == 0 && S_ISREG(named.st_mode) &&
            named.st_dev == pending.device && named.st_ino == pending.inode) {
            unlink(pending.name);
        }
    }
    raise(signal);
}

}  // namespace

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
    const ssize_t got = korvana_internal::read_at(fd_, buf, size, position_);
    if (got > 0) position_ += got;
    return got;
}

Output::Output(const char *name) : name_(name) {
    // A signal between creating the file and watching for signals would leave
    // it behind: hold them back until then.
    sigset_t watched, before;
    sigemptyset(&watched);
    for (int signal : watchedSignals) sigaddset(&watched, signal);
    pthread_sigmask(SIG_BLOCK, &watched, &before);
    fd_ = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    struct stat info {};
    if (fd_ >= 0 && fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) {
        regular_ = true;
        device_ = info.st_dev;
        inode_ = info.st_ino;
        watch_signals();
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

Output::~Output() {
    if (fd_ < 0) return;
    discard();
    close(fd_);
    unwatch_signals();
}

void Output::watch_signals() {
    pending = {name_, fd_, device_, inode_};
    pendingSet = 1;
    struct sigaction action {};
    action.sa_handler = discard_on_signal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int k = 0; k < 3; ++k) sigaction(watchedSignals[k], &action, &previous_[k]);
}

void Output::unwatch_signals() {
    if (!regular_) return;
    for (int k = 0; k < 3; ++k) sigaction(watchedSignals[k], &previous_[k], nullptr);
    pendingSet = 0;
}

bool Output::write(const void *buf, size_t size, off_t offset) {
    const int error = put(buf, size, offset);
    return error == 0 || failed(error);
}

int Output::put(const void *buf, size_t size, off_t offset) {
    if (offset >= 0) return korvana_internal::write_at(fd_, buf, size, offset);
    const int error = korvana_internal::write_at(fd_, buf, size, position_);
    if (error == 0) position_ += static_cast<off_t>(size);
    return error;
}

bool Output::commit(uint64_t size) {
    // An existing file may have been longer than what was written.
    if (regular_ && ftruncate(fd_, static_cast<off_t>(size)) != 0) return failed(errno);
    unwatch_signals();
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
