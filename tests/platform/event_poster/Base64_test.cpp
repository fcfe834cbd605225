#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/event_poster/Base64.h"

namespace {

std::string encode(const std::string& text) {
    return Base64::encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string decode(const std::string& text) {
    auto bytes = Base64::decode(text);
    return std::string(bytes.begin(), bytes.end());
}

TEST(Base64, Rfc4648Vectors) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\0", 3), "//4A"},
    };
    for (const auto& [plain, coded] : cases) {
        EXPECT_EQ(encode(plain), coded);
        EXPECT_EQ(decode(coded), plain);
    }
}

TEST(Base64, RefusesMalformedText) {
    for (const char* bad : {"Zg=", "Zg==Zg==", "Z===", "Zm9v!A==", "Zm=v", "Zg\n=="}) {
        EXPECT_THROW(Base64::decode(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
