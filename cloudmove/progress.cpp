#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace {

// Below this much work a run is over before a progress line would help.
constexpr uint64_t largeWork = uint64_t{256} << 20;

constexpr auto redrawEvery = std::chrono::milliseconds(200);

}  // namespace

Progress::Progress(uint64_t total)
    : total_(total), enabled_(total > largeWork && isatty(STDERR_FILENO) == 1) {
    start_ = last_ = Clock::now();
}

void Progress::show(uint64_t done) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (drawn_ && now - last_ < redrawEvery) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    fprintf(stderr, "\r%3d%%  %6.0f MB/s", static_cast<int>(done * 100 / total_),
            done / 1e6 / seconds);
    fflush(stderr);
    drawn_ = true;
}

void Progress::clear() {
    if (!drawn_) return;
    fprintf(stderr, "\r\033[K");
    fflush(stderr);
    drawn_ = false;
}
