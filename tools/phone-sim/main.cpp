// phone-sim: plays the phone's side of the link for tests and the demo.
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "tools/phone-sim/phone_sim_options.h"
#include "tools/phone-sim/phone_sim_server.h"

namespace {

// Turns SIGINT and SIGTERM into a quit command, so the connection is closed
// properly.
void wait_for_signals(phone_sim_server *srv, sigset_t set) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0) phone_sim_server_command(srv, "quit");
}

void read_commands(phone_sim_server *srv, std::string path) {
    if (path.empty()) {
        phone_sim_run_script(srv, stdin);
        return;
    }
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
        fprintf(stderr, "phone-sim: %s\n%s", msg.c_str(), phone_sim_usage());
        return 2;
    }

    // Every thread started from here on inherits the blocked signals.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // No media endpoint yet: DUVO_CMD_C2P_DEVICE_ACTIVE is logged and left
    // unanswered. A media endpoint passes its phone_sim_media_hooks here.
    phone_sim_server *srv = nullptr;
    if (phone_sim_server_start(&srv, &opts, nullptr, nullptr) != 0) return 1;

    // Both helpers may sit in a blocking call when the simulator quits; the
    // process ends around them.
    std::thread(wait_for_signals, srv, set).detach();
    std::thread(read_commands, srv, opts.script).detach();

    phone_sim_server_wait(srv, -1);
    fflush(stdout);
    return 0;
}
