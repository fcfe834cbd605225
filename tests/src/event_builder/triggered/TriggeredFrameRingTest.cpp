#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "src/event_builder/TriggeredFrameRing.h"
#include "tests/support/CapturingLog.h"

// The collection of frames around a trigger time from one camera's ring, while a camera thread
// keeps pushing into it.
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int64_t kStep = 40;  // ms between frames, 25 fps

std::shared_ptr<FrameWithInfo> frameAt(int index, int64_t base) {
    auto f = std::make_shared<FrameWithInfo>();
    f->frame->guid = "f" + std::to_string(100 + index);  // guid order is frame order
    f->frame->sourceId = 1;
    f->frame->timestamp = base + kStep * index;
    return f;
}

std::vector<int> indexesOf(const TriggeredFrameRing::Frames& frames) {
    std::vector<int> out;
    for (const auto& [guid, frame] : frames) {
        out.push_back(std::stoi(guid.substr(1)) - 100);
    }
    return out;
}

enum class Timing {
    AtOnce,        // returns without waiting for anything
    AfterTimeout,  // returns after one frame wait that brought nothing
    WithFrames,    // returns once the frames it needs have arrived
    UntilPoison,   // returns when the ring is poisoned while it waits
};

struct Row {
    const char* name;
    uint64_t capacity;
    int prefilled;          // frames 0 .. prefilled-1 are in the ring before the call
    int pushedLater;        // the camera thread pushes the next ones during the call, one a wait
    double at;              // trigger time, in frame steps from frame 0
    int64_t baseFromNowMs;  // time of frame 0 relative to the clock
    int pre;
    int post;
    std::vector<int> expected;
    Timing timing;
    const char* warning = nullptr;  // part of a Warning line the call must log
    bool poisonBefore = false;
};

