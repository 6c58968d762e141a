#include "tools/wav/wav.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr size_t RIFF_HEADER = 12;
constexpr size_t CHUNK_HEADER = 8;
constexpr size_t FMT_MIN = 16;
constexpr uint16_t FORMAT_PCM = 1;

uint32_t le32(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}
uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void put32(std::string &s, uint32_t v) {
    for (int i = 0; i < 4; i++) s.push_back(static_cast<char>(v >> (8 * i)));
}
void put16(std::string &s, uint16_t v) {
    s.push_back(static_cast<char>(v));
    s.push_back(static_cast<char>(v >> 8));
}

}  // namespace

int wav_read(const std::string &path, wav_data *out, std::string *error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return -1;
    }
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < RIFF_HEADER || memcmp(b.data(), "RIFF", 4) || memcmp(b.data() + 8, "WAVE", 4)) {
        *error = path + " is not a WAV file";
        return -1;
    }
    bool have_fmt = false;
    size_t pos = RIFF_HEADER;
    while (pos + CHUNK_HEADER <= b.size()) {
        const uint8_t *c = b.data() + pos;
        size_t len = le32(c + 4);
        size_t body = pos + CHUNK_HEADER;
        if (len > b.size() - body) len = b.size() - body;  // a cut file keeps what is there
        if (!memcmp(c, "fmt ", 4)) {
            if (len < FMT_MIN || le16(b.data() + body) != FORMAT_PCM ||
                le16(b.data() + body + 14) != 16) {
                *error = path + " is not 16-bit PCM";
                return -1;
            }
            out->channels = le16(b.data() + body + 2);
            out->rate = static_cast<int>(le32(b.data() + body + 4));
            have_fmt = out->channels > 0;
        } else if (!memcmp(c, "data", 4)) {
            if (!have_fmt) break;
            out->samples.resize(len / 2);
            for (size_t i = 0; i < out->samples.size(); i++)
                out->samples[i] = static_cast<int16_t>(le16(b.data() + body + 2 * i));
            return 0;
        }
        pos = body + len + (len & 1);
    }
    *error = path + " has no PCM data";
    return -1;
}

int wav_write(const std::string &path, const wav_data &in, std::string *error) {
    std::string s = "RIFF";
    const uint32_t data_len = static_cast<uint32_t>(in.samples.size() * 2);
    put32(s, 36 + data_len);
    s += "WAVEfmt ";
    put32(s, 16);
    put16(s, FORMAT_PCM);
    put16(s, static_cast<uint16_t>(in.channels));
    put32(s, static_cast<uint32_t>(in.rate));
    put32(s, static_cast<uint32_t>(in.rate * in.channels * 2));
    put16(s, static_cast<uint16_t>(in.channels * 2));
    put16(s, 16);
    s += "data";
    put32(s, data_len);
    for (int16_t v : in.samples) put16(s, static_cast<uint16_t>(v));
    std::ofstream out(path, std::ios::binary);
    if (!out || !out.write(s.data(), static_cast<std::streamsize>(s.size()))) {
        *error = "cannot write " + path;
        return -1;
    }
    return 0;
}
