#include "tools/phone-sim-media/wav_file.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kBitsPerSample = 16;
constexpr size_t kFmtMin = 16;  // bytes of a PCM fmt chunk

uint32_t le32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

using file_ptr = std::unique_ptr<FILE, int (*)(FILE *)>;

}  // namespace

int wav_read(const std::string &path, std::vector<int16_t> *samples, int *rate, std::string *why) {
    file_ptr f(fopen(path.c_str(), "rb"), fclose);
    if (!f) {
        *why = "cannot open " + path;
        return -1;
    }
    uint8_t riff[12];
    if (fread(riff, 1, sizeof riff, f.get()) != sizeof riff || memcmp(riff, "RIFF", 4) != 0 ||
        memcmp(riff + 8, "WAVE", 4) != 0) {
        *why = "not a RIFF/WAVE file";
        return -1;
    }
    uint16_t channels = 0, bits = 0, format = 0;
    bool have_fmt = false;
    for (;;) {
        uint8_t head[8];
        if (fread(head, 1, sizeof head, f.get()) != sizeof head) {
            *why = "no data chunk";
            return -1;
        }
        uint32_t size = le32(head + 4);
        if (memcmp(head, "fmt ", 4) == 0) {
            if (size < kFmtMin || size > 64) {
                *why = "bad fmt chunk";
                return -1;
            }
            uint8_t fmt[64];
            if (fread(fmt, 1, size, f.get()) != size) {
                *why = "short fmt chunk";
                return -1;
            }
            format = le16(fmt);
            channels = le16(fmt + 2);
            *rate = static_cast<int>(le32(fmt + 4));
            bits = le16(fmt + 14);
            have_fmt = true;
            if (size & 1) fseek(f.get(), 1, SEEK_CUR);
        } else if (memcmp(head, "data", 4) == 0) {
            if (!have_fmt || format != kFormatPcm || bits != kBitsPerSample || channels == 0) {
                *why = "only 16-bit PCM is read";
                return -1;
            }
            size_t frames = size / (2u * channels);
            std::vector<int16_t> all(frames * channels);
            size_t got = fread(all.data(), 2 * channels, frames, f.get());
            samples->clear();
            for (size_t i = 0; i < got; ++i) {
                const uint8_t *p = reinterpret_cast<const uint8_t *>(&all[i * channels]);
                samples->push_back(static_cast<int16_t>(le16(p)));
            }
            return 0;
        } else if (fseek(f.get(), static_cast<long>(size + (size & 1)), SEEK_CUR) != 0) {
            *why = "truncated chunk";
            return -1;
        }
    }
}

int wav_write(const std::string &path, const std::vector<int16_t> &samples, int rate) {
    file_ptr f(fopen(path.c_str(), "wb"), fclose);
    if (!f) return -1;
    uint32_t data_bytes = static_cast<uint32_t>(samples.size() * 2);
    uint8_t h[44];
    memcpy(h, "RIFF", 4);
    put32(h + 4, 36 + data_bytes);
    memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 16);
    put16(h + 20, kFormatPcm);
    put16(h + 22, 1);
    put32(h + 24, static_cast<uint32_t>(rate));
    put32(h + 28, static_cast<uint32_t>(rate) * 2);
    put16(h + 32, 2);
    put16(h + 34, kBitsPerSample);
    memcpy(h + 36, "data", 4);
    put32(h + 40, data_bytes);
    if (fwrite(h, 1, sizeof h, f.get()) != sizeof h) return -1;
    for (int16_t s : samples) {
        uint8_t b[2];
        put16(b, static_cast<uint16_t>(s));
        if (fwrite(b, 1, 2, f.get()) != 2) return -1;
    }
    return 0;
}
