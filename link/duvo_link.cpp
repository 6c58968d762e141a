#include "link/duvo_link.h"

#include <cstring>

#include "platform/log.h"

namespace {

constexpr const char *k_default_codec = "L16PCM";
constexpr int k_default_samplerate = 16000;

constexpr const char *k_status_names[] = {
    "STATUS_IDLE",
    "STATUS_GETIP",
    "STATUS_CONNECTING",
    "STATUS_PIN_CHECK",
    "STATUS_CONNECT_CONFLICT",
    "STATUS_PIN_FAILED",
    "STATUS_PIN_SUCCEED",
    "STATUS_UNPAIRING",
    "STATUS_PAIRING",
    "STATUS_PAIRED",
    "STATUS_PAIREDSIGNIN",
};

}  // namespace

const char *pair_status_name(int status) {
    if (status < 0 || size_t(status) >= sizeof k_status_names / sizeof k_status_names[0])
        return "Unknown pair status";
    return k_status_names[status];
}

int duvo_link_init(duvo_link *link, const duvo_link_hooks *hooks) {
    if (!link || !hooks || !hooks->send) {
        log_print(0, LL_ERR, "duvo link init: no link or no send hook\n");
        return -1;
    }
    link->hooks = *hooks;
    link->status = STATUS_IDLE;
    link->unpair_reason = 0;
    link->pc_status = 0;
    duvo_link_session_reset(link);
    return 0;
}

void duvo_link_deinit(duvo_link *link) {
    if (!link) return;
    link->sent_list.Clear();
    link->recv_list.Clear();
    link->rx_tail_len = 0;
}

void duvo_link_session_reset(duvo_link *link) {
    link->msg_version = 0;
    link->tx_seq = 0;
    std::memset(link->codec_name, 0, sizeof link->codec_name);
    std::strcpy(link->codec_name, k_default_codec);
    link->codec_samplerate = k_default_samplerate;
    link->rx_count = 0;
    link->phone_alive = 0;
    link->signed_in = 0;
    link->end_session = 0;
    link->sent_list.Clear();
    link->recv_list.Clear();
    link->rx_tail_len = 0;
}

void duvo_link_connection_reset(duvo_link *link) {
    link->msg_version = 0;
    link->rx_tail_len = 0;
}

void duvo_link_set_status(duvo_link *link, int status) {
    link->status = status;
    if (link->hooks.status_changed) link->hooks.status_changed(link->hooks.ctx, status);
}
