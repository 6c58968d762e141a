// The PC's conversation id: a name-based (version 5) UUID over 32 random bytes.
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "link/pair_manager_impl.h"

namespace {

const uint8_t CONV_ID_NAMESPACE[16] = {0x03, 0xFB, 0xAC, 0xFC, 0x73, 0x8A, 0xEF, 0x46,
                                       0x91, 0xB1, 0xE5, 0xEB, 0xEE, 0xAB, 0xA4, 0xFE};
constexpr size_t NAME_BYTES = 32;

}  // namespace

void conv_id_generate(char out[37]) {
    uint8_t input[sizeof CONV_ID_NAMESPACE + NAME_BYTES];
    memcpy(input, CONV_ID_NAMESPACE, sizeof CONV_ID_NAMESPACE);
    uint8_t *name = input + sizeof CONV_ID_NAMESPACE;
    if (RAND_bytes(name, NAME_BYTES) != 1) {
        std::random_device rd;
        for (size_t i = 0; i < NAME_BYTES; ++i) name[i] = uint8_t(rd());
    }
    uint8_t d[SHA_DIGEST_LENGTH];
    SHA1(input, sizeof input, d);

    uint32_t time_low =
        uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
    unsigned time_mid = unsigned(d[4]) | unsigned(d[5]) << 8;
    unsigned time_hi = ((unsigned(d[6]) | unsigned(d[7]) << 8) & 0x0FFF) | 0x5000;
    unsigned clock_seq_hi = (d[8] & 0x3F) | 0x80;
    snprintf(out, 37, "%8.8x-%4.4x-%4.4x-%2.2x%2.2x-%2.2x%2.2x%2.2x%2.2x%2.2x%2.2x", time_low,
             time_mid, time_hi, clock_seq_hi, d[9], d[10], d[11], d[12], d[13], d[14], d[15]);
}
