#include "link/duvo_parse.h"

#include <algorithm>
#include <cstring>

#include "link/duvo_cmd.h"
#include "link/duvo_wire.h"
#include "platform/log.h"

namespace {

size_t header_size(const duvo_link *link) {
    return link->msg_version != 0 ? DUVO_NEW_HEADER_SIZE : DUVO_OLD_HEADER_SIZE;
}

// Whole size of the message whose header is at p (header_size bytes), or 0
// when the header announces more than the protocol allows.
size_t message_size(const duvo_link *link, const uint8_t *p) {
    if (link->msg_version == 0) return DUVO_OLD_HEADER_SIZE + p[1];
    duvo_new_header h;
    duvo_decode_new_header(p, &h);
    if (h.len > DUVO_NEW_BODY_MAX) {
        log_print(0, LL_ERR, "recv cmd(0x%x: %s) announces %u body bytes (max %zu), read dropped\n",
                  h.id, duvo_cmd_name(h.id), h.len, DUVO_NEW_BODY_MAX);
        return 0;
    }
    return DUVO_NEW_HEADER_SIZE + h.len;
}

void log_recv(uint8_t id, size_t read_len) {
    if (id == DUVO_CMD_P2C_KEEP_ALIVE_RESPONSE || id == DUVO_CMD_P2C_CALL_DTMF_VALUE) return;
    log_print(0, LL_INFO, "recv cmd(0x%x: %s) from phone, recv_len:%d\n", id, duvo_cmd_name(id),
              int(read_len));
}

int handle(duvo_link *link, uint8_t id, const uint8_t *body, size_t len) {
    link->rx_count += 1;
    if (!body) len = 0;
    if (!len) body = nullptr;
    if (link->hooks.handle_cmd)
        return link->hooks.handle_cmd(link->hooks.ctx, link, id, body, len) != 0;
    return 0;
}

// One whole message at p (size bytes). Returns 1 when it ended the session.
int process_message(duvo_link *link, const uint8_t *p, size_t size, size_t read_len) {
    int end = 0;
    if (link->msg_version == 0) {
        log_recv(p[0], read_len);
        end = handle(link, p[0], p + DUVO_OLD_HEADER_SIZE, size - DUVO_OLD_HEADER_SIZE);
    } else {
        duvo_new_header h;
        duvo_decode_new_header(p, &h);
        const uint8_t *body = p + DUVO_NEW_HEADER_SIZE;
        if (h.kind == DUVO_KIND_ACK) {
            link->sent_list.RemoveAcked(p);
        } else if (h.kind == DUVO_KIND_DATA) {
            duvo_send_ack(link, p);
            if (link->recv_list.Contains(p)) {
                log_print(0, LL_DEBUG, "recv cmd(0x%x: %s) seq %u again, skipped\n", h.id,
                          duvo_cmd_name(h.id), h.seq);
            } else {
                // Version 0 would switch the reader to the other framing in
                // the middle of a new-framed stream; such a byte is ignored.
                if (h.version != 0)
                    link->msg_version = h.version;
                else
                    log_print(0, LL_WARN, "recv cmd(0x%x) with format version 0 ignored\n", h.id);
                link->recv_list.Add(p, nullptr, 0);
                log_recv(h.id, read_len);
                end = handle(link, h.id, body, h.len);
            }
        } else {
            log_recv(h.id, read_len);
            end = handle(link, h.id, nullptr, 0);
        }
    }
    link->phone_alive = 1;
    if (end || link->end_session) {
        link->end_session = 1;
        return 1;
    }
    return 0;
}

// Completes the kept partial message from buf. Returns the bytes used, and
// sets *end when the message ended the session; *drop when the rest of the
// read must go.
size_t finish_tail(duvo_link *link, const uint8_t *buf, size_t len, size_t read_len, int *end,
                   int *drop) {
    size_t off = 0;
    size_t hs = header_size(link);
    if (link->rx_tail_len < hs) {
        size_t take = std::min(hs - link->rx_tail_len, len);
        std::memcpy(link->rx_tail + link->rx_tail_len, buf, take);
        link->rx_tail_len += take;
        off += take;
        if (link->rx_tail_len < hs) return off;
    }
    size_t size = message_size(link, link->rx_tail);
    if (size == 0) {
        link->rx_tail_len = 0;
        *drop = 1;
        return len;
    }
    size_t take = std::min(size - link->rx_tail_len, len - off);
    std::memcpy(link->rx_tail + link->rx_tail_len, buf + off, take);
    link->rx_tail_len += take;
    off += take;
    if (link->rx_tail_len < size) return off;
    // A copy, so that a handler that resets the link cannot change the bytes.
    uint8_t msg[DUVO_MSG_MAX];
    std::memcpy(msg, link->rx_tail, size);
    link->rx_tail_len = 0;
    *end = process_message(link, msg, size, read_len);
    return off;
}

void keep_tail(duvo_link *link, const uint8_t *p, size_t n) {
    // n is below one whole message, which never exceeds the tail buffer.
    std::memcpy(link->rx_tail, p, n);
    link->rx_tail_len = n;
}

}  // namespace

int duvo_parse(duvo_link *link, const uint8_t *buf, size_t len) {
    if (!buf) len = 0;
    size_t off = 0;
    if (link->rx_tail_len > 0 && len > 0) {
        int end = 0, drop = 0;
        off = finish_tail(link, buf, len, len, &end, &drop);
        if (end) return 1;
        if (drop) return 0;
        if (link->rx_tail_len > 0) return 0;  // still incomplete: all of buf went into it
    }
    while (off < len) {
        size_t avail = len - off;
        size_t hs = header_size(link);
        if (avail < hs) {
            keep_tail(link, buf + off, avail);
            break;
        }
        size_t size = message_size(link, buf + off);
        if (size == 0) break;
        if (avail < size) {
            keep_tail(link, buf + off, avail);
            break;
        }
        if (process_message(link, buf + off, size, len)) {
            link->rx_tail_len = 0;
            return 1;
        }
        off += size;
    }
    return 0;
}
