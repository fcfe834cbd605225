#include "qo_common/utils/BoundedJson.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string nested(int levels) {
    return std::string(levels, '[') + std::string(levels, ']');
}

TEST(BoundedJson, ParsesUpToTheDepthBoundAndRefusesDeeper) {
    EXPECT_NO_THROW(ek::parseBoundedJson(nested(64), "body"));
    try {
        ek::parseBoundedJson(nested(65), "body");
        FAIL() << "a 65-level document must be refused";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("body: nested deeper than 64 levels", e.what());
    }
}

TEST(BoundedJson, CountsNestingNotSiblings) {
    // 1000 siblings each 63 levels deep inside one array: 64 levels, wherever a sibling sits.
    std::string siblings = "[" + nested(63);
    for (int i = 1; i < 1000; ++i) {
        siblings += "," + nested(63);
    }
    const auto document = ek::parseBoundedJson(siblings + "]", "list");
    EXPECT_EQ(document.size(), 1000u);
    EXPECT_THROW(ek::parseBoundedJson(siblings + "," + nested(64) + "]", "list"), std::runtime_error);
    EXPECT_EQ(ek::parseBoundedJson(R"({"a": [{}, {"b": {}}], "c": [[], {}]})", "x"),
              nlohmann::json::parse(R"({"a": [{}, {"b": {}}], "c": [[], {}]})"));
}

TEST(BoundedJson, RefusesVeryDeepDocumentsWithoutRecursing) {
    const std::string deep = std::string(100000, '{');
    EXPECT_THROW(ek::parseBoundedJson("{\"a\":" + nested(60000) + "}", "trigger"), std::runtime_error);
    EXPECT_THROW(ek::parseBoundedJson(deep, "trigger"), std::runtime_error);
}

TEST(BoundedJson, NamesWhatFailsForSizeAndSyntax) {
    try {
        ek::parseBoundedJson("{\"a\": 1", "config.json");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("config.json: not valid JSON: ", 0), 0u) << e.what();
    }
    try {
        ek::parseBoundedJson("[1,2,3]", "catalog", {64, 4});
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("catalog: larger than 4 bytes", e.what());
    }
    EXPECT_EQ(ek::parseBoundedJson("{\"a\":[1,{\"b\":2}]}", "x")["a"][1]["b"], 2);
}

TEST(BoundedJson, TheParserMessageNeverQuotesTheWholeDocument) {
    // The parser quotes what it last read: here every newline, each as "<U+000A>".
    const std::string body = "{" + std::string(100000, '\n') + "*}";
    try {
        ek::parseBoundedJson(body, "trigger");
        FAIL();
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("trigger: not valid JSON: [json.exception.parse_error.101]", 0), 0u)
            << message;
        EXPECT_LE(message.size(), 240u);
        EXPECT_EQ(message.substr(message.size() - 3), "...");
    }
}

}  // namespace
