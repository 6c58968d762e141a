// A program under test run as a child process: its standard output and error
// are read line by line, its standard input can be written, and it is ended
// by its PID when the test is done.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Waits for an output line containing text; the lines read so far stay
    // available in output(). False on time-out or end of output.
    bool wait_for(const std::string &text, std::chrono::milliseconds timeout);
    // Counts output lines containing text, reading what has arrived for up to timeout.
    size_t count(const std::string &text,
                 std::chrono::milliseconds settle = std::chrono::milliseconds(0));
    void write_line(const std::string &line);
    void close_stdin();
    // Sends a signal and waits for the exit. Returns the exit status (or
    // 128 + signal), -1 if it did not end within the timeout (it is then killed).
    int stop(int sig, std::chrono::milliseconds timeout);
    // Waits for the child to end by itself; its exit status, or -1 on time-out
    // (it is then killed).
    int wait(std::chrono::milliseconds timeout) { return stop(0, timeout); }
    const std::string &output() const { return out_; }

  private:
    bool read_some(int timeout_ms);
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int in_fd_ = -1;
    std::string out_;
    size_t scanned_ = 0;  // wait_for looks only at lines after the last match
};

// A free TCP (or UDP) port on the loopback, for a child to listen on.
int free_port(bool udp = false);
