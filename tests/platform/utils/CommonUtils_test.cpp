#include "qo_common/utils/CommonUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <set>

namespace {

bool isUuidV4(const std::string& text) {
    const std::string form = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
    if (text.size() != form.size()) {
        return false;
    }
    const std::string hex = "0123456789abcdef";
    for (size_t i = 0; i < form.size(); ++i) {
        char c = text[i];
        bool ok = form[i] == 'x'   ? hex.find(c) != std::string::npos
                  : form[i] == 'y' ? std::string("89ab").find(c) != std::string::npos
                                   : c == form[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool isPlainFileName(const std::string& text) {
    return !text.empty() &&
           text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") ==
               std::string::npos;
}

class UtcZone : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_) {
            oldTz_ = tz;
        }
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool hadTz_ = false;
    std::string oldTz_;
};

TEST(CommonUtilsTest, GetTsIsEpochMillisecondsOfTheSystemClock) {
    using namespace std::chrono;
    auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    auto ts = CommonUtils::getTs();
    auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_LE(before, ts);
    EXPECT_LE(ts, after);
}

TEST(CommonUtilsTest, GenGuidIsAVersion4UuidAndNeverRepeats) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        auto guid = CommonUtils::genGuid();
        ASSERT_TRUE(isUuidV4(guid)) << guid;
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

struct FormatCase {
    int64_t ms;
    std::string pattern;
    std::string expected;
};

TEST_F(UtcZone, FormatReplacesMillisecondsBeforeStrftime) {
    const FormatCase cases[] = {
        {0, "%Y-%m-%d %H:%M:%S.%ms", "1970-01-01 00:00:00.000"},
        {1714564800123, "%Y-%m-%dT%H:%M:%S.%ms%z", "2024-05-01T12:00:00.123+0000"},
        {1714564800005, "%ms", "005"},
        {1714564800120, "%ms|%ms", "120|120"},
        {-1, "%Y-%m-%d %H:%M:%S.%ms", "1969-12-31 23:59:59.999"},
        {1714564800123, "%%ms", "%ms"},
        {1714564800123, "%%%ms", "%123"},
        {1714564800123, "", ""},
        {1714564800123, "no fields", "no fields"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommonUtils::format(c.ms, c.pattern), c.expected) << c.pattern;
    }
}

TEST_F(UtcZone, FormatGivesLongTextsWhole) {
    std::string pattern(1000, 'x');
    pattern += "%Y";
    EXPECT_EQ(CommonUtils::format(0, pattern), std::string(1000, 'x') + "1970");
}

TEST(CommonUtilsTest, FormatDouble) {
    struct Case {
        double value;
        int digits;
        const char* expected;
    };
    const Case cases[] = {
        {3.14159, 2, "3.14"}, {1.0 / 3.0, 3, "0.333"}, {-12.345, 1, "-12.3"}, {1e6, 1, "1000000.0"},
        {0.0, 2, "0.00"},     {7.0, -1, "7"},          {42.0, 0, "42"},       {1e300, 1, nullptr},
    };
    for (const auto& c : cases) {
        auto text = CommonUtils::formatDouble(c.value, c.digits);
        if (c.expected) {
            EXPECT_EQ(text, c.expected) << c.value;
        } else {
            EXPECT_EQ(text.size(), 303u);  // 301 integer digits, the point and one decimal
            EXPECT_EQ(text.substr(text.size() - 2), ".0");
        }
    }
}

TEST(CommonUtilsTest, Split) {
    struct Case {
        std::string text;
        std::string separator;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"a,b,c", ",", {"a", "b", "c"}},
        {"a,,b", ",", {"a", "", "b"}},
        {",a,", ",", {"", "a", ""}},
        {"", ",", {""}},
        {"abc", ",", {"abc"}},
        {"a::b::c", "::", {"a", "b", "c"}},
        {"a,b", "", {"a,b"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommonUtils::split(c.text, c.separator), c.expected) << c.text;
    }
}

TEST(CommonUtilsTest, Trim) {
    const std::pair<std::string, std::string> cases[] = {
        {"  abc  ", "abc"}, {"\t\r\nabc\n", "abc"}, {"a b", "a b"}, {"   ", ""}, {"", ""}, {"x", "x"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(CommonUtils::trim(text), expected) << text;
    }
}

TEST(CommonUtilsTest, Replace) {
    struct Case {
        std::string text, from, to, expected;
    };
    const Case cases[] = {
        {"a-b-c", "-", "+", "a+b+c"}, {"a-b-c", "-", "", "abc"},
        {"aaa", "a", "aa", "aaaaaa"},  // the replacement is not searched again
        {"abc", "", "x", "abc"},       // empty `from`: unchanged, no endless loop
        {"abcabc", "abc", "x", "xx"}, {"aaaa", "aa", "b", "bb"},
        {"", "a", "b", ""},           {"no match", "z", "y", "no match"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommonUtils::replace(c.text, c.from, c.to), c.expected) << c.text << " / " << c.from;
    }
}

TEST(CommonUtilsTest, JoinPath) {
    struct Case {
        std::string dir, name, expected;
    };
    const Case cases[] = {
        {"models", "a.onnx", "models/a.onnx"},
        {"models/", "a.onnx", "models/a.onnx"},
        {"models", "/a.onnx", "models/a.onnx"},
        {"models/", "/a.onnx", "models/a.onnx"},
        {"", "a.onnx", "a.onnx"},
        {"models", "", "models"},
        {"/", "a", "/a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommonUtils::joinPath(c.dir, c.name), c.expected) << c.dir << " + " << c.name;
    }
}

TEST(CommonUtilsTest, PathToIdIsAFileNameThatKeepsPathsApart) {
    const std::string paths[] = {"models/plate.onnx", "models_plate.onnx", "/abs/path with blanks/ü.onnx", "",
                                 std::string(500, 'd') + "/x.onnx"};
    std::set<std::string> ids;
    for (const auto& path : paths) {
        auto id = CommonUtils::pathToId(path);
        EXPECT_TRUE(isPlainFileName(id)) << id;
        EXPECT_LE(id.size(), 120u) << id;
        EXPECT_EQ(id, CommonUtils::pathToId(path));
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), std::size(paths));
}

TEST(CommonUtilsTest, CleanupListThreadsDropsOnlyReadyOrInvalidFutures) {
    std::promise<void> done;
    std::promise<void> pending;
    std::vector<std::future<void>> futures;
    futures.push_back(done.get_future());
    futures.push_back(pending.get_future());
    futures.emplace_back();  // invalid
    done.set_value();
    EXPECT_EQ(CommonUtils::cleanupListThreads(futures), 1u);
    ASSERT_EQ(futures.size(), 1u);
    pending.set_value();
    EXPECT_EQ(futures[0].wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_EQ(CommonUtils::cleanupListThreads(futures), 0u);
}

TEST(CommonUtilsTest, CleanupListThreadsKeepsARunningAsyncTask) {
    std::promise<void> release;
    auto gate = release.get_future().share();
    std::vector<std::future<void>> futures;
    futures.push_back(std::async(std::launch::async, [gate] { gate.wait(); }));
    EXPECT_EQ(CommonUtils::cleanupListThreads(futures), 1u);
    release.set_value();
    futures[0].wait();
    EXPECT_EQ(CommonUtils::cleanupListThreads(futures), 0u);
}

}  // namespace
