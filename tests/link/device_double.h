// A stand-in for the virtual USB device and its media record behind the
// session's device operations: records every call, fails where told to.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "link/session_device.h"

struct DeviceDouble {
    // Configuration.
    bool fail_init = false;
    bool fail_plugin = false;

    // What the session did, in order ("init", "plugin", "rtp_create", ...).
    std::vector<std::string> calls;
    std::string name;
    int vid = 0, pid = 0, rev = 0, srtp = -1, rate = -1;
    std::string gruu;
    int ctl_value = -1;
    int uc_keepalive = 0;
    session_hid_pending hid;
    std::mutex lock;

    void record(const std::string &c) {
        std::lock_guard<std::mutex> g(lock);
        calls.push_back(c);
    }
    bool called(const std::string &c) {
        std::lock_guard<std::mutex> g(lock);
        for (auto &x : calls)
            if (x == c) return true;
        return false;
    }

    // Installs this double as the device the session creates.
    void install();
    static void uninstall();
};
