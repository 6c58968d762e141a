// The program without a UI toolkit: the main thread runs a small event loop
// that delivers the session's notifications (synchronously, as a window
// message would be), window timers and SIGTERM/SIGINT to the application
// logic, prints each status change, and reads the pairing code from
// standard input.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "shell/shell_ui.h"

class CDuvoCore;

class CHeadlessShell : public CShellUi {
  public:
    CHeadlessShell();
    ~CHeadlessShell() override;

    // Runs until the main window ends. Returns the process exit code.
    int run(CDuvoCore &core);

    // The session's observer: forwards (kind, value) to the main thread and
    // waits until it has been handled there.
    static void observer(void *ctx, int kind, int value);

    // CShellUi
    void status_applied(int status, int unpair_reason) override;
    bool update_tray(tray_icon icon, const std::string &tip, const std::string &balloon) override;
    void message_box(int text_id, int caption_id, box_icon icon) override;
    void select_default_endpoint() override;
    int run_pair_code_dialog(std::string *code) override;
    void cancel_pair_code_dialog() override;
    void arm_pair_code_dialog() override;
    void set_timer(int id, int ms) override;
    void kill_timer(int id) override;
    void pump_pending() override;
    void end_main_window() override;

  private:
    struct notification {
        int kind, value;
        bool done;
    };
    void send(int kind, int value);
    void run_due_timers();
    int next_timeout_ms() const;

    CDuvoCore *core_ = nullptr;
    std::thread::id main_thread_;
    int wake_fd_ = -1;    // eventfd: a notification is queued
    int signal_fd_ = -1;  // SIGTERM / SIGINT
    int cancel_fd_ = -1;  // eventfd: close the pairing-code prompt
    std::atomic<bool> pair_code_cancelled_{false};
    bool ended_ = false;

    std::mutex lock_;
    std::condition_variable handled_;
    std::deque<notification *> queue_;

    struct timer {
        int period_ms;
        uint64_t due_ms;
    };
    std::map<int, timer> timers_;
    std::string stdin_line_;  // partial line read from standard input
};

// Blocks SIGTERM and SIGINT in the calling thread (call first in main, so
// every thread started later inherits the mask and the loop takes them).
void headless_block_signals();
