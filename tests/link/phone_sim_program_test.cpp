// The phone-sim program itself: options, commands on standard input, a
// script, and its end on "quit" or SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "../platform/temp_dir.h"
#include "phone_sim_test_client.h"

namespace {

// phone-sim as a child process; its output lines are collected by a thread.
class sim_process {
  public:
    explicit sim_process(std::vector<std::string> args) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            std::vector<char *> argv;
            std::string bin = std::string(OSTRELLE_BIN_DIR) + "/phone-sim";
            argv.push_back(bin.data());
            for (std::string &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(bin.c_str(), argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        reader_ = std::thread([this] { read_lines(); });
    }
    ~sim_process() {
        if (stdin_ >= 0) ::close(stdin_);
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
        if (stdout_ >= 0) ::close(stdout_);
    }
    void write_line(const std::string &line) {
        std::string l = line + "\n";
        ASSERT_EQ(write(stdin_, l.data(), l.size()), ssize_t(l.size()));
    }
    // The port from the start line.
    int port() {
        if (!log.wait_for("# listening on 127.0.0.1:")) return -1;
        std::string all = log.all();
        size_t at = all.find("127.0.0.1:") + strlen("127.0.0.1:");
        return atoi(all.c_str() + at);
    }
    // Exit status, or -1 when it is still running after timeout_ms.
    int wait_exit(int timeout_ms = TEST_WAIT_MS) {
        for (int waited = 0; waited < timeout_ms; waited += 20) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(20 * 1000);
        }
        return -1;
    }
    pid_t pid() const { return pid_; }
    line_log log;

  private:
    void read_lines() {
        phone_sim_printer p = log.printer();
        std::string pending;
        char buf[4096];
        ssize_t n;
        while ((n = read(stdout_, buf, sizeof buf)) > 0) {
            pending.append(buf, size_t(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                p.line(p.ctx, pending.substr(0, nl).c_str());
                pending.erase(0, nl + 1);
            }
        }
    }
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
    bool exited_ = false;
    std::thread reader_;
};

void pair(pc_client &pc, int port) {
    ASSERT_EQ(pc.connect(port, false), 0);
    ASSERT_TRUE(pc.detect_new_format());
    pc.send(DUVO_CMD_C2P_PAIR_DETECT);
    pc_msg m;
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_PAIRED_INFO, &m));
}

TEST(PhoneSimProgram, StandardInputDrivesThePhone) {
    sim_process sim({"--plain", "--port", "0", "--pair-mode", "1", "--code", "246810"});
    int port = sim.port();
    ASSERT_GT(port, 0);
    pc_client pc;
    pair(pc, port);
    pc.send(DUVO_CMD_C2P_GET_PAIRING_MODE);
    pc_msg m;
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_PAIRING_MODE_RESULT, &m));
    EXPECT_TRUE(sim.log.wait_for("pairing code: 246810"));
    // The log lines of stdout, one per message, in both directions.
    EXPECT_EQ(sim.log.count("<- DUVO_CMD_C2P_PAIR_DETECT seq=1"), 1u) << sim.log.all();
    EXPECT_EQ(sim.log.count("-> DUVO_CMD_P2C_PAIRED_INFO seq=1 {"), 1u);

    sim.write_line("zoom 1 -3");
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_ZOOM_COMMAND, &m));
    EXPECT_EQ(phone_sim_body_text(m.body.data(), m.body.size()), "{\"command\":1,\"value\":-3}");
    sim.write_line("hangup");
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_CALL_END, &m));
    sim.write_line("close");
    EXPECT_TRUE(pc.wait_closed());

    // It waits for the next connection.
    pc_client next;
    pair(next, port);
    sim.write_line("quit");
    EXPECT_EQ(sim.wait_exit(), 0);
    EXPECT_TRUE(next.wait_closed());
}

TEST(PhoneSimProgram, ScriptRunsWithSleeps) {
    TempDir dir;
    std::string script = dir.path() + "/script.txt";
    // The sleep leaves ample time for the test to pair first.
    write_file(script, "# a comment\nsleep 3000\nbogus\nsend DUVO_CMD_P2C_GRUU sip:a\nquit\n");
    sim_process sim({"--plain", "--port", "0", "--script", script});
    int port = sim.port();
    ASSERT_GT(port, 0);
    pc_client pc;
    pair(pc, port);
    pc_msg m;
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_GRUU, &m, 10000));
    EXPECT_EQ(m.text(), std::string("sip:a") + '\0');
    EXPECT_TRUE(sim.log.wait_for("! line 3: unknown command 'bogus'"));
    EXPECT_EQ(sim.wait_exit(10000), 0);
}

TEST(PhoneSimProgram, BadOptionsAndSigterm) {
    for (std::vector<std::string> bad : {std::vector<std::string>{"--pair-mode", "2"},
                                         {"--port", "70000"},
                                         {"--bind", "nowhere"},
                                         {"--active", "maybe"},
                                         {"--frobnicate"},
                                         {"--port"}}) {
        sim_process sim(bad);
        EXPECT_EQ(sim.wait_exit(), 2) << bad[0];
    }
    sim_process sim({"--port", "0"});
    ASSERT_GT(sim.port(), 0);
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.wait_exit(), 0);
}

}  // namespace
