// The input and output files of a cloudmove run.
#ifndef CLOUDMOVE_FILES_H
#define CLOUDMOVE_FILES_H

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The input file, read once in order from its first byte to its last point
// record. Opening it never waits (a FIFO would), and reads report errors
// instead of ending the process.
class Input {
public:
    explicit Input(const char *name);
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input();

    bool is_open() const { return fd_ >= 0; }
    const char *name() const { return name_; }
    uint64_t size() const { return size_; }  // when it was opened

    // Reads until `size` bytes have arrived or the file ends. Returns the
    // number of bytes read, or -1 after an error (errno tells which).
    ssize_t read(void *buf, size_t size);

private:
    const char *name_;
    int fd_ = -1;
    uint64_t size_ = 0;
    off_t position_ = 0;  // of the next read
};

// The output file while it is written. A run that does not reach commit()
// takes back what it did: it empties the file it wrote and removes it, but
// only a regular file that still stands under the output name itself (not
// behind a symbolic link). A device such as /dev/full, a link and a link's
// target are never removed.
//
// An existing file is not truncated when it is opened but overwritten in place
// and cut to its new length by commit(): this spares the file system freeing
// all its blocks only to allocate them again.
//
// While a regular output is open, SIGINT, SIGTERM and SIGHUP discard it the
// same way before they end the process.
class Output {
public:
    explicit Output(const char *name);
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output();

    bool is_open() const { return fd_ >= 0; }

    // Writes all `size` bytes after what was written before, or at `offset`
    // when it is not negative. False after printing why.
    bool write(const void *buf, size_t size, off_t offset = -1);

    // The same, printing nothing: 0, or the errno value of the failure.
    int put(const void *buf, size_t size, off_t offset = -1);

    // Cuts the completed file to `size` bytes and closes it. False after
    // printing why, and the file is then discarded like any failed output.
    bool commit(uint64_t size);

    // Prints that writing failed with `error` (an errno value); false.
    bool failed(int error) const;

private:
    void discard();
    void watch_signals();
    void unwatch_signals();

    const char *name_;
    int fd_ = -1;
    off_t position_ = 0;  // of the next write that has no offset
    bool regular_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    struct sigaction previous_[3];
};

#endif  // CLOUDMOVE_FILES_H
