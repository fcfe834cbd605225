#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "LogLine.h"
#include "platform/logger/Logger.h"
#include "tests/support/TempDir.h"

namespace {

TEST(LoggerThreadsTest, LinesFromManyThreadsStayWhole) {
    TempDir dir;
    Logger::Options options;
    options.level = ILog::LevelDebug;
    options.sender = "mt";
    options.file = true;
    options.filePath = dir.file("log.txt");
    constexpr int kThreads = 4;
    constexpr int kMessages = 300;
    {
        Logger logger(options);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < kMessages; ++i) {
                    logger.SendLog("thread " + std::to_string(t) + " message " + std::to_string(i) + " " +
                                       std::string(200, 'z'),
                                   i % 4, 0);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(logger.failedSends(), 0u);
    }
    const std::string tail = " " + std::string(200, 'z');
    std::ifstream in(dir.file("log.txt"));
    std::set<std::string> seen;
    for (std::string line; std::getline(in, line);) {
        auto parsed = LogLine::parse(line);
        ASSERT_TRUE(parsed) << line;
        ASSERT_EQ(parsed->sender, "mt");
        const std::string& message = parsed->message;
        ASSERT_GT(message.size(), tail.size()) << line;
        ASSERT_EQ(message.substr(message.size() - tail.size()), tail) << line;
        seen.insert(message.substr(0, message.size() - tail.size()));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kMessages));
}

}  // namespace
