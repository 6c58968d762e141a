// The program's fixed use of libdsp: one static send context and one static
// receive context, L16 at the USB rate, payload type 108.
#pragma once

#include <cstdint>

constexpr int DSP_SETUP_PT = 108;
constexpr int DSP_SETUP_PACKET_MS = 10;
constexpr int DSP_SETUP_RX_MIN_DELAY_MS = 20;
constexpr int DSP_SETUP_RX_MAX_DELAY_MS = 120;
constexpr int DSP_SETUP_RX_START_DELAY_MS = 60;

// Once, when the virtual device is created: seeds the generator from the C
// library generator, clears the static block, installs the platform hooks,
// inits both contexts and resets them at 16000 Hz -> 0, or -1 when a context
// could not be set up (logged).
int dsp_setup(void);

// Resets a context for a new stream at `rate_hz` (16000 or 32000; any other
// value keeps the previous rate) -> the context's reset result, or -1 when the
// context is not set up.
int dsp_tx_reset(int rate_hz);
int dsp_rx_reset(int rate_hz);

// Frame size in bytes of 16-bit mono PCM at the current rate (320 or 640).
int dsp_tx_frame_bytes(void);
int dsp_rx_frame_bytes(void);
int dsp_tx_rate(void);
int dsp_rx_rate(void);

// Send side: copies one frame of exactly dsp_tx_frame_bytes() and runs process
// -> 0, or -1 (size mismatch or no context; nothing encoded).
int dsp_tx_put_frame(const int16_t *pcm, int bytes);
// The next RTP packet into `buf` (capacity `cap`); packets of other kinds are
// dropped -> length, or 0 when nothing is due or the engine yields nothing.
int dsp_tx_next_rtp(uint8_t *buf, int cap);

// Receive side: hands one RTP datagram in -> 0 accepted, -1 refused.
int dsp_rx_put_rtp(const uint8_t *pkt, int len);
// Runs process and copies one frame of exactly dsp_rx_frame_bytes() into
// `pcm` -> 0, or -1 (size mismatch or no context).
int dsp_rx_get_frame(int16_t *pcm, int bytes);
