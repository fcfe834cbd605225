#include "qo_common/utils/FileSystem.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/TempDir.h"

namespace {

TEST(FileSystemTest, Exist) {
    TempDir dir;
    std::ofstream(dir.file("present.txt")) << "x";
    EXPECT_TRUE(FileSystem::exist(dir.file("present.txt")));
    EXPECT_TRUE(FileSystem::exist(dir.path().string()));
    EXPECT_FALSE(FileSystem::exist(dir.file("absent.txt")));
    EXPECT_FALSE(FileSystem::exist(dir.file("absent/inner.txt")));
    EXPECT_FALSE(FileSystem::exist(""));
}

}  // namespace
