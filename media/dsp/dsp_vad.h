// Voice-activity detector with a comfort-noise level estimate: an engine
// module that begins with the common context header. Each process call
// classifies the 10 ms frame the module points at.
#pragma once

#include <cstdint>

#include "media/dsp/dsp_engine.h"

struct dsp_vad_state {
    dsp_ctx hdr;
    const int16_t *frame;  // input of the next process call
    int frame_samples;
    int speech;    // decision of the last frame: 1 speech, 0 noise
    int hangover;  // frames of speech still held after the energy fell
    int frames_seen;
    float noise_db;  // tracked noise floor, dB relative to full scale
    float frame_db;  // energy of the last frame
};

struct dsp_vad {
    dsp_vad_state s;
    uint8_t spare[DSP_VAD_CTX_SIZE - sizeof(dsp_vad_state)];
};
static_assert(sizeof(dsp_vad) == DSP_VAD_CTX_SIZE, "VAD module has its fixed size");

extern const dsp_engine_ops dsp_vad_engine;

// Classifies `samples` samples -> 1 speech, 0 noise.
int dsp_vad_frame(dsp_vad *vad, const int16_t *pcm, int samples);
// Comfort-noise descriptor (RFC 3389): the noise level as -dBov, 0..127,
// no spectral coefficients -> bytes written (1), or -1 when cap is 0.
int dsp_vad_cn_descriptor(const dsp_vad *vad, uint8_t *out, int cap);
