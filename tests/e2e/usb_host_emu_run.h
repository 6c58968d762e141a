// Runs usb-host-emu against an export server and keeps its "key: value" output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

struct run_result {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string out;
    bool has(const std::string &line) const { return out.find(line) != std::string::npos; }
    // The number after "key " on the line that starts with prefix.
    long number(const std::string &prefix, const std::string &key) const {
        size_t at = out.find(prefix);
        if (at == std::string::npos) return -1;
        size_t end = out.find('\n', at);
        std::string line = out.substr(at, end - at);
        size_t k = line.find(" " + key + " ");
        return k == std::string::npos ? -1 : strtol(line.c_str() + k + key.size() + 2, nullptr, 10);
    }
};

inline run_result run_usb_host_emu(int port, const std::string &args) {
    std::string cmd = std::string(OSTRELLE_BIN_DIR) + "/usb-host-emu --port " +
                      std::to_string(port) + " " + args + " 2>&1";
    run_result r;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) return r;
    char buf[1024];
    while (fgets(buf, sizeof buf, f)) r.out += buf;
    int rc = pclose(f);
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return r;
}
