// A duvo_link whose send hook records every frame, a settable clock for its
// lists, and a capture of log lines.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/duvo_link.h"
#include "platform/log.h"

using bytes = std::vector<uint8_t>;

inline bytes B(std::initializer_list<int> v) {
    bytes b;
    for (int x : v) b.push_back(uint8_t(x));
    return b;
}

inline bytes cat(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Text with its terminating NUL, as JSON bodies travel.
inline bytes text_z(const std::string &s) {
    bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

inline bytes le32(uint32_t v) {
    return B({int(v & 0xff), int(v >> 8 & 0xff), int(v >> 16 & 0xff), int(v >> 24)});
}

// New-framing header.
inline bytes hdr(int id, int kind, int ver, uint32_t seq, uint32_t len) {
    return cat(cat(B({id, kind, 0, ver}), le32(seq)), le32(len));
}
inline bytes new_msg(int id, uint32_t seq, const bytes &body, int ver = 2) {
    return cat(hdr(id, 0, ver, seq, uint32_t(body.size())), body);
}
inline bytes old_msg(int id, const bytes &body) {
    return cat(B({id, int(body.size())}), body);
}

struct LogCapture {
    static std::vector<std::string> &lines() {
        static std::vector<std::string> l;
        return l;
    }
    static void narrow(int, int, const char *fmt, va_list ap) {
        char buf[1024];
        vsnprintf(buf, sizeof buf, fmt, ap);
        lines().push_back(buf);
    }
    static void wide(int, int, const wchar_t *, va_list) {}
    LogCapture() {
        lines().clear();
        log_set_callbacks(narrow, wide);
    }
    ~LogCapture() { log_clear_callbacks(); }
    bool has(const std::string &needle) const {
        for (const std::string &l : lines())
            if (l.find(needle) != std::string::npos) return true;
        return false;
    }
};

struct WireLink {
    duvo_link link;
    std::vector<bytes> sent;
    int send_result = 1;  // 0 or negative: the transport fails
    int socket = 1;
    uint64_t now = 1000000;
    std::vector<int> statuses;

    static int send_hook(void *ctx, const uint8_t *buf, size_t len) {
        WireLink *w = static_cast<WireLink *>(ctx);
        w->sent.emplace_back(buf, buf + len);
        return w->send_result > 0 ? int(len) : w->send_result;
    }
    static int socket_hook(void *ctx) { return static_cast<WireLink *>(ctx)->socket; }
    static uint64_t clock(void *ctx) { return static_cast<WireLink *>(ctx)->now; }
    static void status_hook(void *ctx, int s) {
        static_cast<WireLink *>(ctx)->statuses.push_back(s);
    }

    explicit WireLink(int msg_version = 0) {
        duvo_link_hooks h{};
        h.send = send_hook;
        h.has_socket = socket_hook;
        h.status_changed = status_hook;
        h.ctx = this;
        duvo_link_init(&link, &h);
        link.sent_list.SetClock(clock, this);
        link.recv_list.SetClock(clock, this);
        link.msg_version = msg_version;
    }
    ~WireLink() { duvo_link_deinit(&link); }
};
