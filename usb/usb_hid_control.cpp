#include "usb/usb_hid_control.h"

#include <cstring>
#include <new>

#include "link/bus/event_bus.h"
#include "link/bus/timer_container.h"
#include "media/audio_stream.h"
#include "platform/log.h"
#include "platform/os/os_time.h"
#include "usb/usb_device.h"
#include "usb/usb_pdu.h"
#include "usb/usb_phone_cmds.h"
#include "usb/usb_requests.h"

namespace {
constexpr uint8_t kReportUc = 3;
constexpr uint8_t kReportHandset = 6;
constexpr uint8_t kReport19 = 19;
constexpr uint8_t kReportTextSwitch = 20;
constexpr uint8_t kReportText = 21;
constexpr uint8_t kReportPresence = 22;
constexpr uint8_t kLastChunk = 0x80;
constexpr uint8_t kSwitchDspName = 6;
constexpr uint8_t kSwitchDlgInfo = 12;
constexpr int kMsgKeepAlive = 1;
constexpr int kMsgDismissHelp = 4;
constexpr int kMsgCredentials = 5;
constexpr int kMsgSignOut = 7;
constexpr int kChunkMiddle = 0;
constexpr int kChunkFirst = 1;
constexpr int kChunkLast = 2;
constexpr int kChunkSingle = 3;
constexpr size_t kFirstChunkData = 29;   // data[4..32]
constexpr size_t kMiddleChunkData = 31;  // data[2..32]
constexpr size_t kIntBuf = 1024;
constexpr int kWaitMs = 100;
constexpr uint8_t kMuteNibble = 1;
constexpr uint8_t kUnmuteNibble = 3;
constexpr size_t kUpdateBody = 2 * VUSB_DLG_TEXT_SIZE + 1;  // ids, name, incoming byte
const char kPcAudio[] = "PC Audio";

struct input_report {
    uint8_t bytes[3];
    int len;
    const char *log;
};
// Order of precedence: hang-up first, the mute switch last.
const input_report kHungup = {{0x01, 0x03, 0x00}, 3, "HID MSG: hungup\n"};
const input_report kVolUp = {{0x01, 0x01}, 2, "HID MSG: zoom increase volume request\n"};
const input_report kVolDown = {{0x01, 0x02}, 2, "HID MSG: zoom decrease volume request\n"};
const input_report kVolEnd = {{0x01, 0x00}, 2, "HID MSG: zoom increase volume request end\n"};
const input_report kMute1 = {{0x02, 0x01}, 2, "HID MSG: zoom mute switch setp 1.\n"};
const input_report kMute2 = {{0x02, 0x03}, 2, "HID MSG: zoom mute switch setp 2.\n"};

// Credentials: one set for the program.
struct cred_state {
    std::mutex mu;
    char slot[VUSB_CRED_SLOTS][VUSB_CRED_SLOT_SIZE];
    int index = 0;
    size_t total = 0;
    size_t len = 0;
};
cred_state g_cred;

uint8_t byte_at(const vbus_pdu *pdu, size_t k) {
    return usb_pdu_data_byte(pdu, k);
}

size_t min_size(size_t a, size_t b) {
    return a < b ? a : b;
}

// Copies up to n report bytes from data[from] on; returns the bytes copied.
size_t copy_data(const vbus_pdu *pdu, size_t from, uint8_t *dst, size_t n) {
    if (from >= pdu->data_len) return 0;
    n = min_size(n, pdu->data_len - from);
    memcpy(dst, pdu->data + from, n);
    return n;
}

void post(vusb_handle *h, uint32_t code, const void *body, size_t size) {
    duvo_event_post(body, size, h->event_socket, EVT_SEND_CMD, code, 0);
}

// Takes one unit of a pending count; false when none was pending.
bool take_count(std::atomic<int> &c) {
    int v = c.load();
    while (v > 0)
        if (c.compare_exchange_weak(v, v - 1)) return true;
    return false;
}

const input_report *take_pending(vusb_handle *h) {
    if (h->hungup.exchange(0)) return &kHungup;
    if (take_count(h->zoom_vol_up)) return &kVolUp;
    if (take_count(h->zoom_vol_down)) return &kVolDown;
    if (take_count(h->zoom_vol_end)) return &kVolEnd;
    int step = 1;
    if (h->zoom_mute_step.compare_exchange_strong(step, 2)) return &kMute1;
    step = 2;
    if (h->zoom_mute_step.compare_exchange_strong(step, 0)) return &kMute2;
    return nullptr;
}

// UTF-16LE text (zero-terminated within size bytes) to UTF-8 of at most max
// bytes plus a terminator; characters are never split.
void utf16_to_utf8(const uint8_t *src, size_t size, char *out, size_t max) {
    size_t o = 0;
    for (size_t i = 0; i + 1 < size;) {
        uint32_t c = src[i] | src[i + 1] << 8;
        i += 2;
        if (c == 0) break;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < size) {
            uint32_t lo = src[i] | src[i + 1] << 8;
            if (lo >= 0xDC00 && lo < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        uint8_t b[4];
        size_t n;
        if (c < 0x80) {
            b[0] = static_cast<uint8_t>(c);
            n = 1;
        } else if (c < 0x800) {
            b[0] = static_cast<uint8_t>(0xC0 | c >> 6);
            b[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            b[0] = static_cast<uint8_t>(0xE0 | c >> 12);
            b[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
            b[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            n = 3;
        } else {
            b[0] = static_cast<uint8_t>(0xF0 | c >> 18);
            b[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
            b[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
            b[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            n = 4;
        }
        if (o + n > max) break;
        memcpy(out + o, b, n);
        o += n;
    }
    out[o] = '\0';
}

// Copies UTF-8 text into a fixed field, zero-terminated; a text too long is
// cut before the character that does not fit, never inside it.
void set_field(char *dst, size_t size, const char *src) {
    size_t n = strnlen(src, size - 1);
    if (src[n] != '\0')
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
    memcpy(dst, src, n);
    memset(dst + n, 0, size - n);
}

void post_device_update(vusb_handle *h, const char *conv_id, const char *name, uint8_t incoming) {
    uint8_t body[kUpdateBody] = {};
    set_field(reinterpret_cast<char *>(body), VUSB_DLG_TEXT_SIZE, conv_id);
    set_field(reinterpret_cast<char *>(body) + VUSB_DLG_TEXT_SIZE, VUSB_DLG_TEXT_SIZE, name);
    body[2 * VUSB_DLG_TEXT_SIZE] = incoming;
    post(h, vusb_cmd::DUVO_CMD_C2P_DEVICE_UPDATE, body, sizeof body);
}

void post_mute(vusb_handle *h, uint8_t mute) {
    post(h, vusb_cmd::DUVO_CMD_C2P_CALL_MUTE_USER, &mute, 1);
}

int stream_active(vusb_handle *h) {
    return h->stream ? h->stream->dacvite.load() : 0;
}

// Clears the stream's call texts (and, when asked, its incoming-call mark).
void clear_stream_call(vusb_handle *h) {
    if (!h->stream) return;
    std::lock_guard<std::recursive_mutex> g(h->stream->mutex);
    memset(h->stream->conversation_id, 0, sizeof h->stream->conversation_id);
    memset(h->stream->display_name, 0, sizeof h->stream->display_name);
}

void uc_message(vusb_handle *h, const vbus_pdu *pdu) {
    uint8_t d0 = byte_at(pdu, 0), d1 = byte_at(pdu, 1);
    int order = d1 >> 6, msg = d1 & 0x0F;
    log_print(0, LL_ANY,
              "set_report, uc costom message ReportType: 0x%02x, ChunkOrder: 0x%02x, "
              "MessageID: %d\n",
              d0, order, msg);
    switch (msg) {
        case kMsgKeepAlive:
            h->uc_keepalive = 1;
            log_print(0, LL_DEBUG, "Lync keep alive :%d\n", 1);
            break;
        case kMsgDismissHelp:
            log_print(0, LL_INFO, "Dismiss signin Help\n");
            post(h, vusb_cmd::DUVO_CMD_C2P_CFG_CANCEL, nullptr, 0);
            break;
        case kMsgCredentials: {
            uint8_t d2 = byte_at(pdu, 2), d3 = byte_at(pdu, 3);
            log_print(0, LL_INFO, "HIDDEV: 4 Credentials: %x, size: %x\n", order, d2);
            std::lock_guard<std::mutex> g(g_cred.mu);
            // Each slot keeps room for a terminating zero byte.
            const size_t room = VUSB_CRED_SLOT_SIZE - 1;
            uint8_t *slot = reinterpret_cast<uint8_t *>(g_cred.slot[g_cred.index]);
            switch (order) {
                case kChunkFirst:
                    memset(slot, 0, VUSB_CRED_SLOT_SIZE);
                    copy_data(pdu, 4, slot, kFirstChunkData);
                    g_cred.total = static_cast<size_t>(d2 | d3 << 8);
                    g_cred.len = kFirstChunkData;
                    break;
                case kChunkMiddle:
                    if (g_cred.len + kMiddleChunkData < VUSB_CRED_SLOT_SIZE) {
                        copy_data(pdu, 2, slot + g_cred.len, kMiddleChunkData);
                        g_cred.len += kMiddleChunkData;
                    }
                    break;
                case kChunkLast: {
                    if (g_cred.total < VUSB_CRED_SLOT_SIZE && g_cred.total > g_cred.len) {
                        size_t n = min_size(g_cred.total - g_cred.len, room - g_cred.len);
                        copy_data(pdu, 2, slot + g_cred.len, n);
                    } else if (g_cred.total < g_cred.len) {
                        log_print(0, LL_WARN,
                                  "HIDDEV: credential total %zu below the %zu bytes held\n",
                                  g_cred.total, g_cred.len);
                    }
                    g_cred.index += 1;
                    break;
                }
                case kChunkSingle: {
                    memset(slot, 0, VUSB_CRED_SLOT_SIZE);
                    size_t n = static_cast<size_t>(d2 | d3 << 8);
                    if (n > room)
                        log_print(0, LL_WARN, "HIDDEV: credential of %zu bytes cut to %zu\n", n,
                                  room);
                    copy_data(pdu, 4, slot, min_size(n, room));
                    g_cred.index += 1;
                    break;
                }
            }
            if (g_cred.index >= VUSB_CRED_SLOTS) {
                log_print(0, LL_INFO, "Send sign in help data\n");
                char body[VUSB_CRED_SLOTS * VUSB_CRED_TEXT_SIZE] = {};
                // Each third carries up to its full 256 bytes; the receiver reads
                // at most that much, so no terminator is forced into it.
                for (int k = 0; k < VUSB_CRED_SLOTS; k++)
                    memcpy(body + k * VUSB_CRED_TEXT_SIZE, g_cred.slot[k],
                           strnlen(g_cred.slot[k], VUSB_CRED_TEXT_SIZE));
                post(h, vusb_cmd::DUVO_CMD_C2P_CFG_USER_INFO, body, sizeof body);
                g_cred.index = 0;
            }
            break;
        }
        case kMsgSignOut:
            log_print(0, LL_INFO, "SignOutDeskphoneUser\n");
            break;
        default:
            log_print(0, LL_ERR, "HIDDEV: Unknown Lync set report request!\n");
            break;
    }
}

void handset(vusb_handle *h, const vbus_pdu *pdu) {
    uint8_t d1 = byte_at(pdu, 1);
    if (d1 == 1) {
        log_print(0, LL_INFO, "HID: Handset off-hook on\n");
        h->is_pared_and_unsign_call = 1;
        return;
    }
    if (d1 != 0) {
        log_print(0, LL_DEBUG, "HID: Handset off-hook state unknown: 0x%02x\n", d1);
        return;
    }
    log_print(0, LL_INFO, "HID: Handset off-hook off\n");
    h->is_pared_and_unsign_call = 0;
    h->pc_audio_mute_sent = 0;
    clear_stream_call(h);
    if (!h->stream) return;
    std::lock_guard<std::recursive_mutex> g(h->stream->mutex);
    int active = h->stream->dacvite;
    log_print(0, LL_INFO, "HID: device_acvite=%d, inc_call_type=%d\n", active,
              h->stream->inc_call_type);
    if (active && h->stream->inc_call_type) {
        post_device_update(h, "", kPcAudio, 0);
        h->stream->inc_call_type = 0;
    }
}

uint8_t *current_text(vusb_handle *h) {
    return h->infostate == VUSB_INFO_DLGINFO ? h->dlg_info_text : h->display_name_text;
}

void text_switch(vusb_handle *h, const vbus_pdu *pdu) {
    uint8_t d0 = byte_at(pdu, 0), d1 = byte_at(pdu, 1), d2 = byte_at(pdu, 2);
    if (d0 == kReportTextSwitch && d2 == kLastChunk) {
        if (d1 == kSwitchDspName) {
            h->infostate = VUSB_INFO_DSPNAME;
            h->text_pos = 0;
            memset(h->display_name_text, 0, sizeof h->display_name_text);
            memset(h->dlg_info_text, 0, sizeof h->dlg_info_text);
        } else if (d1 == kSwitchDlgInfo) {
            h->infostate = VUSB_INFO_DLGINFO;
            h->text_pos = 0;
            memset(h->dlg_info_text, 0, sizeof h->dlg_info_text);
        }
    }
    log_print(0, LL_DEBUG, "Switch infostate to %s\n",
              h->infostate == VUSB_INFO_DLGINFO ? "ctdlginfo" : "ctdspname");
}

bool dlg_known(vusb_handle *h, const char *dlg) {
    for (const vusb_dlg_entry &e : h->dlg_list)
        if (strncmp(e.dlg_info, dlg, VUSB_DLG_TEXT_SIZE) == 0) return true;
    return false;
}

void text_complete(vusb_handle *h) {
    char name[VUSB_HID_UTF8_MAX + 1], dlg[VUSB_HID_UTF8_MAX + 1];
    utf16_to_utf8(h->display_name_text, sizeof h->display_name_text, name, VUSB_HID_UTF8_MAX);
    utf16_to_utf8(h->dlg_info_text, sizeof h->dlg_info_text, dlg, VUSB_HID_UTF8_MAX);
    log_print(0, LL_INFO,
              "HIDDEV: Dsp Name=[%s], dlg_info=[%s], handle->is_pared_and_unsign_call=%d\n", name,
              dlg, h->is_pared_and_unsign_call);
    if (name[0] && dlg[0]) {
        post_device_update(h, dlg, name, 1);
        if (h->stream) {
            std::lock_guard<std::recursive_mutex> g(h->stream->mutex);
            set_field(h->stream->conversation_id, sizeof h->stream->conversation_id, dlg);
            set_field(h->stream->display_name, sizeof h->stream->display_name, name);
            h->stream->inc_call_type = 1;
        }
        if (dlg_known(h, dlg) && h->pc_audio_mute != h->pc_audio_mute_sent) {
            h->pc_audio_mute_sent = h->pc_audio_mute;
            log_print(0, LL_INFO, "PC Audio %s\n", h->pc_audio_mute ? "mute" : "unmute");
            post_mute(h, h->pc_audio_mute);
        } else {
            h->pc_audio_mute = 0;
            if (!dlg_known(h, dlg)) {
                vusb_dlg_entry e{};
                set_field(e.dlg_info, sizeof e.dlg_info, dlg);
                set_field(e.display_name, sizeof e.display_name, name);
                h->dlg_list.push_front(e);
            }
        }
        memset(h->display_name_text, 0, sizeof h->display_name_text);
        memset(h->dlg_info_text, 0, sizeof h->dlg_info_text);
        return;
    }
    if ((name[0] != 0) != (dlg[0] != 0) && h->infostate == VUSB_INFO_DLGINFO) {
        for (auto it = h->dlg_list.begin(); it != h->dlg_list.end(); ++it) {
            if (strncmp(it->display_name, name, VUSB_DLG_TEXT_SIZE) == 0) {
                h->dlg_list.erase(it);
                break;
            }
        }
        if (h->pc_audio_mute_sent) {
            h->pc_audio_mute_sent = 0;
            post_mute(h, 0);
        }
        if (h->stream) {
            std::lock_guard<std::recursive_mutex> g(h->stream->mutex);
            if (h->stream->inc_call_type) {
                post_device_update(h, "", kPcAudio, 0);
                h->stream->inc_call_type = 0;
                clear_stream_call(h);
            }
        }
    }
}

void text_chunk(vusb_handle *h, const vbus_pdu *pdu) {
    usb_setup s = usb_setup_decode(pdu->hdr);
    size_t announced = s.wLength > 2 ? s.wLength - 2u : 0;
    // Two bytes stay free for the UTF-16 terminator.
    const size_t limit = VUSB_HID_TEXT_SIZE - 2;
    size_t pos = h->text_pos < limit ? h->text_pos : limit;
    size_t n = min_size(announced, limit - pos);
    if (n < announced)
        log_print(0, LL_WARN, "HIDDEV: text chunk of %zu bytes cut to %zu\n", announced, n);
    h->text_pos = pos + copy_data(pdu, 2, current_text(h) + pos, n);
    if (byte_at(pdu, 1) != kLastChunk) return;
    uint8_t *text = current_text(h);
    text[h->text_pos] = 0;
    text[h->text_pos + 1] = 0;
    h->text_pos = 0;
    if (!stream_active(h)) return;
    text_complete(h);
}

void presence(vusb_handle *h, const vbus_pdu *pdu) {
    uint8_t d1 = byte_at(pdu, 1), d2 = byte_at(pdu, 2);
    uint16_t status = static_cast<uint16_t>(d1 | d2 << 8);
    if (status != h->lync_status) {
        if (status) {
            log_print(0, LL_DEBUG, "HIDDEV: Lync in(0x%02x)\n", status);
            const uint8_t body[2] = {d1, d2};
            post(h, vusb_cmd::DUVO_CMD_C2P_CLT_SING_IN, body, sizeof body);
        } else {
            log_print(0, LL_INFO, "HIDDEV: Lync Logout\n");
            post(h, vusb_cmd::DUVO_CMD_C2P_CLT_SING_OUT, nullptr, 0);
        }
        h->lync_status = status;
        uint8_t nibble = d2 >> 4;
        if (nibble == kMuteNibble) {
            log_print(0, LL_INFO, "PC Audio mute\n");
            h->pc_audio_mute = h->pc_audio_mute_sent = 1;
            post_mute(h, 1);
        } else if (nibble == kUnmuteNibble) {
            log_print(0, LL_INFO, "PC Audio unmute\n");
            h->pc_audio_mute = h->pc_audio_mute_sent = 0;
            post_mute(h, 0);
        }
    }
    log_print(0, LL_ANY, "Hiddev: lync status %d\n", h->lync_status);
}

void hid_set_report_hook(vusb_handle *h, const vbus_pdu *pdu) {
    usb_hid_set_report(h, pdu);
}

// Answers one queued request unless an unlink took it back meanwhile.
void answer_one(vusb_handle *h, const uint8_t *flat, size_t n, bool at_exit) {
    vbus_pdu pdu{};
    if (usb_pdu_parse(flat, n, &pdu) != 0) {
        log_print(0, LL_ERR, "int_queue: queued pdu unreadable, dropped\n");
        return;
    }
    usb_hid_held *held = h->hid_held;
    {
        std::lock_guard<std::mutex> g(held->mu);
        held->valid = 1;
        held->seqnum = pdu.hdr.seqnum;
    }
    if (held->reply_delay_ms > 0) os_sleep_ms(static_cast<unsigned>(held->reply_delay_ms));
    {
        std::lock_guard<std::mutex> g(held->mu);
        if (!held->valid) return;
        held->valid = 0;
        hid_input_responder(h, &pdu);
    }
    if (at_exit) log_print(0, LL_INFO, "dealwith interrupt exit but queue isnot empty!\n");
    if (pdu.data_len > 0) {
        int32_t body[2] = {pdu.data[0], static_cast<int8_t>(usb_pdu_data_byte(&pdu, 1))};
        log_print(0, LL_INFO, "report_id=%d, value=%d\n", body[0], body[1]);
        duvo_event_post(body, sizeof body, h->event_socket, EVT_SEND_CMD,
                        vusb_cmd::DUVO_CMD_C2P_ZOOM_ROOMS_STATE, 0);
    }
}

int gruu_timer_cb(void *user, int, int reason, int) {
    vusb_handle *h = static_cast<vusb_handle *>(user);
    if (reason == TIMER_FIRED) {
        h->gruu_due = 1;
        h->gruu_timer = 0;  // one-shot: it is gone once fired
    }
    return 0;
}
}  // namespace

int usb_hid_attach(vusb_handle *h) {
    usb_hid_held *held = new (std::nothrow) usb_hid_held;
    if (!held) {
        log_print(0, LL_ERR, "usb hid alloc fail\n");
        return -1;
    }
    h->hid_held = held;
    h->hooks.hid_set_report = hid_set_report_hook;
    return 0;
}

void usb_hid_detach(vusb_handle *h) {
    h->hooks.hid_set_report = nullptr;
    delete h->hid_held;
    h->hid_held = nullptr;
}

int hid_input_responder(vusb_handle *h, const vbus_pdu *pdu) {
    const input_report *r = take_pending(h);
    if (!r) {
        vusb_reply(pdu, h, nullptr, 0);
        return 0;
    }
    log_print(0, LL_INFO, "%s", r->log);
    vusb_reply(pdu, h, r->bytes, static_cast<size_t>(r->len));
    return r->len;
}

void dealwith_interrupt_ep(vusb_handle *h) {
    alignas(vbus_iso_desc) uint8_t buf[kIntBuf];
    while (!vusb_event_is_set(&h->shutdown_event)) {
        if (!vusb_event_wait(&h->wakeup_event, kWaitMs)) continue;
        for (size_t n;
             !vusb_event_is_set(&h->shutdown_event) && (n = h->int_queue.pop(buf, sizeof buf)) > 0;)
            answer_one(h, buf, n, false);
    }
    for (size_t n; (n = h->int_queue.pop(buf, sizeof buf)) > 0;) answer_one(h, buf, n, true);
    log_print(0, LL_INFO, "dealwith interrupt ep go to exit\n");
}

void usb_hid_set_report(vusb_handle *h, const vbus_pdu *pdu) {
    usb_setup s = usb_setup_decode(pdu->hdr);
    uint8_t id = s.wValue & 0xFF;
    switch (id) {
        case kReportUc:
            uc_message(h, pdu);
            break;
        case kReportHandset:
            handset(h, pdu);
            break;
        case kReport19:
            break;
        case kReportTextSwitch:
            text_switch(h, pdu);
            break;
        case kReportText:
            text_chunk(h, pdu);
            break;
        case kReportPresence:
            presence(h, pdu);
            break;
        default:
            log_print(0, LL_ERR, "Unknown this class (report id: 0x%02x)\n", id);
            break;
    }
}

int usb_device_set_gruu(vusb_handle *h, const char *text) {
    if (!h || !text || !text[0]) return -1;
    std::unique_lock<std::recursive_mutex> g;
    if (h->timers) g = std::unique_lock<std::recursive_mutex>(h->timers->mutex);
    if (strncmp(text, h->gruu, VUSB_GRUU_SIZE - 1) == 0 && h->gruu_timer) return 0;
    set_field(h->gruu, sizeof h->gruu, text);
    log_print(0, LL_INFO, "set gruu %s\n", h->gruu);
    if (h->timers) {
        if (h->gruu_timer) timer_remove(h->timers, h->gruu_timer);
        int id = timer_add(h->timers, static_cast<int>(VUSB_GRUU_RESEND_MS), 0, gruu_timer_cb, h);
        h->gruu_timer = id > 0 ? id : 0;
    }
    h->gruu_due = 1;
    return 0;
}

void usb_device_cancel_gruu(vusb_handle *h) {
    if (!h || !h->timers) return;
    std::lock_guard<std::recursive_mutex> g(h->timers->mutex);
    if (h->gruu_timer) timer_remove(h->timers, h->gruu_timer);
    h->gruu_timer = 0;
}

int usb_hid_unlink_held(vusb_handle *h, uint32_t seqnum) {
    usb_hid_held *held = h->hid_held;
    if (!held) return 0;
    std::lock_guard<std::mutex> g(held->mu);
    if (!held->valid || held->seqnum != seqnum) return 0;
    held->valid = 0;
    return 1;
}

void usb_hid_credentials_reset() {
    std::lock_guard<std::mutex> g(g_cred.mu);
    memset(g_cred.slot, 0, sizeof g_cred.slot);
    g_cred.index = 0;
    g_cred.total = 0;
    g_cred.len = 0;
}
