// Command-line options of the phone simulator: how it listens, which message
// format it speaks, how it pairs, what it announces and what it tells the PC
// about itself.
#pragma once

#include <cstdint>
#include <string>

constexpr int PHONE_SIM_DEFAULT_PORT = 7063;
constexpr int PHONE_SIM_DEFAULT_ANNOUNCE_MS = 1000;
constexpr int PHONE_SIM_DEFAULT_FORMAT_VERSION = 2;
constexpr int PHONE_SIM_PAIR_CODE_DIGITS = 6;

// What the phone answers once the PC has told it who it is.
enum phone_sim_active_answer {
    PHONE_SIM_ACTIVE_OK = 0,
    PHONE_SIM_ACTIVE_FAILED = 1,
    PHONE_SIM_ACTIVE_NONE = 2,
};

struct phone_sim_options {
    // Listening. Port 0 picks a free port (printed on start).
    std::string bind_addr = "127.0.0.1";
    int port = PHONE_SIM_DEFAULT_PORT;
    bool tls = true;

    // Message format: a new-format phone announces the new framing and uses
    // format_version as the version byte of its new-framing messages.
    bool new_format = true;
    int format_version = PHONE_SIM_DEFAULT_FORMAT_VERSION;

    // Pairing: mode 1 asks the PC for the code shown on the phone.
    int pair_mode = 0;
    std::string pair_code;  // empty: a random code is made at start

    // Discovery: announce_port 0 means no announcements.
    int announce_port = 0;
    std::string announce_to = "127.0.0.1";
    int announce_interval_ms = PHONE_SIM_DEFAULT_ANNOUNCE_MS;

    // Identity (PAIRED_INFO). phone_ip empty: the bind address, which is also
    // the address announced by discovery.
    std::string phone_mac = "00:15:65:5a:10:01";
    std::string phone_ip;
    std::string phone_name = "Mirelta Phone";
    std::string pair_conv_id;
    // Keep the conversation id the PC sends with its identity, so that the
    // next pairing with that PC needs no code (as a phone does).
    bool remember_conv_id = true;

    // Device information (DEV_INFO, or the old-format DEV_* messages).
    std::string device_name = "Mirelta CP965";
    int device_vid = 0x2b1f;
    int device_pid = 0x0210;
    int device_rev = 0x0110;
    std::string codec_name = "L16PCM";
    int codec_samplerate = 16000;
    bool send_samplerate = true;
    std::string sw_version = "161.86.0.15";
    std::string sip_version = "2.0";
    std::string update_url = "https://update.mirelta.invalid/fw";
    std::string device_gruu = "sip:phone@mirelta.invalid;gr";

    phone_sim_active_answer active = PHONE_SIM_ACTIVE_OK;
    bool answer_keepalive = true;
    std::string script;  // empty: commands come from standard input

    // Media: what the phone plays (a WAV file, else a tone) and where the
    // audio it receives is saved when a stream ends (empty: not saved).
    double media_tone_hz = 440.0;
    std::string media_wav;
    std::string record_path;
    // Latency measurements: a pulse train as the source (0: off) and a file
    // that collects the pulse onsets sent and received (empty: none).
    int media_pulse_ms = 0;
    std::string media_timestamps;
};

// Parses argv into *opts. 0 ready to run; 1 when help was asked for (the text
// is in *msg); -1 on a bad option (the reason is in *msg).
int phone_sim_parse_args(int argc, char **argv, phone_sim_options *opts, std::string *msg);

// Text of --help.
const char *phone_sim_usage();

// The address the phone reports as its own (phone_ip, else the bind address).
const std::string &phone_sim_own_ip(const phone_sim_options *opts);
