#include "src/event_builder/EventBase.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/src/event_builder/EventFixtures.h"
#include "tests/support/CapturingLog.h"

namespace {

const EventBaseSettings kFirstSettings;
// Made during static initialisation, before any test creates an event: the process's first one.
const int64_t kFirstIdInProcess = EventBase(&kFirstSettings).id;

EventBaseSettings settingsWith(uint64_t minDetections, int64_t forget, int64_t report) {
    EventBaseSettings settings;
    settings.eventBuilderName = "lane-builder";
    settings.minDetections = minDetections;
    settings.lpForgetInterval = forget;
    settings.reportInterval = report;
    return settings;
}

TEST(EventBaseTest, IdsComeFromOneCounterStartingAtOneAndCopiesKeepThem) {
    EXPECT_EQ(kFirstIdInProcess, 1);
    EventBaseSettings settings;
    EventBase a(&settings);
    EventBase b(&settings);
    EXPECT_EQ(b.id, a.id + 1);
    EventBase copy = b;
    EXPECT_EQ(copy.id, b.id);
    copy = a;
    EXPECT_EQ(copy.id, a.id);
    EXPECT_EQ(EventBase(&settings).id, b.id + 1);  // copies take no id
}

TEST(EventBaseTest, EventsMadeInManyThreadsGetDistinctIds) {
    EventBaseSettings settings;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::vector<int64_t>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                ids[t].push_back(EventBase(&settings).id);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<int64_t> distinct;
    for (const auto& list : ids) {
        distinct.insert(list.begin(), list.end());
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kPerThread));
}

TEST(EventBaseTest, StatusNames) {
    EXPECT_EQ(EventBase::statusStr(EventBase::Create), "Create");
    EXPECT_EQ(EventBase::statusStr(EventBase::Confirm), "Confirm");
    EXPECT_EQ(EventBase::statusStr(EventBase::Finish), "Finish");
    EXPECT_EQ(EventBase::statusStr(EventBase::Combined), "Combined");
    EXPECT_EQ(EventBase::statusStr(EventBase::Ignored), "Ignored");
    EXPECT_EQ(EventBase::statusStr(7), "Unknown");
}

// The lifecycle as the non-triggered builder drives it: readings, then update at the frame's time.
TEST(EventBaseTest, LifecycleTimeline) {
    auto settings = settingsWith(2, 1000, 5000);
    EventBase event(&settings);
    struct Step {
        int64_t readingTs;  // 0: no reading at this step
        int64_t updateTs;
        EventBase::ProcessingState state;
        bool needReport;
        const char* what;
    };
    const std::vector<Step> steps = {
        {10000, 10000, EventBase::Create, false, "one counted frame is not enough"},
        {10100, 10100, EventBase::Confirm, false, "confirmed at the second frame, no report yet"},
        {0, 10200, EventBase::Confirm, true, "the next update asks for the first report"},
        {0, 9000, EventBase::Confirm, true, "an earlier time from another camera closes nothing"},
        {0, 11100, EventBase::Confirm, false, "exactly lpForgetInterval of silence stays open"},
        {0, 11101, EventBase::Finish, true, "one millisecond more closes it"},
    };
    for (const auto& step : steps) {
        if (step.readingTs != 0) {
            event.appendLPR(fixtures::lprEvent(fixtures::frame(1, step.readingTs), "AB123", 0.9f));
        }
        if (step.updateTs == 11100) {
            event.needReport = false;  // the builder acted on the request and started a report
            event.reportTimestamp = 10200;
        }
        event.update(step.updateTs);
        EXPECT_EQ(event.processingState, step.state) << step.what;
        EXPECT_EQ(event.needReport, step.needReport) << step.what;
    }
    EXPECT_EQ(event.confirmTimestamp, 10100);
    EXPECT_NE(event.closeTimestamp, 0);
    EXPECT_EQ(event.firstFrameTimestamp, 10000);
    EXPECT_EQ(event.lastFrameTimestamp, 10100);
}

