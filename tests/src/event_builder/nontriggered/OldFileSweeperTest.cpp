#include "src/event_builder/OldFileSweeper.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "tests/support/CapturingLog.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using SystemTime = std::chrono::system_clock::time_point;

// A file written at `when` (system time).
void fileAt(const fs::path& path, SystemTime when) {
    std::ofstream(path) << "x";
    fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
}

// A whole second, so that ages in whole seconds are exact.
SystemTime aWholeSecond() {
    return std::chrono::floor<seconds>(std::chrono::system_clock::now()) - seconds(3600);
}

TEST(OldFileSweeperTest, RemovesOnlyRegularFilesOlderThanFiveMinutes) {
    CapturingLog::Installed capture;
    TempDir dir;
    std::mutex disk;
    const SystemTime written = aWholeSecond();
    fileAt(dir.path() / "clip.mp4", written);
    fs::create_directory(dir.path() / "sub");
    fileAt(dir.path() / "sub" / "inner.mp4", written);
    fs::last_write_time(dir.path() / "sub", std::chrono::file_clock::from_sys(written));

    const std::string savePath = dir.path().string() + "/";
    OldFileSweeper::sweepAt(savePath, disk, written + seconds(300));
    EXPECT_TRUE(fs::exists(dir.path() / "clip.mp4")) << "exactly 300 s old stays";

    OldFileSweeper::sweepAt(savePath, disk, written + seconds(301));
    EXPECT_FALSE(fs::exists(dir.path() / "clip.mp4"));
    EXPECT_TRUE(capture.log->contains("The file was deleted because it is older than 5 minutes: " +
                                      (dir.path() / "clip.mp4").string()));
    EXPECT_TRUE(fs::exists(dir.path() / "sub" / "inner.mp4")) << "subdirectories are not entered";
    EXPECT_TRUE(fs::is_directory(dir.path() / "sub"));
}

TEST(OldFileSweeperTest, KeepsFreshFilesAtTheRealPresentTime) {
    // The file clock is not the system clock: compared raw, every fresh file would look ancient.
    TempDir dir;
    std::mutex disk;
    std::ofstream(dir.path() / "fresh.mp4") << "x";
    OldFileSweeper::sweep(dir.path().string() + "/", disk);
    EXPECT_TRUE(fs::exists(dir.path() / "fresh.mp4"));
}

TEST(OldFileSweeperTest, AFileNamePrefixSweepsOnlyItsOwnFiles) {
    TempDir dir;
    std::mutex disk;
    const SystemTime written = aWholeSecond();
    fileAt(dir.path() / "cam1_a.mp4", written);
    fileAt(dir.path() / "cam2_a.mp4", written);
    fileAt(dir.path() / "config.json", written);
    OldFileSweeper::sweepAt((dir.path() / "cam1_").string(), disk, written + seconds(400));
    EXPECT_FALSE(fs::exists(dir.path() / "cam1_a.mp4"));
    EXPECT_TRUE(fs::exists(dir.path() / "cam2_a.mp4"));
    EXPECT_TRUE(fs::exists(dir.path() / "config.json"));
}

TEST(OldFileSweeperTest, AMissingDirectoryOrAnEmptyPathIsNoFailure) {
    CapturingLog::Installed capture;
    std::mutex disk;
    TempDir dir;
    std::ofstream(dir.path() / "old") << "x";
    fs::last_write_time(dir.path() / "old", std::chrono::file_clock::from_sys(aWholeSecond()));
    const auto previous = fs::current_path();
    fs::current_path(dir.path());
    OldFileSweeper::sweep("", disk);  // never the working directory
    fs::current_path(previous);
    EXPECT_TRUE(fs::exists(dir.path() / "old"));

    OldFileSweeper::sweep((dir.path() / "missing" / "").string(), disk);
    EXPECT_TRUE(capture.log->contains(
        "The specified directory does not exist or is not a directory: " + (dir.path() / "missing").string(),
        ILog::LevelError));
}

TEST(OldFileSweeperTest, TheThreadSweepsAtOnceAndEndsPromptlyWhenDestroyed) {
    CapturingLog::Installed capture;
    TempDir dir;
    std::mutex disk;
    fileAt(dir.path() / "old.mp4", aWholeSecond());
    {
        // The next sweep is an hour away: a destructor that waited for it instead of waking the
        // thread would hang the test.
        OldFileSweeper sweeper("nt", {dir.path().string() + "/"}, disk, std::chrono::hours(1));
        ASSERT_TRUE(capture.log->waitFor("older than 5 minutes"));
    }
    EXPECT_FALSE(fs::exists(dir.path() / "old.mp4"));
    EXPECT_TRUE(capture.log->contains("nt: Run thread for deleting old files"));
    EXPECT_TRUE(capture.log->contains("nt: Stop thread for deleting old files"));
}

TEST(OldFileSweeperTest, TheThreadSweepsAgainEveryPeriod) {
    CapturingLog::Installed capture;
    TempDir dir;
    std::mutex disk;
    const fs::path first = dir.path() / "first.mp4";
    const fs::path second = dir.path() / "second.mp4";
    fileAt(first, aWholeSecond());
    OldFileSweeper sweeper("nt", {dir.path().string() + "/"}, disk, std::chrono::milliseconds(10));
    ASSERT_TRUE(capture.log->waitFor("older than 5 minutes: " + first.string(), seconds(30)));
    {
        // A sweep holds the disk lock throughout: once we have it the first sweep is over, and
        // only a later one can find this file.
        std::lock_guard<std::mutex> lock(disk);
        fileAt(second, aWholeSecond());
    }
    EXPECT_TRUE(capture.log->waitFor("older than 5 minutes: " + second.string(), seconds(30)));
    EXPECT_FALSE(fs::exists(second));
}

}  // namespace
