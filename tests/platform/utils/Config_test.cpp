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

TEST(ConfigTest, TextThatIsNotJsonGivesTheParseError) {
    TempDir dir;
    for (const char* text : {"{\"a\": ", "", "not json"}) {
        writeFile(dir.file("bad.json"), text);
        EXPECT_THROW(Config::read(dir.file("bad.json")), nlohmann::json::parse_error) << text;
    }
}

}  // namespace
