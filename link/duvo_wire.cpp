#include "link/duvo_wire.h"

#include <cstring>

#include "link/duvo_cmd.h"
#include "platform/log.h"

namespace {

uint32_t get_u32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_u32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

int has_socket(const duvo_link *link) {
    return link->hooks.has_socket ? link->hooks.has_socket(link->hooks.ctx) : 1;
}

}  // namespace

void duvo_decode_new_header(const uint8_t *p, duvo_new_header *h) {
    h->id = p[0];
    h->kind = p[1];
    h->reserved = p[2];
    h->version = p[3];
    h->seq = get_u32(p + 4);
    h->len = get_u32(p + 8);
}

void duvo_encode_new_header(uint8_t *p, const duvo_new_header *h) {
    p[0] = h->id;
    p[1] = h->kind;
    p[2] = h->reserved;
    p[3] = h->version;
    put_u32(p + 4, h->seq);
    put_u32(p + 8, h->len);
}

size_t duvo_frame_new(uint8_t *out, size_t cap, const duvo_new_header *h, const void *body) {
    size_t len = h->len;
    if (len > DUVO_NEW_BODY_MAX || cap < DUVO_NEW_HEADER_SIZE + len) return 0;
    duvo_encode_new_header(out, h);
    if (len) std::memcpy(out + DUVO_NEW_HEADER_SIZE, body, len);
    return DUVO_NEW_HEADER_SIZE + len;
}

size_t duvo_frame_old(uint8_t *out, size_t cap, uint8_t id, const void *body, size_t len) {
    if (len > DUVO_OLD_BODY_MAX || cap < DUVO_OLD_HEADER_SIZE + len) return 0;
    out[0] = id;
    out[1] = uint8_t(len);
    if (len) std::memcpy(out + DUVO_OLD_HEADER_SIZE, body, len);
    return DUVO_OLD_HEADER_SIZE + len;
}

int duvo_send_cmd(duvo_link *link, size_t len, const void *body, uint8_t id) {
    if (id != DUVO_CMD_C2P_KEEP_ALIVE)
        log_print(0, LL_INFO, "Send cmd(0x%x: %s) to phone\n", id, duvo_cmd_name(id));
    if (!body) len = 0;
    // This send opens a new connection: old framing, and nothing left over
    // from the previous one.
    if (!has_socket(link)) duvo_link_connection_reset(link);

    uint8_t frame[DUVO_MSG_MAX];
    int ret;
    if (link->msg_version != 0) {
        if (len > DUVO_NEW_BODY_MAX) {
            log_print(0, LL_ERR, "Send cmd(0x%x: %s) body of %zu bytes too long, not sent\n", id,
                      duvo_cmd_name(id), len);
            return -1;
        }
        link->tx_seq += 1;
        duvo_new_header h{id,           DUVO_KIND_DATA, 0, DUVO_PC_FORMAT_VERSION,
                          link->tx_seq, uint32_t(len)};
        size_t n = duvo_frame_new(frame, sizeof frame, &h, body);
        ret = link->hooks.send(link->hooks.ctx, frame, n);
        link->sent_list.Add(frame, frame + DUVO_NEW_HEADER_SIZE, len);
    } else {
        if (len > DUVO_OLD_BODY_MAX) {
            log_print(0, LL_WARN, "Send cmd(0x%x: %s) body cut from %zu to %zu bytes\n", id,
                      duvo_cmd_name(id), len, DUVO_OLD_BODY_MAX);
            len = DUVO_OLD_BODY_MAX;
        }
        size_t n = duvo_frame_old(frame, sizeof frame, id, body, len);
        ret = link->hooks.send(link->hooks.ctx, frame, n);
    }
    if (ret <= 0)
        log_print(0, LL_ERR, "Send cmd(0x%x: %s) to phone fail, ret:%d\n", id, duvo_cmd_name(id),
                  ret);
    return ret;
}

int duvo_send_ack(duvo_link *link, const uint8_t *header) {
    duvo_new_header h;
    duvo_decode_new_header(header, &h);
    h.kind = DUVO_KIND_ACK;
    h.reserved = 0;
    h.len = 0;
    uint8_t frame[DUVO_NEW_HEADER_SIZE];
    duvo_encode_new_header(frame, &h);
    return link->hooks.send(link->hooks.ctx, frame, sizeof frame);
}

int duvo_send_raw(duvo_link *link, const uint8_t *buf, size_t len) {
    if (!buf || len == 0) return 0;
    return link->hooks.send(link->hooks.ctx, buf, len);
}
