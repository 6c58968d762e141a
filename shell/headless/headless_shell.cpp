#include "shell/headless/headless_shell.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "link/pair_manager.h"
#include "platform/log.h"
#include "platform/os/os_time.h"
#include "shell/app_core.h"
#include "shell/res/string_table.h"

namespace {

constexpr size_t PAIR_CODE_LENGTH = 6;

void drain(int fd) {
    uint64_t v;
    while (read(fd, &v, sizeof v) == sizeof v) {
    }
}

}  // namespace

void headless_block_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

CHeadlessShell::CHeadlessShell() {
    main_thread_ = std::this_thread::get_id();
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    cancel_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    signal_fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

CHeadlessShell::~CHeadlessShell() {
    for (int fd : {wake_fd_, cancel_fd_, signal_fd_})
        if (fd >= 0) close(fd);
}

void CHeadlessShell::observer(void *ctx, int kind, int value) {
    static_cast<CHeadlessShell *>(ctx)->send(kind, value);
}

void CHeadlessShell::send(int kind, int value) {
    if (std::this_thread::get_id() == main_thread_) {
        if (core_) core_->OnPairNotify(kind, value);
        return;
    }
    notification n{kind, value, false};
    std::unique_lock<std::mutex> g(lock_);
    if (ended_) return;  // nobody will handle it any more
    queue_.push_back(&n);
    uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
    handled_.wait(g, [&] { return n.done || ended_; });
}

void CHeadlessShell::pump_pending() {
    for (;;) {
        notification *n;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (queue_.empty()) return;
            n = queue_.front();
            queue_.pop_front();
        }
        if (core_) core_->OnPairNotify(n->kind, n->value);
        std::lock_guard<std::mutex> g(lock_);
        n->done = true;
        handled_.notify_all();
    }
}

int CHeadlessShell::run(CDuvoCore &core) {
    core_ = &core;
    while (!ended_) {
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
        poll(fds, 2, next_timeout_ms());
        if (fds[0].revents & POLLIN) drain(wake_fd_);
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo si;
            while (read(signal_fd_, &si, sizeof si) == sizeof si) {
                log_print(0, LL_INFO, "signal %u: exit\n", si.ssi_signo);
                core.DealWithExit();
            }
        }
        pump_pending();
        run_due_timers();
    }
    // Release anyone still waiting for the main thread.
    std::lock_guard<std::mutex> g(lock_);
    for (notification *n : queue_) n->done = true;
    queue_.clear();
    handled_.notify_all();
    return 0;
}

int CHeadlessShell::next_timeout_ms() const {
    if (timers_.empty()) return 1000;
    uint64_t now = os_mono_ms();
    uint64_t soonest = UINT64_MAX;
    for (const auto &t : timers_) soonest = std::min(soonest, t.second.due_ms);
    return soonest <= now ? 0 : int(std::min<uint64_t>(soonest - now, 1000));
}

void CHeadlessShell::run_due_timers() {
    uint64_t now = os_mono_ms();
    // Collect first: a timer callback may set or kill timers.
    std::vector<int> due;
    for (auto &t : timers_)
        if (t.second.due_ms <= now) due.push_back(t.first);
    for (int id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end() || ended_) continue;
        it->second.due_ms = now + uint64_t(it->second.period_ms);
        core_->OnTimer(id);
    }
}

void CHeadlessShell::set_timer(int id, int ms) {
    timers_[id] = {ms, os_mono_ms() + uint64_t(ms)};
}

void CHeadlessShell::kill_timer(int id) {
    timers_.erase(id);
}

void CHeadlessShell::end_main_window() {
    std::lock_guard<std::mutex> g(lock_);
    ended_ = true;
    handled_.notify_all();
}

void CHeadlessShell::status_applied(int status, int unpair_reason) {
    if (status == STATUS_IDLE)
        printf("status: %s (unpair reason %d)\n", pair_status_name(status), unpair_reason);
    else
        printf("status: %s\n", pair_status_name(status));
    fflush(stdout);
}

bool CHeadlessShell::update_tray(tray_icon, const std::string &, const std::string &balloon) {
    if (!balloon.empty()) {
        printf("notice: %s\n", balloon.c_str());
        fflush(stdout);
    }
    return true;
}

void CHeadlessShell::message_box(int text_id, int, box_icon) {
    printf("message: %s\n", LoadLangString(text_id).c_str());
    fflush(stdout);
}

void CHeadlessShell::select_default_endpoint() {
    // The desktop's default device is left to the user in the headless program.
}

int CHeadlessShell::run_pair_code_dialog(std::string *code) {
    for (;;) {
        if (pair_code_cancelled_) return -1;
        printf("%s\n", LoadLangString(IDS_ENTER_PAIR_CODE).c_str());
        fflush(stdout);
        // Read one line, watching for a cancel from the main thread.
        for (;;) {
            size_t nl = stdin_line_.find('\n');
            if (nl != std::string::npos) break;
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {cancel_fd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents & POLLIN) {
                drain(cancel_fd_);
                return -1;
            }
            char buf[256];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) return -1;  // end of input cancels
            stdin_line_.append(buf, size_t(n));
            if (stdin_line_.size() > 4096) stdin_line_.clear();  // not a code: drop it
        }
        size_t nl = stdin_line_.find('\n');
        std::string line = stdin_line_.substr(0, nl);
        stdin_line_.erase(0, nl + 1);
        while (!line.empty() && isspace((unsigned char)line.back())) line.pop_back();
        if (line.empty()) return -1;
        bool digits = line.size() == PAIR_CODE_LENGTH;
        for (char c : line) digits = digits && isdigit((unsigned char)c);
        if (digits) {
            *code = line;
            return 1;
        }
        printf("the pairing code has %zu digits\n", PAIR_CODE_LENGTH);
    }
}

void CHeadlessShell::cancel_pair_code_dialog() {
    pair_code_cancelled_ = true;
    uint64_t one = 1;
    (void)!write(cancel_fd_, &one, sizeof one);
}

void CHeadlessShell::arm_pair_code_dialog() {
    pair_code_cancelled_ = false;
    drain(cancel_fd_);
}
