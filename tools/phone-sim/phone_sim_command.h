// The commands the simulator takes on standard input or from a script, one
// per line:
//   hangup                      DUVO_CMD_P2C_CALL_END with hung_up 1
//   rekey                       the media stream changes its sending key unannounced
//   zoom <command> <value>      DUVO_CMD_P2C_ZOOM_COMMAND
//   unpair                      DUVO_CMD_COM_UN_PAIR
//   pair-mode-switch <mode>     DUVO_CMD_P2C_PAIR_MODE_SWITCH (and the phone's mode changes)
//   active-ok | active-failed   DUVO_CMD_P2C_ACTIVE_OK / DUVO_CMD_P2C_ACTIVE_FAILED
//   send <id> [body]            any command; id as a number or a name; body
//                               {json}, hex:bytes, or text (sent with its NUL)
//   silent | talk               stop / resume sending anything on this connection
//   close                       close the connection
//   sleep <ms>                  scripts: wait before the next line
//   quit                        close and end the simulator
// Empty lines and lines starting with '#' are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum phone_sim_cmd_kind {
    PHONE_SIM_CMD_NONE,
    PHONE_SIM_CMD_HANGUP,
    PHONE_SIM_CMD_ZOOM,
    PHONE_SIM_CMD_UNPAIR,
    PHONE_SIM_CMD_PAIR_MODE_SWITCH,
    PHONE_SIM_CMD_ACTIVE_OK,
    PHONE_SIM_CMD_ACTIVE_FAILED,
    PHONE_SIM_CMD_SEND,
    PHONE_SIM_CMD_SILENT,
    PHONE_SIM_CMD_TALK,
    PHONE_SIM_CMD_CLOSE,
    PHONE_SIM_CMD_SLEEP,
    PHONE_SIM_CMD_QUIT,
    PHONE_SIM_CMD_REKEY,
};

enum phone_sim_body_kind {
    PHONE_SIM_BODY_NONE,
    PHONE_SIM_BODY_JSON,   // body holds the JSON text as given (printed afresh when sent)
    PHONE_SIM_BODY_BYTES,  // body holds the bytes to send as they are
};

struct phone_sim_command {
    phone_sim_cmd_kind kind = PHONE_SIM_CMD_NONE;
    int arg1 = 0;  // zoom command, pair mode, sleep ms
    int arg2 = 0;  // zoom value
    uint8_t id = 0;
    phone_sim_body_kind body_kind = PHONE_SIM_BODY_NONE;
    std::vector<uint8_t> body;
};

// 0 with *out filled (kind NONE for blank and comment lines), or -1 with the
// reason in *err.
int phone_sim_parse_command(const std::string &line, phone_sim_command *out, std::string *err);

// Command id from a number (decimal or 0x hex, 0..255) or a command name.
// 0, or -1 when unknown.
int phone_sim_parse_cmd_id(const std::string &text, uint8_t *id);
