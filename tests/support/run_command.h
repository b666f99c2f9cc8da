// Runs a program, or a piece of code in a child process, and collects what it
// printed on standard output and how it ended.
#ifndef TESTS_SUPPORT_RUN_COMMAND_H
#define TESTS_SUPPORT_RUN_COMMAND_H

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// Whether this build runs under the address or thread sanitizer, whose
// runtimes export their own symbols and never let an allocation return null.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool underSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool underSanitizer = true;
#else
inline constexpr bool underSanitizer = false;
#endif
#else
inline constexpr bool underSanitizer = false;
#endif

struct Outcome {
    int status = -1;  // exit status 0-255; 128 + signal number if killed
    std::string out;  // everything written to standard output
};

// Runs `args[0]` with the arguments that follow, standard input from
// /dev/null, standard error inherited.
Outcome run_command(const std::vector<std::string> &args);

// Runs `args` with standard error on a pseudo-terminal; what the command
// showed there goes to `terminal`.
Outcome run_with_terminal(const std::vector<std::string> &args, std::string &terminal);

// A command started in the background, to be signalled or awaited.
struct Started {
    int pid = -1;
    int out = -1;  // read end of its standard output
};
Started start_command(const std::vector<std::string> &args);
Outcome finish_command(const Started &started);

// Runs `body` in a forked child whose standard output is collected; the child
// ends with status 0 when `body` returns, so a routine that ends the process
// itself shows its own status.
Outcome run_in_child(const std::function<void()> &body);

// Runs `body` in this process and returns what it printed on standard output.
std::string captured_stdout(const std::function<void()> &body);

// The library's banner, and the banner followed by cloudmove's usage lines,
// as the commands print them.
const std::string &banner();
const std::string &cloudmove_usage();

// Paths of the built commands.
std::string cloudmove_path();
std::string lasrefresh_path();

// The command's output with the elapsed-time figure of its last line replaced
// by "T", so that whole outputs can be compared.
std::string without_elapsed_time(const std::string &out);

}  // namespace testing_support

#endif  // TESTS_SUPPORT_RUN_COMMAND_H
