#include "bench/latency/bench_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/os/os_time.h"

extern char **environ;

namespace {
constexpr int kPollMs = 20;
constexpr int kExecFailed = 127;  // as a shell reports a command it cannot run

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}
}  // namespace

int bench_spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env_add,
                const std::string &out_path, bool stdin_pipe, bench_child *out) {
    int pipe_fds[2] = {-1, -1};
    if (stdin_pipe && pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto close_all = [&] {
        for (int fd : {pipe_fds[0], pipe_fds[1], out_fd, null_fd})
            if (fd >= 0) close(fd);
    };
    if (out_fd < 0 || null_fd < 0) {
        close_all();
        return -1;
    }
    // Everything the child needs is made before the fork: after it, the
    // child only duplicates descriptors and executes.
    std::vector<char *> args, env;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (char **e = environ; *e; e++) env.push_back(*e);
    for (const auto &e : env_add) env.push_back(const_cast<char *>(e.c_str()));
    env.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close_all();
        return -1;
    }
    if (pid == 0) {
        // A benchmark that dies (or is killed by a test's time-out) takes its
        // programs with it: they end in order on SIGTERM.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(kExecFailed);
        dup2(stdin_pipe ? pipe_fds[0] : null_fd, STDIN_FILENO);
        dup2(out_fd, STDOUT_FILENO);
        dup2(out_fd, STDERR_FILENO);
        execve(args[0], args.data(), env.data());
        _exit(kExecFailed);
    }
    int keep = pipe_fds[1];
    pipe_fds[1] = -1;
    close_all();
    out->pid = pid;
    out->stdin_fd = stdin_pipe ? keep : -1;
    return 0;
}

int bench_wait(bench_child *c, int timeout_ms) {
    if (c->pid <= 0) return -1;
    const uint64_t end = os_mono_ms() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(c->pid, &status, WNOHANG);
        if (r == c->pid) {
            c->pid = -1;
            if (c->stdin_fd >= 0) close(c->stdin_fd);
            c->stdin_fd = -1;
            return exit_code(status);
        }
        if (r < 0 || os_mono_ms() >= end) return -1;
        os_sleep_ms(kPollMs);
    }
}

int bench_stop(bench_child *c, int sig, int timeout_ms) {
    if (c->pid <= 0) return -1;
    kill(c->pid, sig);
    int rc = bench_wait(c, timeout_ms);
    if (rc >= 0) return rc;
    kill(c->pid, SIGKILL);
    return bench_wait(c, timeout_ms);
}

bool bench_wait_text(const std::string &path, const std::string &text, int timeout_ms,
                     std::string *content) {
    const uint64_t end = os_mono_ms() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string s = ss.str();
        if (s.find(text) != std::string::npos) {
            if (content) *content = s;
            return true;
        }
        if (os_mono_ms() >= end) {
            if (content) *content = s;
            return false;
        }
        os_sleep_ms(kPollMs * 5);
    }
}

int bench_free_port(bool udp) {
    int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}
