#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "src/event_builder/TriggeredBuilder.h"
#include "tests/src/event_builder/triggered/TrFixtures.h"
#include "tests/support/CapturingLog.h"

// Randomised rounds of concurrent triggers (with duplicate ids) against a builder whose cameras keep
// delivering new and already processed frames, and whose claimed frames travel through an echo of
// the networks. Every event is reported exactly once, never before its frames are back, never by the
// return bound (a lost count would be reported there, late but whole-looking), and none stays
// registered. Run under ThreadSanitizer, this is the test of the claim and count protocol.
namespace {

using namespace tr;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 1000;

// Two cameras delivering frame after frame, about one in three already processed.
class Cameras {
  public:
    Cameras(Echo& echo, int64_t base) {
        thread_ = std::thread([this, &echo, base] {
            std::mt19937 random(7);
            for (int i = 0; !stop_; ++i) {
                for (int camera : {1, 2}) {
                    const bool processed = random() % 3 == 0;
                    echo.feed(processed ? processedFrameOf(camera, base, i, {{"AB0C12"}})
                                        : frameOf(camera, base, i));
                }
                latest_ = i;
                std::this_thread::sleep_for(std::chrono::microseconds(1500));
            }
        });
    }
    ~Cameras() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int latest() const { return latest_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<int> latest_{0};
    std::thread thread_;
};

TEST(TriggeredBuilderStressTest, EveryEventIsReportedOnceNeverEarlyAndNoneStays) {
    // Installed before any thread starts, put back after all are joined. Its Warnings tell the
    // events reported through the return bound: the statistics' "incompleteEvents" cannot, since
    // under load a ring may no longer reach back to a trigger's time, which makes an event
    // incomplete too.
    const auto capture = CapturingLog::install();
    Lane lane;
    lane.addCamera(1, 3, 3);
    lane.addCamera(2, 2, 4);
    TriggeredEventBuilder::Timing timing;
    timing.ring.frameWait = std::chrono::seconds(10);
    auto builder =
        std::make_shared<TriggeredEventBuilder>(lane.ctx, lane.config({{"bufferSize", 30}}), timing);
    builder->start();
    Echo echo(lane, *builder, [](FrameWithInfo& f) { addPlates(f, {{"AB0C12"}}); });
    const int64_t base = CommonUtils::getTs() - 3600000;
    Cameras cameras(echo, base);
    while (cameras.latest() < 40) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    std::mt19937 random(2026);
    int64_t nextId = 1;
    size_t fired = 0;
    size_t reported = 0;
    size_t unmarked = 0;
    size_t withFrames = 0;
    for (int round = 0; round < kRounds; ++round) {
        // One to three triggers at once; sometimes two share an id.
        std::vector<QEVATriggerEvent> triggers;
        const int count = 1 + static_cast<int>(random() % 3);
        for (int t = 0; t < count; ++t) {
            const bool repeat = t > 0 && random() % 4 == 0;
            const int64_t id = repeat ? triggers.back().triggerId : nextId++;
            // Mostly inside the rings, sometimes a few frames ahead of the cameras.
            const int at = cameras.latest() - 12 + static_cast<int>(random() % 16);
            triggers.push_back(triggerAt(id, base + at * kStep + static_cast<int64_t>(random() % kStep)));
        }
        const int64_t duplicatesBefore = lane.ctx.triggerStats.droppedDuplicate;
        std::vector<std::thread> threads;
        for (const auto& te : triggers) {
            threads.emplace_back([&builder, te] { builder->trigger(te, {1, 2}); });
        }
        for (auto& t : threads) {
            t.join();
        }
        fired += triggers.size();
        const size_t expected =
            triggers.size() - static_cast<size_t>(lane.ctx.triggerStats.droppedDuplicate - duplicatesBefore);
        std::set<int64_t> ids;
        for (const auto& te : triggers) {
            ids.insert(te.triggerId);
        }
        const auto events = lane.takeEvents(expected);
        ASSERT_EQ(events.size(), expected) << "round " << round;
        ASSERT_EQ(capture.log->count("did not come back", ILog::LevelWarning), 0u)
            << "round " << round << ": an event was reported through the " << timing.returnBound.count()
            << " ms return bound";
        capture.log->clear();  // a round's lines are not kept for the next thousand
        std::map<int64_t, int> perId;
        for (const auto& pair : events) {
            const QEVAEvent& event = *pair.event;
            EXPECT_EQ(ids.count(event.trigger.triggerId), 1u) << "round " << round;
            ++perId[event.trigger.triggerId];
            withFrames += event.frames.empty() ? 0 : 1;
            for (const auto& f : event.frames) {
                unmarked += isMarked(*f) ? 0 : 1;
            }
        }
        // Every id got its event; an id posted twice in a round got two only if the second came
        // after the first was reported.
        EXPECT_EQ(perId.size(), ids.size()) << "round " << round;
        reported += events.size();
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (builder->heldEvents() > 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(builder->heldEvents(), 0u) << "round " << round;
        ASSERT_EQ(lane.sink->size(), 0u) << "round " << round << ": an event was reported twice";
    }
    cameras.stop();
    echo.stop();
    EXPECT_EQ(unmarked, 0u) << "frames copied into an event before their networks were done";
    EXPECT_EQ(reported + static_cast<size_t>(lane.ctx.triggerStats.droppedDuplicate), fired);
    EXPECT_GT(withFrames, reported * 9 / 10);
    EXPECT_GT(lane.ctx.triggerStats.droppedDuplicate, 0);
    EXPECT_EQ(lane.sink->size(), 0u);
}

}  // namespace
