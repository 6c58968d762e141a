// The child processes of the latency benchmark: started with their output
// in a file and, when asked, a pipe on their standard input; ended by PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct bench_child {
    pid_t pid = -1;
    int stdin_fd = -1;  // -1: standard input is /dev/null
};

// Starts argv[0] with env_add appended to the environment ("NAME=value"),
// standard output and error to out_path. 0, or -1 (errno kept).
int bench_spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env_add,
                const std::string &out_path, bool stdin_pipe, bench_child *out);
// Waits up to timeout_ms for the exit: the exit code (128 + signal when
// killed by one), or -1 when it is still running.
int bench_wait(bench_child *c, int timeout_ms);
// Sends sig, waits up to timeout_ms, then SIGKILL. The exit code as above.
int bench_stop(bench_child *c, int sig, int timeout_ms);
// Waits up to timeout_ms for text to appear in the file; the file's content
// is left in *content when given. True when found.
bool bench_wait_text(const std::string &path, const std::string &text, int timeout_ms,
                     std::string *content = nullptr);
// A port free on the loopback at the time of asking (TCP or UDP), 0 when none.
int bench_free_port(bool udp);
