// Shared pieces of the transport and discovery tests: a log capture, free
// loopback ports and an `openssl s_server` child process.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"

extern char **environ;

constexpr uint32_t LOOPBACK = 0x7f000001;

// Collects every log line while it lives.
class LogCapture {
  public:
    LogCapture() {
        instance() = this;
        log_set_callbacks(&LogCapture::on_line, nullptr);
    }
    ~LogCapture() {
        log_clear_callbacks();
        instance() = nullptr;
    }
    std::string text() {
        std::lock_guard<std::mutex> g(lock_);
        return text_;
    }
    int count(const std::string &line) {
        std::string all = text();
        int n = 0;
        for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1)) n++;
        return n;
    }

  private:
    static LogCapture *&instance() {
        static LogCapture *current = nullptr;
        return current;
    }
    static void on_line(int, int, const char *fmt, va_list ap) {
        char line[1024];
        vsnprintf(line, sizeof line, fmt, ap);
        if (LogCapture *self = instance()) {
            std::lock_guard<std::mutex> g(self->lock_);
            self->text_ += line;
        }
    }
    std::mutex lock_;
    std::string text_;
};

// A port nobody listens on now (the kernel's choice for a bound socket).
inline int free_port(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

inline std::string cert_file(const std::string &name) {
    return std::string(OSTRELLE_SOURCE_DIR) + "/link/certs/" + name;
}

// True once something listens on the loopback TCP port (read from
// /proc/net/tcp, so that no probe connection reaches the server).
inline bool tcp_listening(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char want[16];
    snprintf(want, sizeof want, ":%04X ", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if ((local + " ").find(want) != std::string::npos && state == "0A") return true;
    }
    return false;
}

// `openssl s_server` as a child process, ended by its PID.
class SServer {
  public:
    // extra: protocol and verification options of this server.
    SServer(const std::string &cert, const std::string &key, std::vector<std::string> extra) {
        port_ = free_port(SOCK_STREAM);
        std::vector<std::string> args = {
            "openssl", "s_server",      "-accept", "127.0.0.1:" + std::to_string(port_),
            "-cert",   cert_file(cert), "-key",    cert_file(key),
            "-rev",    "-quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "openssl", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 200 && pid_ > 0 && !tcp_listening(port_); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~SServer() { stop(); }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    bool ready() const { return pid_ > 0 && tcp_listening(port_); }
    int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

inline long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - since)
                    .count());
}
