// Two-bytes-to-three-characters text codec with its own alphabet order; not RFC 4648 and
// not interchangeable with it. Stateless; the caller sizes the output buffers.
#include "dravik/tools.h"

#include <string.h>

namespace {

const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+/";

// The fill "=" and anything outside the alphabet read as 0.
unsigned Value(char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a');
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A' + 26);
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}

}  // namespace

void Base64Encode(char* chsrc, char* chdes) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(chsrc);
    size_t n = strlen(chsrc);
    for (; n >= 2; n -= 2, in += 2) {
        *chdes++ = kAlphabet[in[0] >> 2];
        *chdes++ = kAlphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
        *chdes++ = kAlphabet[(in[1] & 0x0F) << 2];
    }
    if (n == 1) {
        *chdes++ = kAlphabet[in[0] >> 2];
        *chdes++ = kAlphabet[(in[0] & 0x03) << 4];
        *chdes++ = '=';
    }
    *chdes = '\0';
}

void Base64_DecodeStr(const char* chsrc, char* chdes) {
    size_t m = strlen(chsrc);
    char* out = chdes;
    for (; m > 2; m -= 3, chsrc += 3) {
        unsigned v0 = Value(chsrc[0]), v1 = Value(chsrc[1]), v2 = Value(chsrc[2]);
        *out++ = static_cast<char>(((v0 << 2) | (v1 >> 4)) & 0xFF);
        *out++ = static_cast<char>((((v1 & 0x0F) << 4) | (v2 >> 2)) & 0xFF);
    }
    // A pair whose first byte is NUL already ends the string; its second byte stays as is.
    if (out == chdes || out[-2] != '\0') *out = '\0';
}
