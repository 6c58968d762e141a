// Collects the program log lines written during a media test.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"

class MediaLogCapture {
  public:
    MediaLogCapture() {
        clear();
        log_set_callbacks(&MediaLogCapture::narrow, nullptr);
    }
    ~MediaLogCapture() { log_clear_callbacks(); }

    static std::string text() {
        std::lock_guard<std::mutex> g(mutex());
        std::string all;
        for (const auto &l : lines()) all += l;
        return all;
    }
    static int count(const std::string &line) {
        std::lock_guard<std::mutex> g(mutex());
        int n = 0;
        for (const auto &l : lines()) n += l.find(line) != std::string::npos;
        return n;
    }
    static void clear() {
        std::lock_guard<std::mutex> g(mutex());
        lines().clear();
    }

  private:
    static void narrow(int, int, const char *fmt, va_list ap) {
        char buf[8192];
        vsnprintf(buf, sizeof buf, fmt, ap);
        std::lock_guard<std::mutex> g(mutex());
        lines().emplace_back(buf);
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
