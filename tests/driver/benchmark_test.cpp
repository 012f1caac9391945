// Runs the real bandbench executable and checks its report byte for byte;
// the timing values, which vary from run to run, are checked by pattern.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace {

struct RunResult {
    std::string out;
    std::string err;
    int exit_status = -1;  // -1 when the process did not exit normally
};

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    return text;
}

// Runs `path` with no arguments, standard input from /dev/null, standard
// output into a pipe (or onto the file `stdout_file`) and standard error into
// a temporary file.
RunResult run(const char* path, const char* stdout_file = nullptr) {
    RunResult result;
    int out_pipe[2];
    if (pipe(out_pipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return result;
    }
    char err_path[] = "/tmp/bandbench_stderr_XXXXXX";
    const int err_fd = mkstemp(err_path);
    if (err_fd < 0) {
        ADD_FAILURE() << "mkstemp failed";
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdout_file != nullptr)
        posix_spawn_file_actions_addopen(&actions, 1, stdout_file, O_WRONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    char* argv[] = {const_cast<char*>(path), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << path;
        close(out_pipe[0]);
        close(err_fd);
        unlink(err_path);
        return result;
    }

    result.out = read_all(out_pipe[0]);
    close(out_pipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    lseek(err_fd, 0, SEEK_SET);
    result.err = read_all(err_fd);
    close(err_fd);
    unlink(err_path);
    return result;
}

int processors_in_affinity_mask() {
    constexpr int MAX_CPUS = 8192;
    cpu_set_t* set = CPU_ALLOC(MAX_CPUS);
    const std::size_t size = CPU_ALLOC_SIZE(MAX_CPUS);
    CPU_ZERO_S(size, set);
    const int count = sched_getaffinity(0, size, set) == 0 ? CPU_COUNT_S(size, set) : 1;
    CPU_FREE(set);
    return count;
}

// Splits at CRLF; every line must end with one.
std::vector<std::string> crlf_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "output does not end with CR LF: \"" << text.substr(start) << "\"";
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos)
            << "stray line break in \"" << line << "\"";
    }
    return lines;
}

// Checks " <label>" followed by an F8.2 field of a non-negative number and
// returns the number.
double timing_value(const std::string& line, const std::string& label) {
    static const std::regex FIELD(R"( *[0-9]+\.[0-9]{2})");
    const std::string prefix = " " + label + " (Seconds): ";
    EXPECT_EQ(line.substr(0, prefix.size()), prefix) << line;
    const std::string field = line.size() >= prefix.size() ? line.substr(prefix.size()) : "";
    EXPECT_EQ(field.size(), 8U) << line;
    EXPECT_TRUE(std::regex_match(field, FIELD)) << line;
    return std::atof(field.c_str());
}

TEST(Bandbench, ReportForEveryTeamSize) {
    bandsolve::testing::Watchdog watchdog(std::chrono::seconds(800), "bandbench run");
    const RunResult result = run(BANDBENCH_PATH);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");

    const std::vector<std::string> lines = crlf_lines(result.out);
    const int processors = processors_in_affinity_mask();
    ASSERT_EQ(lines.size(), 2U + 6U * static_cast<std::size_t>(processors) + 1U) << result.out;

    EXPECT_EQ(lines[0], " number of equations:      2000000");
    EXPECT_EQ(lines[1], " Half bandwidth:            8");
    std::size_t at = 2;
    for (int p = 1; p <= processors; ++p) {
        SCOPED_TRACE("team size " + std::to_string(p));
        EXPECT_EQ(lines[at++], " ");
        char team[32];
        std::snprintf(team, sizeof team, p == 1 ? " Processor: %2d" : " Processors: %2d", p);
        EXPECT_EQ(lines[at++], team);
        timing_value(lines[at++], "Elapsed Time");
        const double user = timing_value(lines[at++], "CPU Time in User Mode");
        const double kernel = timing_value(lines[at++], "CPU Time in Kernel Mode");
        const double total = timing_value(lines[at++], "Total CPU Time");
        // Each printed value is rounded to the hundredth on its own.
        EXPECT_NEAR(total, user + kernel, 0.0151);
    }
    EXPECT_EQ(lines[at], " ");
}

TEST(Bandbench, AReportThatCannotBeWrittenFailsTheRun) {
    bandsolve::testing::Watchdog watchdog(std::chrono::seconds(300), "bandbench > /dev/full");
    const RunResult result = run(BANDBENCH_PATH, "/dev/full");
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.err,
              "bandbench: cannot write the report to standard output: No space left on device\n");
}

}  // namespace
