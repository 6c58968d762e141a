// phone-sim: plays the phone's side of the link for tests and the demo.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "tools/phone-sim/phone_sim_call.h"
#include "tools/phone-sim/phone_sim_options.h"
#include "tools/phone-sim/phone_sim_server.h"

namespace {

constexpr int INPUT_WAIT_MS = 100;  // helpers see the end of the simulator this fast
constexpr size_t INPUT_LINE_MAX = 64 * 1024;

bool has_quit(phone_sim_server *srv) {
    return phone_sim_server_wait(srv, 0) == 1;
}

// Turns SIGINT and SIGTERM into a quit command, so the connection is closed
// properly.
void wait_for_signals(phone_sim_server *srv, sigset_t set) {
    const timespec step{0, INPUT_WAIT_MS * 1000L * 1000L};
    while (!has_quit(srv)) {
        if (sigtimedwait(&set, nullptr, &step) > 0) phone_sim_server_command(srv, "quit");
    }
}

// Standard input, read without blocking past the simulator's end. Its end
// leaves the simulator running: it may be driven by the PC alone.
void read_stdin(phone_sim_server *srv) {
    std::string pending;
    int line_no = 0;
    while (!has_quit(srv)) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, INPUT_WAIT_MS) <= 0) continue;
        char buf[4096];
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) return;
        pending.append(buf, size_t(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            if (phone_sim_script_line(srv, pending.substr(0, nl), ++line_no) == 2) return;
            pending.erase(0, nl + 1);
        }
        if (pending.size() > INPUT_LINE_MAX) {
            fprintf(stderr, "phone-sim: input line longer than %zu bytes dropped\n",
                    INPUT_LINE_MAX);
            pending.clear();
        }
    }
}

void read_script(phone_sim_server *srv, const std::string &path) {
    FILE *in = fopen(path.c_str(), "r");
    if (!in) {
        fprintf(stderr, "phone-sim: cannot open script %s\n", path.c_str());
        phone_sim_server_command(srv, "quit");
        return;
    }
    phone_sim_run_script(srv, in);
    fclose(in);
}

}  // namespace

int main(int argc, char **argv) {
    phone_sim_options opts;
    std::string msg;
    int r = phone_sim_parse_args(argc, argv, &opts, &msg);
    if (r == 1) {
        fputs(msg.c_str(), stdout);
        return 0;
    }
    if (r != 0) {
        fprintf(stderr, "phone-sim: %s (see --help)\n", msg.c_str());
        return 2;
    }

    // Every thread started from here on inherits the blocked signals.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    phone_sim_printer printer = phone_sim_stdout_printer();
    phone_sim_call *call = phone_sim_call_create(&opts, &printer);
    if (!call) {
        fprintf(stderr, "phone-sim: the media library could not start\n");
        return 1;
    }
    phone_sim_media_hooks media = phone_sim_call_hooks(call);
    phone_sim_server *srv = nullptr;
    if (phone_sim_server_start(&srv, &opts, nullptr, &media) != 0) {
        phone_sim_call_destroy(call);
        return 1;
    }

    std::thread signals(wait_for_signals, srv, set);
    std::thread input = opts.script.empty() ? std::thread(read_stdin, srv)
                                            : std::thread(read_script, srv, opts.script);
    phone_sim_server_wait(srv, -1);
    input.join();
    signals.join();
    phone_sim_server_stop(srv);
    phone_sim_call_destroy(call);
    return 0;
}
