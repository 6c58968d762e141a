// The phone's side of one connection with the PC, over an abstract byte
// stream: framing (old until the phone announces the new format), the
// acknowledgements and duplicate filter of the new framing, re-sends of the
// phone's own unacknowledged messages, and the answers a phone gives to each
// PC command. Not thread-safe: one thread feeds, ticks and commands it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/duvo_link.h"
#include "link/msg_list.h"
#include "tools/phone-sim/phone_sim_bodies.h"
#include "tools/phone-sim/phone_sim_command.h"
#include "tools/phone-sim/phone_sim_options.h"
#include "tools/phone-sim/phone_sim_print.h"

// The phone's answer to DUVO_CMD_C2P_DEVICE_ACTIVE: its RTP port and key line.
struct phone_sim_call_start {
    uint32_t rtp_port = 0;
    std::string srtp_key;
};

// Where a media endpoint plugs in. All hooks run on the session's thread; a
// null hook is skipped.
struct phone_sim_media_hooks {
    // The PC asks for media (a streaming interface became active). Fill
    // *answer and return 1 to answer DUVO_CMD_P2C_CALL_START, or 0 to send
    // nothing.
    int (*device_active)(void *ctx, const phone_sim_device_active *req,
                         phone_sim_call_start *answer);
    // DUVO_CMD_C2P_DEVICE_UN_ACTIVE: the PC closed its media stream.
    void (*device_un_active)(void *ctx);
    // The connection ended: drop any stream still running.
    void (*connection_closed)(void *ctx);
    void *ctx;
    // The "rekey" command: the phone changes its sending key without telling
    // the PC (the PC's authentication then fails until it restarts the stream).
    void (*rekey)(void *ctx);
};

// What outlives a connection: the options, the pairing state and the sinks.
struct phone_sim_phone {
    phone_sim_options opts;
    int pair_mode = 0;
    std::string pair_code;
    std::string pair_conv_id;  // the id of the PC this phone was last paired with
    phone_sim_printer printer{};
    phone_sim_media_hooks media{};
};

// Copies the options; makes a random code when none was given and mode 1
// may need one.
void phone_sim_phone_init(phone_sim_phone *phone, const phone_sim_options *opts,
                          const phone_sim_printer *printer, const phone_sim_media_hooks *media);

struct phone_sim_io {
    // Puts bytes on the connection: > 0 sent, <= 0 failed.
    int (*send)(void *ctx, const uint8_t *buf, size_t len);
    void *ctx;
};

// Results of feed and command.
constexpr int PHONE_SIM_KEEP = 0;
constexpr int PHONE_SIM_CLOSE = 1;  // close this connection
constexpr int PHONE_SIM_QUIT = 2;   // close and end the simulator

struct phone_sim_session {
    phone_sim_phone *phone = nullptr;
    phone_sim_io io{};
    std::string peer_ip;

    bool rx_new = false;  // the PC's messages come in the new framing
    bool tx_new = false;  // the phone sends in the new framing
    uint32_t tx_seq = 0;
    bool silent = false;
    bool media_active = false;

    CMsgList sent_list;  // our data messages awaiting the PC's acknowledgement
    CMsgList recv_list;  // the PC's recent data messages (duplicate filter)

    // Bytes of a message not yet complete; never more than one message.
    std::vector<uint8_t> rx_pending;
};

void phone_sim_session_init(phone_sim_session *s, phone_sim_phone *phone, const phone_sim_io *io,
                            const std::string &peer_ip);
// Ends the connection's media, if any.
void phone_sim_session_deinit(phone_sim_session *s);

// Bytes read from the connection. PHONE_SIM_KEEP or PHONE_SIM_CLOSE.
int phone_sim_session_feed(phone_sim_session *s, const uint8_t *data, size_t len);

// Every 50 ms or so: re-sends due messages and purges both lists.
void phone_sim_session_tick(phone_sim_session *s);

// Sends one command in the connection's framing. The send result, or -1 when
// it was not sent (silent, body too long).
int phone_sim_session_send(phone_sim_session *s, uint8_t id, const uint8_t *body, size_t len);

// A command from standard input or a script (not sleep). PHONE_SIM_KEEP,
// PHONE_SIM_CLOSE or PHONE_SIM_QUIT.
int phone_sim_session_command(phone_sim_session *s, const phone_sim_command *cmd);