TEST(EventBaseTest, ReportIntervalPacesTheReportsOfAConfirmedEvent) {
    auto settings = settingsWith(1, 100000, 5000);
    EventBase event(&settings);
    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 1000), "AB123", 0.9f));
    event.update(1000);
    ASSERT_EQ(event.processingState, EventBase::Confirm);
    event.reportTimestamp = 1000;
    event.update(6000);  // exactly reportInterval later: not yet
    EXPECT_FALSE(event.needReport);
    event.update(6001);
    EXPECT_TRUE(event.needReport);
}

TEST(EventBaseTest, SilentCreateEventIsIgnoredAndOneUpdateMayConfirmAndFinish) {
    auto settings = settingsWith(2, 1000, 5000);
    EventBase lonely(&settings);
    lonely.appendLPR(fixtures::lprEvent(fixtures::frame(1, 1000), "AB123", 0.9f));
    lonely.update(2001);
    EXPECT_EQ(lonely.processingState, EventBase::Ignored);
    EXPECT_FALSE(lonely.needReport);
    EXPECT_NE(lonely.closeTimestamp, 0);

    EventBase late(&settings);
    late.appendLPR(fixtures::lprEvent(fixtures::frame(1, 1000), "AB123", 0.9f));
    late.appendLPR(fixtures::lprEvent(fixtures::frame(1, 1040), "AB123", 0.9f));
    late.update(5000);
    EXPECT_EQ(late.processingState, EventBase::Finish);
    EXPECT_EQ(late.confirmTimestamp, 1040);
    EXPECT_TRUE(late.needReport);

    EventBase combined(&settings);
    combined.processingState = EventBase::Combined;
    combined.update(999999);
    EXPECT_EQ(combined.processingState, EventBase::Combined);
    EXPECT_EQ(combined.closeTimestamp, 0);
}

TEST(EventBaseTest, ExtremeTimestampsDoNotOverflow) {
    auto settings = settingsWith(1, 1000, 5000);
    EventBase event(&settings);
    event.appendLPR(
        fixtures::lprEvent(fixtures::frame(1, std::numeric_limits<int64_t>::max()), "AB123", 0.9f));
    event.update(std::numeric_limits<int64_t>::min());
    EXPECT_EQ(event.processingState, EventBase::Confirm);
    event.update(std::numeric_limits<int64_t>::max());
    EXPECT_EQ(event.processingState, EventBase::Confirm);
}

TEST(EventBaseTest, AppendKeepsCountsAndTheMostConfidentReadingPerCamera) {
    EventBaseSettings settings;
    EventBase event(&settings);
    auto first = fixtures::lprEvent(fixtures::frame(1, 100), "AB123", 0.8f);
    auto second = fixtures::lprEvent(fixtures::frame(2, 110), "AB123", 0.7f);
    auto equal = fixtures::lprEvent(fixtures::frame(1, 120), "AB123", 0.8f);
    event.appendLPR(first);
    event.appendLPR(second);
    event.appendLPR(equal);
    const auto& [count, readings] = event.histogram.at("AB123");
    EXPECT_EQ(count, 3u);
    ASSERT_EQ(readings.size(), 2u);
    EXPECT_EQ(readings.at(1), first);  // an equal confidence does not replace
    EXPECT_EQ(readings.at(2), second);
    auto better = fixtures::lprEvent(fixtures::frame(1, 130), "AB123", 0.81f);
    event.appendLPR(better);
    EXPECT_EQ(event.histogram.at("AB123").second.at(1), better);
}

TEST(EventBaseTest, FramesCountOnceAndOlderFramesDoNotCount) {
    EventBaseSettings settings;
    EventBase event(&settings);
    auto frame = fixtures::frame(1, 1000);
    event.appendLPR(fixtures::lprEvent(frame, "AB123", 0.9f));
    event.appendLPR(fixtures::lprEvent(frame, "AB124", 0.8f));
    EXPECT_EQ(event.counterFrames, 1u);
    EXPECT_EQ(event.lastFrameGUID, "frame-1-1000");
    event.appendLPR(fixtures::lprEvent(fixtures::frame(2, 900), "AB123", 0.9f));
    EXPECT_EQ(event.counterFrames, 1u);
    EXPECT_EQ(event.lastFrameGUID, "frame-1-1000");
    EXPECT_EQ(event.lastFrameTimestamp, 1000);
    EXPECT_EQ(event.firstFrameTimestamp, 900);
    event.appendLPR(fixtures::lprEvent(fixtures::frame(2, 1040), "AB123", 0.9f));
    EXPECT_EQ(event.counterFrames, 2u);
    EXPECT_EQ(event.lastFrameGUID, "frame-2-1040");
}

