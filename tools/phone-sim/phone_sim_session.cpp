#include "tools/phone-sim/phone_sim_session.h"

#include <random>

#include "link/duvo_cmd.h"
#include "link/duvo_wire.h"

namespace {

constexpr uint8_t KIND_DATA = DUVO_KIND_DATA;
constexpr uint8_t KIND_ACK = DUVO_KIND_ACK;

const phone_sim_printer *out(const phone_sim_session *s) {
    return &s->phone->printer;
}

std::string random_code() {
    std::random_device rd;
    std::uniform_int_distribution<int> digit(0, 9);
    std::string code;
    for (int i = 0; i < PHONE_SIM_PAIR_CODE_DIGITS; i++) code += char('0' + digit(rd));
    return code;
}

void print_msg(const phone_sim_session *s, const char *dir, uint8_t id, bool framed_new,
               uint32_t seq, const uint8_t *body, size_t len, const char *note) {
    std::string name = phone_sim_cmd_name(id);
    std::string text = note ? note : phone_sim_body_text(body, len);
    std::string where = framed_new ? "seq=" + std::to_string(seq) : "old";
    phone_sim_print(out(s), "%s %s %s%s%s", dir, name.c_str(), where.c_str(),
                    text.empty() ? "" : " ", text.c_str());
}

int raw_send(phone_sim_session *s, const uint8_t *buf, size_t len) {
    int ret = s->io.send ? s->io.send(s->io.ctx, buf, len) : -1;
    if (ret <= 0) phone_sim_print(out(s), "! send failed (%d)", ret);
    return ret;
}

void send_ack(phone_sim_session *s, const duvo_new_header *rx) {
    if (s->silent) return;
    duvo_new_header h = *rx;
    h.kind = KIND_ACK;
    h.reserved = 0;
    h.len = 0;
    uint8_t frame[DUVO_NEW_HEADER_SIZE];
    duvo_encode_new_header(frame, &h);
    phone_sim_print(out(s), "-> ack %s seq=%u", phone_sim_cmd_name(h.id).c_str(), h.seq);
    raw_send(s, frame, sizeof frame);
}

int send_bytes(phone_sim_session *s, uint8_t id, const phone_sim_bytes &body) {
    return phone_sim_session_send(s, id, body.data(), body.size());
}

void send_active_answer(phone_sim_session *s) {
    switch (s->phone->opts.active) {
        case PHONE_SIM_ACTIVE_OK:
            phone_sim_session_send(s, DUVO_CMD_P2C_ACTIVE_OK, nullptr, 0);
            break;
        case PHONE_SIM_ACTIVE_FAILED:
            phone_sim_session_send(s, DUVO_CMD_P2C_ACTIVE_FAILED, nullptr, 0);
            break;
        case PHONE_SIM_ACTIVE_NONE:
            break;
    }
}

void send_dev_info(phone_sim_session *s) {
    const phone_sim_options *o = &s->phone->opts;
    if (s->tx_new) {
        send_bytes(s, DUVO_CMD_P2C_DEV_INFO, phone_sim_dev_info_body(o));
        return;
    }
    // An old phone tells its identity in four messages, the revision last.
    send_bytes(s, DUVO_CMD_P2C_DEV_NAME, phone_sim_text_body(o->device_name));
    send_bytes(s, DUVO_CMD_P2C_DEV_VID, phone_sim_u16_net_body(o->device_vid));
    send_bytes(s, DUVO_CMD_P2C_DEV_PID, phone_sim_u16_net_body(o->device_pid));
    send_bytes(s, DUVO_CMD_P2C_DEV_REV, phone_sim_u16_net_body(o->device_rev));
}

void handle_pin(phone_sim_session *s, bool ver_new, const uint8_t *body, size_t len) {
    std::string code;
    int result = 1;
    if (phone_sim_read_pair_code(ver_new, body, len, &code) != 0) {
        phone_sim_print(out(s), "! pairing code missing in the PC's message");
    } else if (code == s->phone->pair_code) {
        result = 0;
        phone_sim_print(out(s), "# pairing code accepted");
    } else {
        phone_sim_print(out(s), "# pairing code rejected: '%s'", code.c_str());
    }
    send_bytes(s, DUVO_CMD_P2C_VERIFICATION_RESULT, phone_sim_verification_body(s->tx_new, result));
}

void remember_conv_id(phone_sim_session *s, bool ver_new, const uint8_t *body, size_t len) {
    std::string id;
    if (!s->phone->opts.remember_conv_id) return;
    if (phone_sim_read_conv_id(ver_new, body, len, &id) == 0 && !id.empty()) {
        s->phone->pair_conv_id = id;
        phone_sim_print(out(s), "# paired with conversation id %s", id.c_str());
    }
}

void handle_device_active(phone_sim_session *s, bool ver_new, const uint8_t *body, size_t len) {
    phone_sim_device_active req;
    if (phone_sim_read_device_active(ver_new, body, len, &req) != 0) {
        phone_sim_print(out(s), "! DUVO_CMD_C2P_DEVICE_ACTIVE without an RTP port, dropped");
        return;
    }
    req.pc_ip = s->peer_ip;
    const phone_sim_media_hooks &m = s->phone->media;
    if (!m.device_active) {
        phone_sim_print(out(s), "# no media endpoint: PC media port %u not answered",
                        req.pc_rtp_port);
        return;
    }
    phone_sim_call_start answer;
    if (m.device_active(m.ctx, &req, &answer) != 1) return;
    s->media_active = true;
    send_bytes(s, DUVO_CMD_P2C_CALL_START,
               phone_sim_call_start_body(s->tx_new, answer.rtp_port, answer.srtp_key));
}

// One command from the PC. ver_new: it came in the new framing.
int handle(phone_sim_session *s, uint8_t id, bool ver_new, const uint8_t *body, size_t len) {
    const phone_sim_options *o = &s->phone->opts;
    switch (id) {
        case DUVO_CMD_C2P_DETECT_NEW_FORMATE:
            if (!o->new_format) break;  // an old phone does not know it
            phone_sim_session_send(s, DUVO_CMD_P2C_NOTIFY_SUPPORT_XML, nullptr, 0);
            s->tx_new = true;
            s->rx_new = true;
            break;
        case DUVO_CMD_C2P_PAIR_DETECT:
            send_bytes(s, DUVO_CMD_P2C_PAIRED_INFO,
                       phone_sim_paired_info_body(s->tx_new, o, s->phone->pair_conv_id));
            break;
        case DUVO_CMD_C2P_GET_PAIRING_MODE:
            if (s->phone->pair_mode == 1)
                phone_sim_print(out(s), "pairing code: %s", s->phone->pair_code.c_str());
            send_bytes(s, DUVO_CMD_P2C_PAIRING_MODE_RESULT,
                       phone_sim_pair_mode_body(s->tx_new, s->phone->pair_mode));
            break;
        case DUVO_CMD_C2P_PIN_VERIFICATION:
            handle_pin(s, ver_new, body, len);
            break;
        case DUVO_CMD_C2P_GET_DEV_INFO:
            send_dev_info(s);
            break;
        case DUVO_CMD_C2P_DUVO_CFG:
            remember_conv_id(s, ver_new, body, len);
            send_active_answer(s);
            break;
        case DUVO_CMD_C2P_PAIR_CONV_ID:
            // Last of the old-format identity messages.
            remember_conv_id(s, false, body, len);
            send_active_answer(s);
            break;
        case DUVO_CMD_C2P_KEEP_ALIVE:
            if (o->answer_keepalive)
                phone_sim_session_send(s, DUVO_CMD_P2C_KEEP_ALIVE_RESPONSE, nullptr, 0);
            break;
        case DUVO_CMD_C2P_DEVICE_ACTIVE:
            handle_device_active(s, ver_new, body, len);
            break;
        case DUVO_CMD_C2P_DEVICE_UN_ACTIVE:
            if (s->media_active && s->phone->media.device_un_active)
                s->phone->media.device_un_active(s->phone->media.ctx);
            s->media_active = false;
            break;
        case DUVO_CMD_COM_CLOSE_FD:
            phone_sim_print(out(s), "# the PC closes the connection");
            return PHONE_SIM_CLOSE;
        default:
            break;  // shown in the log, nothing to answer
    }
    return PHONE_SIM_KEEP;
}

// Parses whole messages from the front of buf. Returns the bytes used; sets
// *result when a command closes the connection; -1 for a header no message
// of this protocol can have.
long parse_messages(phone_sim_session *s, const uint8_t *buf, size_t len, int *result) {
    size_t off = 0;
    while (off < len && *result == PHONE_SIM_KEEP) {
        const uint8_t *p = buf + off;
        size_t left = len - off;
        if (!s->rx_new) {
            if (left < DUVO_OLD_HEADER_SIZE) break;
            size_t blen = p[1];
            if (left < DUVO_OLD_HEADER_SIZE + blen) break;
            const uint8_t *body = blen ? p + DUVO_OLD_HEADER_SIZE : nullptr;
            print_msg(s, "<-", p[0], false, 0, body, blen, nullptr);
            *result = handle(s, p[0], false, body, blen);
            off += DUVO_OLD_HEADER_SIZE + blen;
            continue;
        }
        if (left < DUVO_NEW_HEADER_SIZE) break;
        duvo_new_header h;
        duvo_decode_new_header(p, &h);
        if (h.len > DUVO_NEW_BODY_MAX) {
            phone_sim_print(out(s), "! header of %s announces %u body bytes, rest of input dropped",
                            phone_sim_cmd_name(h.id).c_str(), h.len);
            return -1;
        }
        if (left < DUVO_NEW_HEADER_SIZE + h.len) break;
        const uint8_t *body = h.len ? p + DUVO_NEW_HEADER_SIZE : nullptr;
        off += DUVO_NEW_HEADER_SIZE + h.len;
        if (h.kind == KIND_ACK) {
            phone_sim_print(out(s), "<- ack %s seq=%u", phone_sim_cmd_name(h.id).c_str(), h.seq);
            s->sent_list.RemoveAcked(p);
            continue;
        }
        if (h.kind != KIND_DATA) {
            print_msg(s, "<-", h.id, true, h.seq, nullptr, 0, "unknown kind, handled without body");
            *result = handle(s, h.id, true, nullptr, 0);
            continue;
        }
        // A repeat is acknowledged again (the first ack may be lost) but not handled.
        if (s->recv_list.Contains(p)) {
            print_msg(s, "<-", h.id, true, h.seq, nullptr, 0, "dup");
            send_ack(s, &h);
            continue;
        }
        s->recv_list.Add(p, nullptr, 0);
        print_msg(s, "<-", h.id, true, h.seq, body, h.len, nullptr);
        send_ack(s, &h);
        *result = handle(s, h.id, true, body, h.len);
    }
    return long(off);
}

}  // namespace

