// 16-bit mono PCM WAV files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads a PCM WAV of 16-bit samples (the first channel when there are more).
// 0, or -1 with the reason in *why.
int wav_read(const std::string &path, std::vector<int16_t> *samples, int *rate, std::string *why);
// Writes mono 16-bit PCM. 0, or -1.
int wav_write(const std::string &path, const std::vector<int16_t> &samples, int rate);
