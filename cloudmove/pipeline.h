// Reading and moving the point records, one block ahead of their writing.
#ifndef CLOUDMOVE_PIPELINE_H
#define CLOUDMOVE_PIPELINE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "files.h"
#include "transform.h"

// Why the records stopped before the last one.
struct Failure {
    enum class Kind { None, ReadError, EndedEarly, BadCoordinate };
    Kind kind = Kind::None;
    int error = 0;        // ReadError: the errno value
    uint64_t record = 0;  // EndedEarly: whole records read; BadCoordinate: the record, from 0
    BadCoordinate bad{};  // BadCoordinate
};

// Reads the `count` point records that follow the input's position and moves
// them on a second thread, while the calling thread writes the blocks already
// moved: the file system's copy of one block into its cache overlaps the
// reading and the arithmetic of the next. The two threads take turns with a
// few buffers of `bufferBytes` (whole records) each; blocks come out in file order,
// so everything the caller writes and prints keeps that order. The reading
// side stops at the first record that it cannot read or move.
//
// If no thread can be started, next() reads and moves each block itself.
class MovedRecords {
public:
    // The buffers that the two sides take in turn.
    static constexpr unsigned buffers = 3;

    // `storage` holds `buffers` buffers of `bufferBytes` each.
    MovedRecords(Input &in, const Transform &t, bool rotating, uint32_t count, size_t recordLength,
                 unsigned char *storage, size_t bufferBytes);
    MovedRecords(const MovedRecords &) = delete;
    MovedRecords &operator=(const MovedRecords &) = delete;
    ~MovedRecords();  // stops the reading side and waits for it

    // Waits for the next block of moved records. False when there is none
    // left: every record was moved, or failure() tells why they stopped.
    bool next(const unsigned char *&data, size_t &size);

    // The block from next() has been written: its buffer may take another.
    void release();

    // Valid once next() has returned false.
    const Failure &failure() const { return failure_; }
    const Bounds &bounds() const { return bounds_; }

private:
    size_t fill(unsigned buffer);
    void run();

    Input &in_;
    const Transform t_;
    const bool rotating_;
    const uint32_t count_;
    const size_t recordLength_;
    unsigned char *const storage_;
    const size_t bufferBytes_;

    // Owned by the reading side until it is done.
    uint32_t moved_ = 0;
    Failure failure_;
    Bounds bounds_;

    std::mutex mutex_;
    std::condition_variable changed_;
    size_t filled_[buffers] = {};  // bytes waiting in each buffer
    bool done_ = false;            // the reading side has nothing more to give
    bool stopping_ = false;        // the writing side gave up
    unsigned turn_ = 0;            // the buffer the writing side takes next
    std::thread thread_;
};

#endif  // CLOUDMOVE_PIPELINE_H
