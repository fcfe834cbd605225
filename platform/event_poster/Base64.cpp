#include "platform/event_poster/Base64.h"

#include <array>
#include <stdexcept>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeReverse() {
    std::array<int, 256> table{};
    for (auto& v : table) {
        v = -1;
    }
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
    return table;
}

constexpr std::array<int, 256> kReverse = makeReverse();

}  // namespace

std::string Base64::encode(const unsigned char* data, size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        unsigned v = (unsigned(data[i]) << 16) | (unsigned(data[i + 1]) << 8) | unsigned(data[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    size_t rest = size - i;
    if (rest > 0) {
        unsigned v = unsigned(data[i]) << 16;
        if (rest == 2) {
            v |= unsigned(data[i + 1]) << 8;
        }
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<unsigned char> Base64::decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        throw std::invalid_argument("base64: length " + std::to_string(text.size()) +
                                    " is not a multiple of 4");
    }
    std::vector<unsigned char> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int pad = 0;
        unsigned v = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=') {
                // Padding only in the last two places of the last group, and nothing after it.
                if (!last || k < 2 || (k == 2 && text[i + 3] != '=')) {
                    throw std::invalid_argument("base64: misplaced padding at " + std::to_string(i + k));
                }
                ++pad;
                v <<= 6;
                continue;
            }
            int d = kReverse[static_cast<unsigned char>(c)];
            if (d < 0) {
                throw std::invalid_argument("base64: invalid character at " + std::to_string(i + k));
            }
            v = (v << 6) | unsigned(d);
        }
        out.push_back(static_cast<unsigned char>((v >> 16) & 0xFF));
        if (pad < 2) {
            out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
        }
        if (pad < 1) {
            out.push_back(static_cast<unsigned char>(v & 0xFF));
        }
    }
    return out;
}
