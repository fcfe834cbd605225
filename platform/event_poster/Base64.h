#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// RFC 4648 base64, standard alphabet, padded, no line breaks.
class Base64 {
  public:
    static std::string encode(const unsigned char* data, size_t size);
    static std::string encode(const std::vector<unsigned char>& data) {
        return encode(data.data(), data.size());
    }
    // Throws std::invalid_argument on a length that is not a multiple of 4, a character outside the
    // alphabet, or misplaced padding.
    static std::vector<unsigned char> decode(std::string_view text);
};
