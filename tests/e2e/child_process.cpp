#include "child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

ChildProcess::ChildProcess(const std::vector<std::string> &argv,
                           const std::vector<std::string> &env) {
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        for (const std::string &e : env) putenv(strdup(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    out_fd_ = out[0];
    in_fd_ = in[1];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) stop(SIGKILL, std::chrono::milliseconds(2000));
    if (out_fd_ >= 0) close(out_fd_);
    if (in_fd_ >= 0) close(in_fd_);
}

bool ChildProcess::read_some(int timeout_ms) {
    if (out_fd_ < 0) return false;
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    ssize_t n = read(out_fd_, buf, sizeof buf);
    if (n <= 0) {
        close(out_fd_);
        out_fd_ = -1;
        return false;
    }
    out_.append(buf, size_t(n));
    return true;
}

bool ChildProcess::wait_for(const std::string &text, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t at = out_.find(text, scanned_);
        if (at != std::string::npos) {
            size_t nl = out_.find('\n', at);
            scanned_ = nl == std::string::npos ? out_.size() : nl + 1;
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!read_some(int(left.count())) && out_fd_ < 0)
            return out_.find(text, scanned_) != std::string::npos;
    }
}

size_t ChildProcess::count(const std::string &text, std::chrono::milliseconds settle) {
    auto end = std::chrono::steady_clock::now() + settle;
    while (std::chrono::steady_clock::now() < end) read_some(20);
    while (read_some(0)) {
    }
    size_t n = 0;
    for (size_t at = out_.find(text); at != std::string::npos; at = out_.find(text, at + 1)) ++n;
    return n;
}

void ChildProcess::write_line(const std::string &line) {
    std::string l = line + "\n";
    (void)!write(in_fd_, l.data(), l.size());
}

void ChildProcess::close_stdin() {
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
}

int ChildProcess::stop(int sig, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    if (sig != 0) kill(pid_, sig);
    auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        read_some(10);
    }
    pid_ = -1;
    while (read_some(0)) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

int free_port(bool udp) {
    int s = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr *)&sa, sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(s, (sockaddr *)&sa, &len);
    close(s);
    return ntohs(sa.sin_port);
}
