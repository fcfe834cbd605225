#include "qo_common/utils/Config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "tests/support/TempDir.h"

namespace {

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

TEST(ConfigTest, ReadsTheJsonDocumentOfAFile) {
    TempDir dir;
    writeFile(dir.file("config.json"), R"({"webserver": {"port": 8080}, "sources": []})");
    auto doc = Config::read(dir.file("config.json"));
    EXPECT_EQ(doc.at("webserver").at("port"), 8080);
    EXPECT_TRUE(doc.at("sources").is_array());
}

TEST(ConfigTest, MissingFileOrDirectoryNamesThePath) {
    TempDir dir;
    for (const auto& path : {dir.file("absent.json"), dir.path().string()}) {
        try {
            Config::read(path);
            ADD_FAILURE() << "no error for " << path;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
}

TEST(ConfigTest, AFileBeyondTheBoundIsRefusedWithoutReadingItAll) {
    try {
        Config::read("/dev/zero");
        ADD_FAILURE() << "an endless file was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "configuration file '/dev/zero': larger than 16777216 bytes");
    }
}

TEST(ConfigTest, TextThatIsNotJsonOrTooDeepNamesTheFile) {
    TempDir dir;
    const std::string deep = "{\"sources\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    for (const std::string& text : {std::string("{\"a\": "), std::string(), std::string("not json"), deep}) {
        writeFile(dir.file("bad.json"), text);
        try {
            Config::read(dir.file("bad.json"));
            ADD_FAILURE() << "accepted " << text.substr(0, 20);
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("configuration file '" + dir.file("bad.json") + "': ", 0), 0u) << message;
            EXPECT_LT(message.size(), 400u);
        }
    }
    writeFile(dir.file("deep.json"), deep);
    try {
        Config::read(dir.file("deep.json"));
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("nested deeper than 64 levels"), std::string::npos) << e.what();
    }
}

}  // namespace
