#include "pipeline.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace {

// Reads go by slices of about this size.
constexpr size_t sliceBytes = size_t{128} << 10;

}  // namespace

MovedRecords::MovedRecords(Input &in, const Transform &t, bool rotating, uint32_t count,
                           size_t recordLength, unsigned char *storage, size_t bufferBytes)
    : in_(in),
      t_(t),
      rotating_(rotating),
      count_(count),
      recordLength_(recordLength),
      storage_(storage),
      bufferBytes_(bufferBytes) {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        // next() does the reading itself.
    }
}

MovedRecords::~MovedRecords() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

// Reads and moves the next block into `buffer`. Returns its size in bytes, or
// 0 when the records are done or one of them failed (failure_ says which).
size_t MovedRecords::fill(unsigned buffer) {
    unsigned char *block = storage_ + buffer * bufferBytes_;
    const size_t blockRecords = bufferBytes_ / recordLength_;
    // The block is read and moved a slice at a time, so that the records are
    // still in the processor's cache when they are moved.
    const size_t sliceRecords = std::max<size_t>(1, sliceBytes / recordLength_);
    size_t filled = 0;
    while (filled < blockRecords && moved_ < count_) {
        const size_t n = std::min({sliceRecords, blockRecords - filled, size_t{count_ - moved_}});
        unsigned char *slice = block + filled * recordLength_;
        const ssize_t got = in_.read(slice, n * recordLength_);
        if (got < 0) {
            failure_ = {Failure::Kind::ReadError, errno, moved_, {}};
            return 0;
        }
        if (static_cast<size_t>(got) < n * recordLength_) {
            failure_ = {Failure::Kind::EndedEarly, 0, moved_ + got / recordLength_, {}};
            return 0;
        }
        BadCoordinate bad{};
        const size_t done = transform_records(slice, n, recordLength_, t_, rotating_, bounds_, bad);
        if (done < n) {
            failure_ = {Failure::Kind::BadCoordinate, 0, moved_ + done, bad};
            return 0;
        }
        moved_ += static_cast<uint32_t>(n);
        filled += n;
    }
    return filled * recordLength_;
}

void MovedRecords::run() {
    for (unsigned buffer = 0;; buffer = (buffer + 1) % buffers) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return filled_[buffer] == 0 || stopping_; });
            if (stopping_) return;
        }
        const size_t size = fill(buffer);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            filled_[buffer] = size;
            done_ = size == 0;
        }
        changed_.notify_all();
        if (size == 0) return;
    }
}

bool MovedRecords::next(const unsigned char *&data, size_t &size) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (thread_.joinable()) {
        changed_.wait(lock, [&] { return filled_[turn_] > 0 || done_; });
    } else if (!done_) {
        filled_[turn_] = fill(turn_);
        done_ = filled_[turn_] == 0;
    }
    if (filled_[turn_] == 0) return false;
    data = storage_ + turn_ * bufferBytes_;
    size = filled_[turn_];
    return true;
}

void MovedRecords::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        filled_[turn_] = 0;
        turn_ = (turn_ + 1) % buffers;
    }
    changed_.notify_all();
}
