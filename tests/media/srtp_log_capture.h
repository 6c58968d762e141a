// Collects the SRTP layer's lines for the media tests.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "media/srtp_log.h"

class SrtpLogCapture {
  public:
    SrtpLogCapture() {
        clear();
        srtp_log_setup(9, &SrtpLogCapture::hook);
    }
    ~SrtpLogCapture() { srtp_log_shutdown(); }

    static std::string text() {
        std::lock_guard<std::mutex> g(mutex());
        std::string all;
        for (const auto &l : lines()) all += l;
        return all;
    }
    static void clear() {
        std::lock_guard<std::mutex> g(mutex());
        lines().clear();
    }

  private:
    static void hook(int, const char *text) {
        std::lock_guard<std::mutex> g(mutex());
        lines().emplace_back(text);
    }
    static std::mutex &mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string> &lines() {
        static std::vector<std::string> l;
        return l;
    }
};
