// The two-bytes-to-three-characters codec: fixed vectors, buffer bounds, and a round trip
// over many random inputs in exactly sized buffers (AddressSanitizer sees any overrun).
#include <random>

#include <gtest/gtest.h>

#include "dravik/tools.h"

namespace {

std::string Encode(const std::string& in) {
    std::vector<char> out(3 * ((in.size() + 1) / 2) + 1);
    std::string src = in;
    Base64Encode(&src[0], out.data());
    EXPECT_EQ(src, in);
    return std::string(out.data(), out.size() - 1);
}

// The whole written output: 2*floor(m/3) bytes and what terminates it.
std::vector<char> Decode(const std::string& in) {
    std::vector<char> out(2 * (in.size() / 3) + 1, '#');
    Base64_DecodeStr(in.c_str(), out.data());
    return out;
}

TEST(Base64Encode, KnownVectors) {
    EXPECT_EQ(Encode("abc"), "ywiyW=");
    EXPECT_EQ(Encode("ab"), "ywi");
    EXPECT_EQ(Encode("a"), "yq=");
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("\xC3\xA9"), "W6K");
    EXPECT_EQ(Encode("\xFF\xFF\x01"), "//8aq=");
}

TEST(Base64_DecodeStr, KnownVectors) {
    EXPECT_EQ(Decode("ywiyW="), (std::vector<char>{'a', 'b', 'c', '\0', '\0'}));
    EXPECT_EQ(Decode("W6K"), (std::vector<char>{'\xC3', '\xA9', '\0'}));
    EXPECT_STREQ(Decode("ywiy2q").data(), "abcd");
    EXPECT_STREQ(Decode("ywiy2").data(), "ab");  // an incomplete last group is ignored
}

TEST(Base64_DecodeStr, ShortInputGivesEmptyString) {
    EXPECT_EQ(Decode(""), std::vector<char>{'\0'});
    EXPECT_EQ(Decode("yw"), std::vector<char>{'\0'});
}

TEST(Base64_DecodeStr, OutsideAlphabetReadsAsZero) {
    EXPECT_EQ(Decode("y!i"), Decode("yai"));
    EXPECT_EQ(Decode("!!!"), (std::vector<char>{'\0', '\0', '#'}));  // a NUL first byte ends it
}

TEST(Base64Codec, RoundTripsRandomTexts) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> byte(1, 255), length(0, 300);
    for (int i = 0; i < 3000; ++i) {
        std::string in(static_cast<size_t>(length(rng)), ' ');
        for (char& c : in) c = static_cast<char>(byte(rng));
        const std::string enc = Encode(in);
        ASSERT_EQ(enc.find_first_not_of(
                      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+/="),
                  std::string::npos);
        const std::vector<char> dec = Decode(enc);
        ASSERT_EQ(std::string(dec.data()), in) << "input #" << i;
    }
}

}  // namespace
