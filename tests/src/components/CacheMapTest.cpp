#include "src/components/CacheMap.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

namespace {

using Cache = ek::CacheMap<std::string, std::shared_ptr<int>>;

TEST(CacheMapTest, CountsUsersAndCreatesOncePerKey) {
    Cache cache;
    int made = 0;
    auto factory = [&] {
        ++made;
        return std::make_shared<int>(made);
    };
    auto a = cache.getOrCreate("m", factory);
    auto b = cache.getOrCreate("m", factory);
    auto c = cache.getOrCreate("n", factory);
    EXPECT_EQ(made, 2);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(cache.users("m"), 2u);
    EXPECT_EQ(cache.size(), 2u);
}

TEST(CacheMapTest, TheLastReleaseDropsTheCachesReference) {
    Cache cache;
    std::weak_ptr<int> watch;
    {
        auto a = cache.getOrCreate("m", [] { return std::make_shared<int>(1); });
        auto b = cache.getOrCreate("m", [] { return std::make_shared<int>(2); });
        watch = a;
        cache.release("m");
        EXPECT_EQ(cache.users("m"), 1u);
        cache.release("m");
        EXPECT_EQ(cache.size(), 0u);
        EXPECT_FALSE(watch.expired());  // the users still hold it
    }
    EXPECT_TRUE(watch.expired());
}

TEST(CacheMapTest, AThrowingFactoryLeavesNoEntry) {
    Cache cache;
    EXPECT_THROW(
        cache.getOrCreate("m", []() -> std::shared_ptr<int> { throw std::runtime_error("no model"); }),
        std::runtime_error);
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_EQ(*cache.getOrCreate("m", [] { return std::make_shared<int>(7); }), 7);
    EXPECT_EQ(cache.users("m"), 1u);
}

TEST(CacheMapTest, ReleasingAnUnknownKeyChangesNothing) {
    Cache cache;
    cache.getOrCreate("m", [] { return std::make_shared<int>(1); });
    cache.release("other");
    EXPECT_EQ(cache.users("m"), 1u);
    cache.release("m");
    cache.release("m");
    EXPECT_EQ(cache.size(), 0u);
}

TEST(CacheMapTest, EntriesLeftAtTheEndAreReportedOnStandardError) {
    struct Case {
        int keys;
        std::string expected;
    };
    const Case cases[] = {{2, "~CacheMap() forced to release remain 2 instance(s)\n"}, {0, ""}};
    for (const auto& c : cases) {
        std::optional<Cache> cache(std::in_place);
        for (int k = 0; k < c.keys; ++k) {
            cache->getOrCreate(std::to_string(k), [] { return std::make_shared<int>(0); });
        }
        cache->getOrCreate("0", [] { return std::make_shared<int>(0); });  // two users of one key count once
        if (c.keys == 0) {
            cache->release("0");
        }
        ::testing::internal::CaptureStderr();
        cache.reset();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.expected);
    }
}

// A model that keeps copies of its network for its users learns their count from the cache.
TEST(CacheMapTest, AModelIsToldItsUsersWhenTheyChange) {
    struct Model {
        std::vector<size_t> told;
        void setUsers(size_t users) { told.push_back(users); }
    };
    ek::CacheMap<std::string, std::shared_ptr<Model>> cache;
    auto model = cache.getOrCreate("m", [] { return std::make_shared<Model>(); });
    cache.getOrCreate("m", [] { return std::make_shared<Model>(); });
    cache.getOrCreate("m", [] { return std::make_shared<Model>(); });
    cache.getOrCreate("other", [] { return std::make_shared<Model>(); });
    cache.release("m");
    cache.release("m");
    cache.release("m");  // the last user: the model goes, nothing to tell
    cache.release("other");
    EXPECT_EQ(model->told, (std::vector<size_t>{1, 2, 3, 2, 1}));
}

}  // namespace