void phone_sim_phone_init(phone_sim_phone *phone, const phone_sim_options *opts,
                          const phone_sim_printer *printer, const phone_sim_media_hooks *media) {
    phone->opts = *opts;
    phone->pair_mode = opts->pair_mode;
    phone->pair_code = opts->pair_code.empty() ? random_code() : opts->pair_code;
    phone->pair_conv_id = opts->pair_conv_id;
    phone->printer = printer ? *printer : phone_sim_stdout_printer();
    phone->media = media ? *media : phone_sim_media_hooks{};
}

void phone_sim_session_init(phone_sim_session *s, phone_sim_phone *phone, const phone_sim_io *io,
                            const std::string &peer_ip) {
    s->phone = phone;
    s->io = *io;
    s->peer_ip = peer_ip;
    s->rx_new = s->tx_new = false;
    s->tx_seq = 0;
    s->silent = false;
    s->media_active = false;
    s->sent_list.Clear();
    s->recv_list.Clear();
    s->rx_pending.clear();
}

void phone_sim_session_deinit(phone_sim_session *s) {
    if (s->phone && s->phone->media.connection_closed)
        s->phone->media.connection_closed(s->phone->media.ctx);
    s->media_active = false;
    s->sent_list.Clear();
    s->recv_list.Clear();
    s->rx_pending.clear();
}

