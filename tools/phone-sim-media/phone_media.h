// The phone's end of the RTP stream, for tests and the phone simulator: a UDP
// socket, SRTP with the phone's own key line, 10 ms L16 packets of payload
// type 108 from a tone, samples or a WAV file, and a record of the audio that
// arrives. One thread uses a phone_media at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int PHONE_MEDIA_PT = 108;
constexpr int PHONE_MEDIA_PACKET_MS = 10;

struct phone_media;

struct phone_media_stats {
    uint64_t packets_sent = 0;
    uint64_t packets_received = 0;  // decoded into the record
    uint64_t auth_failures = 0;     // SRTP refused the packet
    uint64_t bad_packets = 0;       // not RTP, or too short
    uint64_t other_payload = 0;     // RTP of another payload type
    uint64_t seq_gaps = 0;          // packets missing by sequence number
};

// Initialises the SRTP library once for the process.
int phone_media_library_init();

// Binds a UDP socket on bind_ip:port (0 = any free port). Null on failure,
// with the reason in *why when why is given.
phone_media *phone_media_create(const char *bind_ip, int port, int sample_rate,
                                std::string *why = nullptr);
void phone_media_destroy(phone_media *m);
int phone_media_local_port(const phone_media *m);
int phone_media_set_remote(phone_media *m, const char *ip, int port);

// A fresh key line "1 AES_CM_128_HMAC_SHA1_80 inline:..." from a secure
// generator. 0, or -1.
int phone_media_make_key_line(char *out, size_t size);
// send_line protects what the phone sends, recv_line (the PC's key) what it
// receives; both empty turns SRTP off. Suites AES_CM_128_HMAC_SHA1_80/_32;
// a lifetime section is ignored, an MKI is refused. 0, or -1.
int phone_media_set_keys(phone_media *m, const char *send_line, const char *recv_line);

// Audio source of the sent packets.
void phone_media_source_tone(phone_media *m, double hz, int amplitude);
void phone_media_source_samples(phone_media *m, const std::vector<int16_t> &samples);  // repeated
int phone_media_source_wav(phone_media *m, const char *path, std::string *why = nullptr);

// Sends one 10 ms packet. Returns the datagram's length, or -1.
int phone_media_send_frame(phone_media *m);
// Takes every waiting datagram, waiting up to timeout_ms for the first.
// Returns the number of datagrams read.
int phone_media_receive(phone_media *m, int timeout_ms);

// Marked sounds for latency measurements: with tracking on, the first sample
// of every pulse (tools/pulse-mark) that is sent or received is noted with
// the CLOCK_MONOTONIC time its packet left or arrived.
struct phone_media_onset {
    bool received = false;  // false: sent
    uint64_t mono_us = 0;   // sent: sendto returned; received: the kernel took it in
    uint16_t seq = 0;       // RTP sequence number of the packet
    uint32_t offset = 0;    // sample offset of the onset in the packet
};
void phone_media_track_onsets(phone_media *m, bool on);
const std::vector<phone_media_onset> &phone_media_onsets(const phone_media *m);

phone_media_stats phone_media_get_stats(const phone_media *m);
const std::vector<int16_t> &phone_media_sent(const phone_media *m);
const std::vector<int16_t> &phone_media_received(const phone_media *m);
int phone_media_save_wav(const phone_media *m, const char *path);
