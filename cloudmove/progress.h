// A progress line for long runs.
#ifndef CLOUDMOVE_PROGRESS_H
#define CLOUDMOVE_PROGRESS_H

#include <chrono>
#include <cstdint>

// Shows how far a run has got (percent and MB/s) on standard error, on one
// line that is rewritten in place, when standard error is a terminal and the
// work is large enough to take a while. Standard output is never touched.
class Progress {
public:
    explicit Progress(uint64_t total);
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    ~Progress() { clear(); }

    // `done` bytes of `total` are through. Draws at once, then at most a few
    // times a second.
    void show(uint64_t done);

    // Erases the line, so that what is printed next starts on a clean line.
    void clear();

private:
    using Clock = std::chrono::steady_clock;
    const uint64_t total_;
    const bool enabled_;
    bool drawn_ = false;
    Clock::time_point start_;
    Clock::time_point last_;
};

#endif  // CLOUDMOVE_PROGRESS_H
