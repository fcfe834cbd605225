#include "qo_common/utils/BoundedFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace {

std::string writeFile(const TempDir& dir, const std::string& name, const std::string& text) {
    const auto path = dir.file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Every byte differs from its neighbours', so a chunk dropped, repeated or reordered shows.
std::string pattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(i * 7 % 251);
    }
    return text;
}

TEST(BoundedFile, ReadsUpToTheBoundAndRefusesMoreNamingTheFile) {
    TempDir dir;
    // Several of the reader's 64 KiB chunks, ending one byte into the next.
    const std::string big = pattern(2 * 64 * 1024 + 1);
    const std::string bigFile = writeFile(dir, "big.bin", big);
    const std::string text = writeFile(dir, "eight.txt", "12345678");
    struct Case {
        std::string path;
        size_t limit;
        std::string expected;  // the text read, or the error's message
        bool fails;
    };
    const std::vector<Case> cases = {
        {text, 8, "12345678", false},
        {text, 7, "f: larger than 7 bytes", true},
        {writeFile(dir, "empty.txt", ""), 0, "", false},
        {text, 0, "f: larger than 0 bytes", true},
        {bigFile, big.size(), big, false},
        {bigFile, big.size() - 1, "f: larger than " + std::to_string(big.size() - 1) + " bytes", true},
        {bigFile, 64 * 1024, "f: larger than 65536 bytes", true},
        // Endless: only a reader that stops one byte past the bound returns.
        {"/dev/zero", 1000, "f: larger than 1000 bytes", true},
        {dir.path().string(), 8, "f: is a directory", true},
        {dir.file("missing.txt"), 8, "f: cannot open: No such file or directory", true},
        {text + "/inside", 8, "f: cannot open: Not a directory", true},
    };
    for (const auto& c : cases) {
        try {
            const std::string got = ek::readBoundedFile(c.path, "f", c.limit);
            EXPECT_FALSE(c.fails) << c.path << " read, expected: " << c.expected;
            EXPECT_TRUE(got == c.expected) << c.path << ": " << got.size() << " bytes read";
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(c.fails) << c.path << ": " << e.what();
            EXPECT_EQ(e.what(), c.expected) << c.path;
        }
    }
}

}  // namespace
