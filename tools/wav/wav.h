// 16-bit PCM WAV files, read and written by the test tools (sources, recordings).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct wav_data {
    int rate = 0;
    int channels = 0;
    std::vector<int16_t> samples;  // interleaved
};

// Reads a 16-bit PCM WAV file. 0, or -1 with *error set.
int wav_read(const std::string &path, wav_data *out, std::string *error);
// Writes a 16-bit PCM WAV file. 0, or -1 with *error set.
int wav_write(const std::string &path, const wav_data &in, std::string *error);
