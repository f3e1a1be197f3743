// The text codec. Every text must come back from Base64Encode + Base64_DecodeStr as it was,
// each output buffer holding just the size the header promises; decoding the raw input (not
// an encoding at all) must stay inside its buffer as well.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "dravik/tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t n = strlen(input.c_str());
    std::vector<char> text(input.c_str(), input.c_str() + n + 1);

    std::vector<char> encoded(3 * ((n + 1) / 2) + 1);
    Base64Encode(text.data(), encoded.data());
    const size_t m = strlen(encoded.data());
    if (m != encoded.size() - 1) abort();

    std::vector<char> decoded(2 * (m / 3) + 1);
    Base64_DecodeStr(encoded.data(), decoded.data());
    if (strcmp(decoded.data(), text.data()) != 0) abort();

    std::vector<char> raw(2 * (n / 3) + 1);
    Base64_DecodeStr(text.data(), raw.data());
    return 0;
}
