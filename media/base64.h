// Standard-alphabet base64 as used in SDES key lines.
#pragma once

#include <cstddef>
#include <cstdint>

// Encodes len bytes into out (NUL-terminated). Returns the text length, or -1
// when out_size cannot hold it with its terminator.
int b64_encode(const uint8_t *in, size_t len, char *out, size_t out_size);

// Decodes text of text_len characters (a multiple of 4) into out. Characters
// outside the alphabet count as 0 bits, '=' ends the data. Returns the number
// of bytes, -1 when text_len is not a multiple of 4, -2 when out_size is too
// small.
int b64_decode(const char *text, size_t text_len, uint8_t *out, size_t out_size);
