#include "run_command.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <stdexcept>

#include "Korvana_LiDAR.h"

namespace testing_support {
namespace {

std::string drain(int fd) {
    std::string out;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            out.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return out;
}

int status_of(pid_t pid) {
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    return 128 + WTERMSIG(raw);
}

// Forks a child whose standard output goes into a pipe; `child` never returns.
Started start(const std::function<void()> &child) {
    fflush(stdout);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(pipeFds[0]);
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[1]);
        child();
        _exit(127);
    }
    close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

Outcome finish(const Started &started) {
    Outcome outcome;
    outcome.out = drain(started.out);
    close(started.out);
    outcome.status = status_of(started.pid);
    return outcome;
}

void exec(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    execv(argv[0], argv.data());
    perror("execv");
}

}  // namespace

Outcome run_command(const std::vector<std::string> &args) {
    return finish(start([&args] { exec(args); }));
}

Outcome run_with_terminal(const std::vector<std::string> &args, std::string &terminal) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    const Started started = start([&] {
        close(master);
        dup2(slave, STDERR_FILENO);
        close(slave);
        exec(args);
    });
    close(slave);
    Outcome outcome = finish(started);
    // Once the command has ended, reading the terminal gives what it showed
    // and then fails with EIO.
    terminal.clear();
    char chunk[4096];
    ssize_t n;
    while ((n = read(master, chunk, sizeof chunk)) > 0)
        terminal.append(chunk, static_cast<size_t>(n));
    close(master);
    return outcome;
}

Started start_command(const std::vector<std::string> &args) {
    return start([&args] { exec(args); });
}

Outcome finish_command(const Started &started) {
    return finish(started);
}

Outcome run_in_child(const std::function<void()> &body) {
    return finish(start([&body] {
        body();
        fflush(stdout);
        _exit(0);
    }));
}

std::string captured_stdout(const std::function<void()> &body) {
    fflush(stdout);
    FILE *sink = tmpfile();
    if (sink == nullptr) throw std::runtime_error("tmpfile failed");
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    rewind(sink);
    const std::string out = drain(fileno(sink));
    fclose(sink);
    return out;
}

const std::string &banner() {
    static const std::string text = captured_stdout([] { credits(); });
    return text;
}

const std::string &cloudmove_usage() {
    static const std::string text = banner() +
                                    "\nUsage:\tcloudmove INPUT.las OUTPUT.las\n"
                                    "\tX_translation Y_translation Z_translation\n"
                                    "\tRotation_angle X_rotation_center Y_rotation_center\n";
    return text;
}

std::string cloudmove_path() {
    return CLOUDMOVE_PATH;
}

std::string lasrefresh_path() {
    return LASREFRESH_PATH;
}

std::string without_elapsed_time(const std::string &out) {
    static const std::regex elapsed(R"(\nCompleted in [0-9]+\.[0-9]{3} seconds\n$)");
    return std::regex_replace(out, elapsed, "\nCompleted in T seconds\n");
}

}  // namespace testing_support
