#include "platform/dnn/NetPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Stands in for a network: which one it is, in the order made.
struct FakeNet {
    int id = 0;
};

using Pool = NetPool<FakeNet>;

struct Maker {
    int made = 0;
    bool fail = false;
    Pool::Factory factory() {
        return [this] {
            if (fail) {
                throw std::runtime_error("cannot load the model");
            }
            return FakeNet{++made};
        };
    }
};

// Waits for a state of another thread, with a deadline that only a hang reaches.
template <typename Pred>
bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

TEST(NetPoolTest, GrowsOnDemandUpToTheBoundAndReusesWhatComesBack) {
    Maker maker;
    Pool pool(maker.factory(), FakeNet{0}, 3);
    {
        auto a = pool.acquire();
        EXPECT_EQ(a->id, 0);  // the loader's own network first
        auto b = pool.acquire();
        auto c = pool.acquire();
        EXPECT_EQ(pool.size(), 3u);
        EXPECT_EQ(maker.made, 2);
    }
    for (int i = 0; i < 5; ++i) {
        auto again = pool.acquire();
    }
    EXPECT_EQ(pool.size(), 3u);
    EXPECT_EQ(maker.made, 2);
}

TEST(NetPoolTest, AtTheBoundACallerWaitsForANetworkToComeBack) {
    Maker maker;
    Pool pool(maker.factory(), FakeNet{0}, 2);
    auto a = std::make_unique<Pool::Lease>(pool.acquire());
    auto b = pool.acquire();
    int got = -1;
    std::thread third([&] { got = pool.acquire()->id; });
    ASSERT_TRUE(eventually([&] { return pool.waiting() == 1; }));
    EXPECT_EQ(pool.size(), 2u);
    const int lent = (*a)->id;
    a.reset();
    third.join();
    EXPECT_EQ(got, lent);
    EXPECT_EQ(pool.size(), 2u);
    EXPECT_EQ(maker.made, 1);
}

TEST(NetPoolTest, ManyThreadsNeverMakeMoreThanTheBound) {
    Maker maker;
    Pool pool(maker.factory(), FakeNet{0}, 3);
    std::atomic<int> inUse{0};
    std::atomic<int> most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto lease = pool.acquire();
                int now = ++inUse;
                for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
                }
                --inUse;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_LE(most.load(), 3);
    EXPECT_LE(pool.size(), 3u);
    EXPECT_LE(maker.made, 2);
}

TEST(NetPoolTest, ALowerBoundFreesIdleNetworksAtOnceAndLentOnesOnReturn) {
    const size_t before = Pool::liveNets();
    Maker maker;
    Pool pool(maker.factory(), FakeNet{0}, 3);
    auto a = std::make_unique<Pool::Lease>(pool.acquire());
    { auto b = pool.acquire(), c = pool.acquire(); }
    EXPECT_EQ(Pool::liveNets(), before + 3);
    pool.setBound(1);
    EXPECT_EQ(pool.size(), 1u);  // the lent one
    EXPECT_EQ(Pool::liveNets(), before + 1);
    pool.setBound(0);  // taken as 1: a model always has a network
    EXPECT_EQ(pool.bound(), 1u);
    a.reset();
    EXPECT_EQ(pool.size(), 1u);
    EXPECT_EQ(Pool::liveNets(), before + 1);
}

TEST(NetPoolTest, AFailingFactoryThrowsToItsCallerAndLeavesThePoolAsItWas) {
    Maker maker;
    Pool pool(maker.factory(), FakeNet{0}, 2);
    auto a = pool.acquire();
    maker.fail = true;
    EXPECT_THROW(pool.acquire(), std::runtime_error);
    EXPECT_EQ(pool.size(), 1u);
    maker.fail = false;
    auto b = pool.acquire();
    EXPECT_EQ(b->id, 1);
    EXPECT_EQ(pool.size(), 2u);
}

TEST(NetPoolTest, DestroyingThePoolFreesEveryNetwork) {
    const size_t before = Pool::liveNets();
    {
        Maker maker;
        Pool pool(maker.factory(), FakeNet{0}, 4);
        auto a = pool.acquire(), b = pool.acquire(), c = pool.acquire();
        EXPECT_EQ(Pool::liveNets(), before + 3);
    }
    EXPECT_EQ(Pool::liveNets(), before);
}

}  // namespace