TEST(EventBaseTest, EvictionDropsTheLeastConfidentTextEvenTheNewOne) {
    EventBaseSettings settings;
    settings.maxNumberLpVariance = 2;
    EventBase event(&settings);
    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 100), "AAA111", 0.9f));
    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 110), "BBB222", 0.8f));
    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 120), "CCC333", 0.5f));
    EXPECT_EQ(event.histogram.size(), 2u);
    EXPECT_FALSE(event.histogram.count("CCC333"));
    EXPECT_EQ(event.counterFrames, 3u);  // the frame still counts

    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 130), "DDD444", 0.95f));
    EXPECT_FALSE(event.histogram.count("BBB222"));
    EXPECT_TRUE(event.histogram.count("DDD444"));

    // Equal confidences: the first in text order goes.
    EventBase ties(&settings);
    ties.appendLPR(fixtures::lprEvent(fixtures::frame(1, 100), "ZZZ999", 0.7f));
    ties.appendLPR(fixtures::lprEvent(fixtures::frame(1, 110), "MMM555", 0.7f));
    ties.appendLPR(fixtures::lprEvent(fixtures::frame(1, 120), "AAA111", 0.7f));
    EXPECT_FALSE(ties.histogram.count("AAA111"));
    EXPECT_EQ(ties.histogram.size(), 2u);
}

TEST(EventBaseTest, BestOnLaneAndLeastConfidentPlate) {
    auto lowCamera = fixtures::lprEvent(fixtures::frame(1, 100), "AB123", 0.9f);
    auto highCamera = fixtures::lprEvent(fixtures::frame(3, 100), "AB123", 0.9f);
    EXPECT_EQ(EventBase::getBestOnLane({{3, highCamera}, {1, lowCamera}}), lowCamera);
    auto better = fixtures::lprEvent(fixtures::frame(3, 100), "AB123", 0.95f);
    EXPECT_EQ(EventBase::getBestOnLane({{3, better}, {1, lowCamera}}), better);
    EXPECT_EQ(EventBase::getBestOnLane({}), nullptr);

    EventBaseSettings settings;
    EventBase event(&settings);
    EXPECT_EQ(event.maxConfidenceLPR(), nullptr);
    EXPECT_TRUE(event.lpr().empty());
    auto weak = fixtures::lprEvent(fixtures::frame(1, 100), "BBB222", 0.6f);
    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 100), "AAA111", 0.9f));
    event.appendLPR(weak);
    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 100), "CCC333", 0.7f));
    EXPECT_EQ(event.maxConfidenceLPR(), weak);  // the least confident plate's reading
}

