#include "media/base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

unsigned sextet(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;  // foreign characters are read as zero bits
}

}  // namespace

int b64_encode(const uint8_t *in, size_t len, char *out, size_t out_size) {
    size_t need = (len + 2) / 3 * 4;
    if (out == nullptr || out_size < need + 1) return -1;
    size_t o = 0;
    for (size_t i = 0; i < len; i += 3) {
        uint32_t v = static_cast<uint32_t>(in[i]) << 16;
        size_t n = len - i;
        if (n > 1) v |= static_cast<uint32_t>(in[i + 1]) << 8;
        if (n > 2) v |= in[i + 2];
        out[o++] = kAlphabet[(v >> 18) & 63];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
        out[o++] = n > 2 ? kAlphabet[v & 63] : '=';
    }
    out[o] = '\0';
    return static_cast<int>(o);
}

int b64_decode(const char *text, size_t text_len, uint8_t *out, size_t out_size) {
    if (text_len % 4 != 0) return -1;
    size_t o = 0;
    for (size_t i = 0; i < text_len; i += 4) {
        int pad = 0;
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=') ++pad;
            v = (v << 6) | (c == '=' ? 0 : sextet(c));
        }
        if (pad > 2) pad = 2;
        size_t n = 3 - static_cast<size_t>(pad);
        if (o + n > out_size) return -2;
        out[o++] = static_cast<uint8_t>(v >> 16);
        if (n > 1) out[o++] = static_cast<uint8_t>(v >> 8);
        if (n > 2) out[o++] = static_cast<uint8_t>(v);
        if (pad > 0) break;  // padding only ends the text
    }
    return static_cast<int>(o);
}
