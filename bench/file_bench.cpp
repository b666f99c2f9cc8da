// Times cloudmove and the header refresh on large LAS files against the file
// system's own floors: cp of the same file, and reading the file once.
//
// The files are written by the project's sample generator into a temporary
// folder and removed afterwards. Commands are run alternately (A B C A B C
// ...), each as a child process with standard output thrown away; before each
// one, the page cache is flushed to disk (sync) so that no command pays for
// the previous one's writing. Each figure is the median over the runs, and a
// ratio is the median of the run-by-run ratios to the floor measured in the
// same round.
//
// Usage: file_bench [--format3-mb N] [--format0-mb N] [--runs N] [--dir DIR]
//                   [--large [--large-mb N]]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Korvana_LiDAR.h"

namespace {

struct Measure {
    double seconds = 0;
    long peakKiB = 0;
    int status = 0;
};

// Runs `args` with standard output going to `out` (or /dev/null).
Measure run(const std::vector<std::string> &args, const char *out = "/dev/null") {
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int raw = 0;
    struct rusage usage {};
    wait4(pid, &raw, 0, &usage);
    Measure m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKiB = usage.ru_maxrss;
    m.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    if (m.status != 0) {
        fprintf(stderr, "file_bench: %s ended with status %d\n", args[0].c_str(), m.status);
        exit(1);
    }
    return m;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Command {
    std::string name;
    std::vector<std::string> args;
    std::string output;  // removed before each run when the outputs are new
    std::vector<Measure> runs;
};

// Runs every command `rounds` times, alternately; the first command is the floor.
void alternate(std::vector<Command> &commands, int rounds, bool newOutputs) {
    for (Command &c : commands) {
        if (!newOutputs && !c.output.empty()) run(c.args);  // the output exists from the start
    }
    for (int r = 0; r < rounds; ++r) {
        for (Command &c : commands) {
            if (newOutputs && !c.output.empty()) std::filesystem::remove(c.output);
            sync();
            c.runs.push_back(run(c.args));
        }
    }
}

void print(const char *title, const std::vector<Command> &commands, uint64_t bytes) {
    printf("\n%s\n", title);
    printf("  %-34s %8s %8s %8s %9s %9s %9s\n", "command", "median", "min", "max", "MB/s",
           "x floor", "peak RSS");
    const Command &floor = commands.front();
    for (const Command &c : commands) {
        std::vector<double> t, ratio;
        long peak = 0;
        for (size_t r = 0; r < c.runs.size(); ++r) {
            t.push_back(c.runs[r].seconds);
            ratio.push_back(c.runs[r].seconds / floor.runs[r].seconds);
            peak = std::max(peak, c.runs[r].peakKiB);
        }
        const double med = median(t);
        printf("  %-34s %7.3fs %7.3fs %7.3fs %9.0f %8.2fx %6.1f MiB\n", c.name.c_str(), med,
               *std::min_element(t.begin(), t.end()), *std::max_element(t.begin(), t.end()),
               bytes / 1e6 / med, median(ratio), peak / 1024.0);
    }
}

uint64_t file_size(const std::string &path) {
    return std::filesystem::file_size(path);
}

LAS12Header header_of(const std::string &path) {
    LAS12Header h{};
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr || fread(&h, sizeof h, 1, f) != 1) {
        fprintf(stderr, "file_bench: cannot read the header of %s\n", path.c_str());
        exit(1);
    }
    fclose(f);
    return h;
}

std::string make_file(const std::string &dir, const char *name, uint64_t megabytes, int format) {
    static const int lengths[4] = {20, 28, 26, 34};
    const std::string path = dir + "/" + name;
    const uint64_t points = megabytes * 1000000 / lengths[format];
    printf("writing %s: %llu points of format %d ...\n", path.c_str(),
           static_cast<unsigned long long>(points), format);
    run({MAKE_SAMPLE_PATH, path, std::to_string(points), std::to_string(format)});
    run({"/bin/cat", path});  // the page cache holds the file from now on
    return path;
}

void bench_file(const std::string &dir, const std::string &las, int rounds) {
    const uint64_t bytes = file_size(las);
    const std::string moved = dir + "/moved.las", moved0 = dir + "/moved0.las",
                      copy = dir + "/copy.las";
    const auto commands = [&] {
        return std::vector<Command>{
            {"cp (floor)", {"/bin/cp", las, copy}, copy, {}},
            {"cloudmove, rotation + translation",
             {CLOUDMOVE_PATH, las, moved, "10.5", "-20.25", "1.5", "30", "512330", "5403230"},
             moved,
             {}},
            {"cloudmove, angle 0",
             {CLOUDMOVE_PATH, las, moved0, "10.5", "-20.25", "1.5", "0", "0", "0"},
             moved0,
             {}},
        };
    };
    char title[256];
    for (const bool newOutputs : {true, false}) {
        std::vector<Command> c = commands();
        alternate(c, rounds, newOutputs);
        snprintf(title, sizeof title, "%s, %.0f MB, %s outputs", las.c_str(), bytes / 1e6,
                 newOutputs ? "new" : "existing");
        print(title, c, bytes);
    }
    std::vector<Command> refresh{
        {"cat FILE > /dev/null (floor)", {"/bin/cat", las}, "", {}},
        {"header refresh", {REFRESH_PATH, las}, "", {}},
    };
    alternate(refresh, rounds, false);
    snprintf(title, sizeof title, "%s, %.0f MB, header refresh", las.c_str(), bytes / 1e6);
    print(title, refresh, bytes);
    for (const std::string &path : {moved, moved0, copy}) std::filesystem::remove(path);
}

// A file larger than 4 GiB: moved and refreshed, with its counts and bounds checked.
bool check_large(const std::string &dir, uint64_t megabytes) {
    const std::string las = make_file(dir, "large.las", megabytes, 0),
                      moved = dir + "/large-moved.las";
    const LAS12Header in = header_of(las);
    Measure m = run({CLOUDMOVE_PATH, las, moved, "100", "-50", "2.5", "0", "0", "0"});
    printf("cloudmove on %.2f GB: %.2f s, peak RSS %.1f MiB\n", file_size(las) / 1e9, m.seconds,
           m.peakKiB / 1024.0);
    const LAS12Header out = header_of(moved);
    bool ok = file_size(moved) == file_size(las) &&
              out.NumberOfPointReturns == in.NumberOfPointReturns && out.MaxX == in.MaxX + 100 &&
              out.MinX == in.MinX + 100 && out.MaxY == in.MaxY + -50 && out.MinY == in.MinY + -50 &&
              out.MaxZ == in.MaxZ + 2.5 && out.MinZ == in.MinZ + 2.5;
    printf("  size, count and bounds of the moved file: %s\n", ok ? "right" : "WRONG");

    // The refresh recounts the records and recomputes the bounds from them;
    // truncation may move a coordinate by one unit of the scale.
    m = run({REFRESH_PATH, moved});
    printf("header refresh on %.2f GB: %.2f s, peak RSS %.1f MiB\n", file_size(moved) / 1e9,
           m.seconds, m.peakKiB / 1024.0);
    const LAS12Header refreshed = header_of(moved);
    const double unit = 0.0100001;
    const bool refreshOk = refreshed.NumberOfPointReturns == in.NumberOfPointReturns &&
                           std::abs(refreshed.MaxX - out.MaxX) <= unit &&
                           std::abs(refreshed.MinX - out.MinX) <= unit &&
                           std::abs(refreshed.MaxY - out.MaxY) <= unit &&
                           std::abs(refreshed.MinY - out.MinY) <= unit &&
                           std::abs(refreshed.MaxZ - out.MaxZ) <= unit &&
                           std::abs(refreshed.MinZ - out.MinZ) <= unit;
    printf("  count and bounds after the refresh: %s\n", refreshOk ? "right" : "WRONG");
    std::filesystem::remove(las);
    std::filesystem::remove(moved);
    return ok && refreshOk;
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t format3MB = 1000, format0MB = 400, largeMB = 4500;
    int rounds = 7;
    bool large = false;
    std::string base = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--format3-mb" && hasValue)
            format3MB = strtoull(argv[++i], nullptr, 10);
        else if (a == "--format0-mb" && hasValue)
            format0MB = strtoull(argv[++i], nullptr, 10);
        else if (a == "--runs" && hasValue)
            rounds = atoi(argv[++i]);
        else if (a == "--dir" && hasValue)
            base = argv[++i];
        else if (a == "--large")
            large = true;
        else if (a == "--large-mb" && hasValue)
            largeMB = strtoull(argv[++i], nullptr, 10);
        else {
            fprintf(stderr,
                    "Usage: file_bench [--format3-mb N] [--format0-mb N] [--runs N] [--dir DIR]\n"
                    "                  [--large [--large-mb N]]\n");
            return 2;
        }
    }
    std::string dir = base + "/korvana-bench-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    bool ok = true;
    if (large) {
        ok = check_large(dir, largeMB);
    } else {
        if (format3MB > 0) bench_file(dir, make_file(dir, "format3.las", format3MB, 3), rounds);
        if (format0MB > 0) bench_file(dir, make_file(dir, "format0.las", format0MB, 0), rounds);
    }
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