int phone_sim_session_feed(phone_sim_session *s, const uint8_t *data, size_t len) {
    int result = PHONE_SIM_KEEP;
    const uint8_t *buf = data;
    size_t n = len;
    std::vector<uint8_t> joined;
    if (!s->rx_pending.empty()) {
        joined = s->rx_pending;
        joined.insert(joined.end(), data, data + len);
        buf = joined.data();
        n = joined.size();
    }
    long used = parse_messages(s, buf, n, &result);
    if (used < 0) {
        s->rx_pending.clear();
        return result;
    }
    if (result != PHONE_SIM_KEEP) {
        s->rx_pending.clear();
        return result;
    }
    // What is left is the start of one message: shorter than the largest one.
    s->rx_pending.assign(buf + used, buf + n);
    return result;
}

void phone_sim_session_tick(phone_sim_session *s) {
    uint8_t frame[MSG_LIST_FRAME_MAX];
    size_t n = 0;
    while (s->sent_list.TakeDue(frame, &n) == 1) {
        if (s->silent) continue;
        duvo_new_header h;
        duvo_decode_new_header(frame, &h);
        print_msg(s, "->", h.id, true, h.seq, nullptr, 0, "resend");
        raw_send(s, frame, n);
    }
    s->recv_list.Purge();
    s->sent_list.Purge();
}

