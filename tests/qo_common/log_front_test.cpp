#include "qo_common/logger/log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/CapturingLog.h"

namespace {

// A wide character beyond Unicode cannot be written as a multibyte text in any locale, so
// snprintf answers -1 (EILSEQ) for it, at once and also under the sanitizers.
const char* const kUnformattable = "%ls";
const wchar_t kNotACharacter[] = {L'a', static_cast<wchar_t>(0x110000), 0};

class NoInstance : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = ILog::instance;
        ILog::instance.reset();
    }
    void TearDown() override { ILog::instance = saved_; }

  private:
    std::shared_ptr<ILog> saved_;
};

TEST_F(NoInstance, EveryLevelReturnsFalseAndFormatsNothing) {
    EXPECT_FALSE(ILog::Error("e %d", 1));
    EXPECT_FALSE(ILog::Warning("w"));
    EXPECT_FALSE(ILog::Info("i %s", "x"));
    EXPECT_FALSE(ILog::Debug("d %ld", int64_t{5}));
    // Not formatted at all, so even an unformattable text does not throw.
    EXPECT_FALSE(ILog::Error(kUnformattable, kNotACharacter));
}

TEST(LogFrontTest, SendsEachLevelWithItsNumberAndZero) {
    auto capture = CapturingLog::install();
    EXPECT_TRUE(ILog::Error("e %d", 1));
    EXPECT_TRUE(ILog::Warning("w %s", "two"));
    EXPECT_TRUE(ILog::Info("i %ld %lu", int64_t{-3}, uint64_t{4}));
    EXPECT_TRUE(ILog::Debug("d %.2f", 0.5));
    auto entries = capture.log->entries();
    ASSERT_EQ(entries.size(), 4u);
    const std::pair<std::string, int> expected[] = {{"e 1", 0}, {"w two", 1}, {"i -3 4", 2}, {"d 0.50", 3}};
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].message, expected[i].first);
        EXPECT_EQ(entries[i].level, expected[i].second);
        EXPECT_EQ(entries[i].reserved, 0);
    }
}

TEST(LogFrontTest, FormattingErrorThrowsAndSendsNothing) {
    auto capture = CapturingLog::install();
    try {
        ILog::Warning(kUnformattable, kNotACharacter);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error during formatting.");
    }
    EXPECT_THROW(ILog::StringFormat(kUnformattable, kNotACharacter), std::runtime_error);
    EXPECT_TRUE(capture.log->entries().empty());
}

TEST(LogFrontTest, FormattingErrorThrowsEvenForTheBaseLogger) {
    auto saved = ILog::instance;
    ILog::instance = std::make_shared<ILog>();
    EXPECT_TRUE(ILog::Info("delivered nowhere %d", 1));
    EXPECT_THROW(ILog::Debug(kUnformattable, kNotACharacter), std::runtime_error);
    ILog::instance = saved;
}

TEST(LogFrontTest, EmptyResultSendsAnEmptyMessage) {
    auto capture = CapturingLog::install();
    ILog::Info("");
    ILog::Info("%s", "");
    EXPECT_EQ(capture.log->messages(), (std::vector<std::string>{"", ""}));
}

TEST(LogFrontTest, LongMessageIsFormattedWhole) {
    auto capture = CapturingLog::install();
    const std::string text(100000, 'x');
    ILog::Info("<%s|%d>", text.c_str(), 42);
    ASSERT_EQ(capture.log->messages().size(), 1u);
    EXPECT_EQ(capture.log->messages()[0], "<" + text + "|42>");
    EXPECT_EQ(ILog::StringFormat("%s%s", text.c_str(), text.c_str()).size(), 200000u);
}

TEST(LogFrontTest, ResultOfTheLoggerIsPassedOn) {
    class Refusing : public ILog {
      public:
        bool SendLog(const std::string&, int, int) override { return false; }
    };
    auto saved = ILog::instance;
    ILog::instance = std::make_shared<Refusing>();
    EXPECT_FALSE(ILog::Error("x"));
    ILog::instance = saved;
}

TEST(LogFrontTest, ManyThreadsLogAtOnce) {
    auto capture = CapturingLog::install();
    constexpr int kThreads = 4;
    constexpr int kMessages = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i) {
                ILog::Debug("thread %d message %d", t, i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(capture.log->entries().size(), static_cast<size_t>(kThreads * kMessages));
    EXPECT_EQ(capture.log->count("thread 3 message "), static_cast<size_t>(kMessages));
}

}  // namespace