// Waits until the ring's walks have begun `waits` waits, or `stop`.
bool waitForWaits(const TriggeredFrameRing& ring, uint64_t waits, const std::atomic<bool>& stop) {
    while (ring.waitsBegun() < waits) {
        if (stop) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Pushes the next frame each time the walk waits, so that the walk meets every interleaving the
// same way however the threads are scheduled.
class Camera {
  public:
    Camera(TriggeredFrameRing& ring, int first, int count, int64_t base) {
        thread_ = std::thread([&ring, first, count, base, this] {
            for (int i = 0; i < count && waitForWaits(ring, static_cast<uint64_t>(i) + 1, stop_); ++i) {
                ring.push(frameAt(first + i, base));
            }
        });
    }
    ~Camera() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Poisons the ring once a walk waits.
class Poisoner {
  public:
    explicit Poisoner(TriggeredFrameRing& ring)
        : thread_([&ring, this] {
              if (waitForWaits(ring, 1, stop_)) {
                  ring.poison();
              }
          }) {}
    ~Poisoner() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(TriggeredFrameRingTest, PrePostTable) {
    const int64_t past = -60000;  // frames of a minute ago: no clock bound applies
    const std::vector<Row> rows = {
        {"trigger time on a frame", 20, 20, 0, 10, past, 3, 0, {7, 8, 9}, Timing::AtOnce},
        {"post from the start frame", 20, 20, 0, 10, past, 0, 4, {10, 11, 12, 13}, Timing::AtOnce},
        {"trigger time between frames", 20, 20, 0, 9.5, past, 2, 2, {8, 9, 10, 11}, Timing::AtOnce},
        {"pre reaches the oldest frame", 20, 20, 0, 2, past, 5, 0, {0, 1}, Timing::AtOnce},
        {"older than the ring", 20, 20, 0, -0.5, past, 3, 3, {}, Timing::AtOnce, "no data in the buffer"},
        {"ahead, frames arriving", 20, 10, 10, 12, past, 3, 3, {9, 10, 11, 12, 13, 14}, Timing::WithFrames},
        {"ahead, no frame arrives",
         20,
         10,
         0,
         12,
         past,
         3,
         0,
         {},
         Timing::AfterTimeout,
         "reason=search_start_frame"},
        {"short post", 20, 10, 0, 8, past, 0, 5, {8, 9}, Timing::AfterTimeout, "reason=collect_post_frames"},
        // Frames 0-4 fill the ring; the walk passes them and then frames 5-7 while 8 new frames push
        // the old ones out: each is passed exactly once, so the pre ring holds 0-7.
        {"eviction during the waits", 5, 5, 8, 8, past, 8, 0, {0, 1, 2, 3, 4, 5, 6, 7}, Timing::WithFrames},
        {"eviction, pre and post", 5, 5, 10, 8, past, 3, 3, {5, 6, 7, 8, 9, 10}, Timing::WithFrames},
        {"ring not yet full", 50, 5, 5, 6, past, 6, 0, {0, 1, 2, 3, 4, 5}, Timing::WithFrames},
        {"poison during the walk", 20, 10, 0, 15, past, 3, 3, {}, Timing::UntilPoison},
        {"poisoned ring", 20, 10, 0, 5, past, 3, 3, {}, Timing::AtOnce, nullptr, true},
        {"pre and post 0", 20, 10, 0, 15, past, 0, 0, {}, Timing::AtOnce},
        {"far ahead", 20, 10, 0, 0, 60000, 3, 3, {}, Timing::AtOnce, "reason=search_start_frame"},
        {"empty ring, stale trigger time",
         20,
         0,
         0,
         0,
         -120000,
         3,
         3,
         {},
         Timing::AtOnce,
         "reason=empty_stale"},
        {"empty ring, nothing arrives",
         20,
         0,
         0,
         0,
         -100,
         3,
         3,
         {},
         Timing::AfterTimeout,
         "reason=empty_after_wait"},
        {"empty ring, frames arriving", 20, 0, 8, 3, 100, 2, 2, {1, 2, 3, 4}, Timing::WithFrames},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto capture = CapturingLog::install();
        TriggeredFrameRing::Limits limits;
        // Rows that must not time out get a wait far above what they may take; rows that time out a
        // short one. An empty ring is stale only after a minute, far above any delay of this thread.
        limits.frameWait = row.timing == Timing::AfterTimeout ? 300ms : 30s;
        limits.staleEmpty = 60s;
        TriggeredFrameRing ring(row.capacity, limits);
        const int64_t base = CommonUtils::getTs() + row.baseFromNowMs;
        for (int i = 0; i < row.prefilled; ++i) {
            ring.push(frameAt(i, base));
        }
        if (row.poisonBefore) {
            ring.poison();
        }
        const int64_t ts = base + static_cast<int64_t>(row.at * kStep);
        TriggeredFrameRing::Frames got;
        const auto start = Clock::now();
        {
            std::unique_ptr<Camera> camera;
            if (row.pushedLater > 0) {
                camera = std::make_unique<Camera>(ring, row.prefilled, row.pushedLater, base);
            }
            std::unique_ptr<Poisoner> poisoner;
            if (row.timing == Timing::UntilPoison) {
                poisoner = std::make_unique<Poisoner>(ring);
            }
            got = ring.getPrePost(ts, row.pre, row.post, 1, 77, row.post > 0 ? "post" : "pre");
        }
        const auto took = Clock::now() - start;
        EXPECT_EQ(indexesOf(got), row.expected);
        if (row.timing == Timing::AtOnce) {
            EXPECT_EQ(ring.waitsBegun(), 0u);
        } else {
            EXPECT_GE(ring.waitsBegun(), 1u);
        }
        if (row.timing == Timing::AfterTimeout) {
            EXPECT_GE(took, 300ms);  // a lower bound: a slow machine only lengthens the wait
        }
        if (row.warning) {
            EXPECT_TRUE(capture.log->contains(row.warning, ILog::LevelWarning));
        } else if (!row.poisonBefore && row.timing != Timing::UntilPoison) {
            EXPECT_TRUE(capture.log->messages(ILog::LevelWarning).empty());
        }
    }
}

TEST(TriggeredFrameRingTest, TimeoutLineNamesTheCollection) {
    auto capture = CapturingLog::install();
    TriggeredFrameRing::Limits limits;
    limits.frameWait = 50ms;
    TriggeredFrameRing ring(4, limits);
    const int64_t base = CommonUtils::getTs() - 60000;
    for (int i = 0; i < 3; ++i) {
        ring.push(frameAt(i, base));
    }
    EXPECT_TRUE(ring.getPrePost(base + 1000, 2, 0, 5, 4242, "pre").empty());
    const std::string expected =
        "Buffer: Timeout. stage=pre reason=search_start_frame triggerId=4242 srcId=5 ts=" +
        std::to_string(base + 1000) + " pre=2 post=0 qsize=3 oldestTs=" + std::to_string(base) +
        " newestTs=" + std::to_string(base + 2 * kStep);
    EXPECT_TRUE(capture.log->contains(expected)) << expected;
}

// Several collections on one ring at once, with the camera pushing: each sees the same frames.
TEST(TriggeredFrameRingTest, ConcurrentCollectionsShareTheFrames) {
    TriggeredFrameRing ring(30);
    const int64_t base = CommonUtils::getTs() - 60000;
    for (int i = 0; i < 10; ++i) {
        ring.push(frameAt(i, base));
    }
    std::vector<TriggeredFrameRing::Frames> results(4);
    {
        Camera camera(ring, 10, 15, base);
        std::vector<std::thread> triggers;
        for (size_t t = 0; t < results.size(); ++t) {
            triggers.emplace_back(
                [&, t] { results[t] = ring.getPrePost(base + 12 * kStep, 4, 4, 1, 1, "pre"); });
        }
        for (auto& t : triggers) {
            t.join();
        }
    }
    for (const auto& r : results) {
        EXPECT_EQ(indexesOf(r), (std::vector<int>{8, 9, 10, 11, 12, 13, 14, 15}));
        EXPECT_EQ(r.begin()->second.get(), results[0].begin()->second.get());
    }
}

}  // namespace