int phone_sim_session_send(phone_sim_session *s, uint8_t id, const uint8_t *body, size_t len) {
    if (s->silent) {
        phone_sim_print(out(s), "# silent, not sent: %s", phone_sim_cmd_name(id).c_str());
        return -1;
    }
    if (len == 0) body = nullptr;
    uint8_t frame[DUVO_MSG_MAX];
    size_t n = 0;
    if (s->tx_new) {
        duvo_new_header h{
            id, KIND_DATA, 0, uint8_t(s->phone->opts.format_version), s->tx_seq + 1, uint32_t(len)};
        n = duvo_frame_new(frame, sizeof frame, &h, body);
        if (n == 0) {
            phone_sim_print(out(s), "! %s body of %zu bytes too long, not sent",
                            phone_sim_cmd_name(id).c_str(), len);
            return -1;
        }
        s->tx_seq++;
        print_msg(s, "->", id, true, h.seq, body, len, nullptr);
        s->sent_list.Add(frame, body, len);
    } else {
        n = duvo_frame_old(frame, sizeof frame, id, body, len);
        if (n == 0) {
            phone_sim_print(out(s), "! %s body of %zu bytes too long for the old framing, not sent",
                            phone_sim_cmd_name(id).c_str(), len);
            return -1;
        }
        print_msg(s, "->", id, false, 0, body, len, nullptr);
    }
    return raw_send(s, frame, n);
}

int phone_sim_session_command(phone_sim_session *s, const phone_sim_command *cmd) {
    switch (cmd->kind) {
        case PHONE_SIM_CMD_HANGUP:
            send_bytes(s, DUVO_CMD_P2C_CALL_END, phone_sim_call_end_body(s->tx_new, 1));
            break;
        case PHONE_SIM_CMD_ZOOM:
            send_bytes(s, DUVO_CMD_P2C_ZOOM_COMMAND, phone_sim_zoom_body(cmd->arg1, cmd->arg2));
            break;
        case PHONE_SIM_CMD_UNPAIR:
            phone_sim_session_send(s, DUVO_CMD_COM_UN_PAIR, nullptr, 0);
            break;
        case PHONE_SIM_CMD_PAIR_MODE_SWITCH:
            s->phone->pair_mode = cmd->arg1;
            send_bytes(s, DUVO_CMD_P2C_PAIR_MODE_SWITCH,
                       phone_sim_pair_mode_body(s->tx_new, cmd->arg1));
            break;
        case PHONE_SIM_CMD_ACTIVE_OK:
            phone_sim_session_send(s, DUVO_CMD_P2C_ACTIVE_OK, nullptr, 0);
            break;
        case PHONE_SIM_CMD_ACTIVE_FAILED:
            phone_sim_session_send(s, DUVO_CMD_P2C_ACTIVE_FAILED, nullptr, 0);
            break;
        case PHONE_SIM_CMD_SEND:
            if (cmd->body_kind == PHONE_SIM_BODY_JSON) {
                std::string text(cmd->body.begin(), cmd->body.end());
                send_bytes(s, cmd->id, phone_sim_json_body(text));
            } else {
                phone_sim_session_send(s, cmd->id, cmd->body.data(), cmd->body.size());
            }
            break;
        case PHONE_SIM_CMD_SILENT:
            s->silent = true;
            phone_sim_print(out(s), "# silent");
            break;
        case PHONE_SIM_CMD_TALK:
            s->silent = false;
            phone_sim_print(out(s), "# talking again");
            break;
        case PHONE_SIM_CMD_REKEY:
            if (s->media_active && s->phone->media.rekey)
                s->phone->media.rekey(s->phone->media.ctx);
            else
                phone_sim_print(out(s), "! rekey: no media stream");
            break;
        case PHONE_SIM_CMD_CLOSE:
            return PHONE_SIM_CLOSE;
        case PHONE_SIM_CMD_QUIT:
            return PHONE_SIM_QUIT;
        case PHONE_SIM_CMD_NONE:
        case PHONE_SIM_CMD_SLEEP:
            break;
    }
    return PHONE_SIM_KEEP;
}