// The best-value choice over a histogram of (count, value) entries.
TEST(EventBaseTest, BestValueChoice) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Entry {
        const char* text;
        uint64_t count;
        float confidence;
    };
    struct Case {
        const char* what;
        float variance;
        std::vector<Entry> entries;
        const char* expected;  // nullptr: no choice
    };
    const std::vector<Case> cases = {
        {"narrow band: the confident text alone", 0.05f, {{"A", 5, 0.80f}, {"B", 2, 0.99f}}, "B"},
        {"wide band: count wins", 0.25f, {{"A", 5, 0.80f}, {"B", 2, 0.99f}}, "A"},
        {"only the highest count competes", 0.05f, {{"A", 2, 0.99f}, {"B", 5, 0.97f}}, "B"},
        {"equal counts: confidence decides", 0.05f, {{"A", 3, 0.90f}, {"B", 3, 0.92f}}, "B"},
        {"full tie: first in text order", 0.05f, {{"A", 3, 0.90f}, {"B", 3, 0.90f}}, "A"},
        {"entry at the band's edge is out", 0.25f, {{"A", 9, 0.50f}, {"B", 1, 0.75f}}, "B"},
        {"empty band (variance 0): the whole histogram", 0.0f, {{"A", 5, 0.80f}, {"B", 2, 0.99f}}, "A"},
        {"negative variance: the whole histogram", -1.0f, {{"A", 1, 0.80f}, {"B", 2, 0.70f}}, "B"},
        {"a NaN confidence stays out of the band", 0.05f, {{"A", 7, nan}, {"B", 1, 0.90f}}, "B"},
        {"all NaN: the whole histogram, count wins", 0.05f, {{"A", 1, nan}, {"B", 2, nan}}, "B"},
        {"all NaN, equal counts: the first", 0.05f, {{"A", 2, nan}, {"B", 2, nan}}, "A"},
        {"empty histogram", 0.05f, {}, nullptr},
    };
    for (const auto& c : cases) {
        EventBaseSettings settings;
        settings.lpConfidenceVariance = c.variance;
        EventBase event(&settings);
        std::map<std::string, std::pair<uint64_t, StateValue>> hist;
        for (const auto& e : c.entries) {
            hist[e.text] = {e.count, StateValue{e.text, e.confidence, -1}};
        }
        auto chosen = event.getBest(hist, [](const auto& entry) { return entry.second.second; });
        if (c.expected == nullptr) {
            EXPECT_EQ(chosen, hist.end()) << c.what;
        } else {
            ASSERT_NE(chosen, hist.end()) << c.what;
            EXPECT_EQ(chosen->first, c.expected) << c.what;
        }
    }
}

TEST(EventBaseTest, LprGivesTheChosenPlatesReadingsOfEveryCamera) {
    EventBaseSettings settings;
    settings.lpConfidenceVariance = 0.25f;
    EventBase event(&settings);
    for (int i = 0; i < 3; ++i) {
        event.appendLPR(fixtures::lprEvent(fixtures::frame(1 + i % 2, 100 + i), "AB123", 0.8f));
    }
    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 200), "AB128", 0.99f));
    auto chosen = event.lpr();
    ASSERT_EQ(chosen.size(), 2u);
    EXPECT_EQ(chosen.at(1)->lpr(), "AB123");
    EXPECT_EQ(chosen.at(2)->lpr(), "AB123");
}

TEST(EventBaseTest, StatisticsObjectAndCopiesWithTheirOwnMutex) {
    EventBaseStatistics statistics;
    statistics.durationEvent = 1500;
    statistics.numberFrames["cam2"] = 4;
    statistics.numberFrames["cam1"] = 2;
    EXPECT_EQ(
        statistics.get(),
        nlohmann::json::parse(R"({"duration":1500,"cam1":{"numberFrames":2},"cam2":{"numberFrames":4}})"));
    EventBaseStatistics copy(statistics);
    EventBaseStatistics assigned;
    assigned = statistics;
    EXPECT_EQ(copy.get(), statistics.get());
    EXPECT_EQ(assigned.get(), statistics.get());
    std::lock_guard<std::mutex> held(statistics.mtx);
    for (auto* other : {&copy, &assigned}) {
        ASSERT_TRUE(other->mtx.try_lock());  // not the original's mutex
        other->mtx.unlock();
    }
}

// Plate texts are data, never formats.
TEST(EventBaseTest, LogLinesCarryPlateTextsVerbatim) {
    auto capture = CapturingLog::install();
    EventBaseSettings settings;
    settings.eventBuilderName = "b%n%s";
    settings.maxNumberLpVariance = 1;
    settings.minDetections = 1;
    EventBase event(&settings);
    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 100), "%s%n%d", 0.9f));
    event.appendLPR(fixtures::lprEvent(fixtures::frame(1, 200), "%x%s", 0.5f));
    event.update(200);
    (void)event.lpr();
    EXPECT_TRUE(capture.log->contains("b%n%s: Remove LP: %x%s (confidence 0.50) from event ID: "));
    EXPECT_TRUE(capture.log->contains("%s%n%d : 0.900000"));
    EXPECT_TRUE(capture.log->contains("bestValue: %s%n%d, confidence: 0.900000"));
}

}  // namespace
