#include "src/event_builder/EventBuilderComponent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "src/PipelineContext.h"
#include "tests/support/CapturingLog.h"

namespace {

using nlohmann::json;
using History = EventBuilderComponent::History;

// The base with its services opened to the test, as a builder sees them.
class TestBuilder : public EventBuilderComponent {
  public:
    using EventBuilderComponent::destinations;
    using EventBuilderComponent::EventBuilderComponent;
    using EventBuilderComponent::findEvent;
    using EventBuilderComponent::lprGroupByRect;
    using EventBuilderComponent::maxLevDist;
    using EventBuilderComponent::minLprStringSize;
    using EventBuilderComponent::minSubstringDist;
    using EventBuilderComponent::post;

    void start() override {}
    void consume(std::shared_ptr<FrameWithInfo>) override {}
    void trigger(const QEVATriggerEvent&, const std::vector<int>&) override {}
    std::string getStatString() const override { return name; }
    json getStatistics() const override { return json::object(); }
    EventBuilderMode mode() const override { return EventBuilderMode::NonTriggered; }
};

class EventBuilderComponentTest : public ::testing::Test {
  protected:
    EventBuilderComponentTest() {
        for (const char* poster : {"p1", "p2", "p3"}) {
            ctx.addEventQueue(poster, 5);
        }
        settings.eventBuilderName = "eb";
    }

    TestBuilder builder(json extra = json::object()) {
        json config = {{"name", "eb"}, {"destinations", {"p1"}}};
        config.update(extra);
        return TestBuilder(ctx, config);
    }

    // The error text of a configuration, or "" when it is accepted.
    std::string refusal(const json& config) {
        try {
            TestBuilder b(ctx, config);
        } catch (const BuilderConfig::Error& e) {
            return e.what();
        }
        return "";
    }

    std::shared_ptr<EventBase> event(const std::vector<std::string>& plates,
                                     EventBase::ProcessingState state = EventBase::Create) {
        auto e = std::make_shared<EventBase>(&settings);
        for (const auto& plate : plates) {
            auto lpr = std::make_shared<LPREvent>();
            lpr->fwi = std::make_shared<FrameWithInfo>();
            lpr->fwi->frame->timestamp = ++clock;
            lpr->value.value = plate;
            lpr->value.confidence = 0.9f;
            e->appendLPR(lpr);
        }
        e->processingState = state;
        return e;
    }

    CapturingLog::Installed capture;
    ek::PipelineContext ctx{json{{"webserver", {{"port", 0}}}}};
    EventBaseSettings settings;
    int64_t clock = 0;
};

LPRDetection reading(const std::string& text, uint64_t objectId = 0) {
    LPRDetection d;
    d.value = text;
    d.confidence = 0.9f;
    d.idYoloInfo = objectId;
    return d;
}

TEST_F(EventBuilderComponentTest, SharedKeysAndTheirDefaults) {
    auto defaults = builder();
    EXPECT_EQ(defaults.name, "eb");
    EXPECT_EQ(defaults.laneId(), 1);
    EXPECT_EQ(defaults.laneName(), "lane1");
    EXPECT_EQ(defaults.maxLevDist, 0u);
    EXPECT_EQ(defaults.minSubstringDist, 3u);
    EXPECT_EQ(defaults.minLprStringSize, 3u);
    EXPECT_EQ(defaults.destinations, std::vector<std::string>{"p1"});

    auto lane7 = builder({{"laneId", 7}});
    EXPECT_EQ(lane7.laneName(), "lane7");  // the default follows the lane id

    auto set = builder({{"laneId", 3},
                        {"laneName", "north"},
                        {"maxLevDist", 2},
                        {"minSubstringDist", 5},
                        {"minLprStringSize", 0},
                        {"destinations", {"p3", "p1"}}});
    EXPECT_EQ(set.laneId(), 3);
    EXPECT_EQ(set.laneName(), "north");
    EXPECT_EQ(set.maxLevDist, 2u);
    EXPECT_EQ(set.minSubstringDist, 5u);
    EXPECT_EQ(set.minLprStringSize, 0u);
    EXPECT_EQ(set.destinations, (std::vector<std::string>{"p3", "p1"}));

    EXPECT_EQ(builder({{"maxLevDist", -1}}).maxLevDist, std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(builder({{"destinations", "p2"}}).destinations, std::vector<std::string>{"p2"});
    EXPECT_TRUE(builder({{"destinations", json::array()}}).destinations.empty());
}

TEST_F(EventBuilderComponentTest, KeysThatCannotBeUsedAreRefusedByName) {
    const json base = {{"name", "eb"}, {"destinations", {"p1"}}};
    struct Case {
        json extra;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{{"name", 5}}, "name: expected a non-empty string, got number 5"},
        {{{"name", ""}}, R"(name: expected a non-empty string, got string "")"},
        {{{"name", nullptr}}, "name: expected a non-empty string, got null"},
        {{{"destinations", nullptr}}, "destinations: expected an array of strings, got null"},
        {{{"destinations", {"p1", 3}}}, "destinations[1]: expected a string, got number 3"},
        {{{"destinations", {"p1", "p4"}}}, "destinations[1]: no event poster named \"p4\""},
        {{{"destinations", "nope"}}, "destinations[0]: no event poster named \"nope\""},
        {{{"laneId", "2"}}, "laneId: expected an integer from -2147483648 to 2147483647, got string \"2\""},
        {{{"laneId", 2.5}}, "laneId: expected an integer from -2147483648 to 2147483647, got number 2.5"},
        {{{"laneId", 1LL << 40}},
         "laneId: expected an integer from -2147483648 to 2147483647, got number 1099511627776"},
        {{{"laneName", {1}}}, "laneName: expected a string, got array [1]"},
        {{{"maxLevDist", true}}, "maxLevDist: expected an integer, got boolean true"},
        {{{"minSubstringDist", -1}}, "minSubstringDist: must be at least 0, got -1 (builder \"eb\")"},
        {{{"minLprStringSize", -3}}, "minLprStringSize: must be at least 0, got -3 (builder \"eb\")"},
        // An unsigned read would have taken this as 2^64-1 without a word.
        {{{"minLprStringSize", std::numeric_limits<uint64_t>::max()}},
         "minLprStringSize: expected an integer, got number 18446744073709551615"},
        // The event-model keys of every builder kind are checked here too.
        {{{"maxNumberLpVariance", 0}}, "maxNumberLpVariance: must be at least 1, got 0 (builder \"eb\")"},
        {{{"minDetections", -1}}, "minDetections: must be at least 0, got -1 (builder \"eb\")"},
        {{{"lpConfidenceVariance", 0}},
         "lpConfidenceVariance: must be a finite number greater than 0, got 0.0 (builder \"eb\")"},
        {{{"lpConfidenceVariance", 1e-50}},
         "lpConfidenceVariance: must be a finite number greater than 0, got 1e-50 (builder \"eb\")"},
        {{{"lpConfidenceVariance", "0.05"}}, "lpConfidenceVariance: expected a number, got string \"0.05\""},
        // Long texts are cut in the message.
        {{{"laneId", std::string(100, 'x')}},
         "laneId: expected an integer from -2147483648 to 2147483647, got string \"" + std::string(59, 'x') +
             "..."},
    };
    for (const auto& c : cases) {
        json config = base;
        config.update(c.extra);
        SCOPED_TRACE(c.extra.dump());
        EXPECT_EQ(refusal(config), c.error);
    }
    EXPECT_EQ(refusal({{"destinations", {"p1"}}}), "name: missing, expected a non-empty string");
    EXPECT_EQ(refusal({{"name", "eb"}}), "destinations: missing, expected an array of strings");
    EXPECT_EQ(refusal(json::array()), "expected an object, got array []");
}

TEST(ModelKeysTest, ValidateRefusesWhatBreaksTheEventModelAndReadKeepsTheCallersDefaults) {
    using ModelKeys = EventBuilderComponent::ModelKeys;
    struct Case {
        ModelKeys keys;
        std::string error;
    };
    auto with = [](auto change) {
        ModelKeys k;
        change(k);
        return k;
    };
    const std::vector<Case> cases = {
        {ModelKeys{}, ""},
        {with([](ModelKeys& k) { k.maxNumberLpVariance = 1; }), ""},
        {with([](ModelKeys& k) { k.minDetections = 0; }), ""},
        {with([](ModelKeys& k) { k.minLprStringSize = 0; }), ""},
        {with([](ModelKeys& k) { k.minSubstringDist = 0; }), ""},
        {with([](ModelKeys& k) { k.maxNumberLpVariance = 0; }),
         "maxNumberLpVariance: must be at least 1, got 0 (builder \"t\")"},
        {with([](ModelKeys& k) { k.maxNumberLpVariance = -5; }),
         "maxNumberLpVariance: must be at least 1, got -5 (builder \"t\")"},
        {with([](ModelKeys& k) { k.lpConfidenceVariance = -0.5; }),
         "lpConfidenceVariance: must be a finite number greater than 0, got -0.5 (builder \"t\")"},
        {with([](ModelKeys& k) { k.lpConfidenceVariance = 1e300; }),
         "lpConfidenceVariance: must be a finite number greater than 0, got 1e+300 (builder \"t\")"},
        {with([](ModelKeys& k) { k.minDetections = -1; }),
         "minDetections: must be at least 0, got -1 (builder \"t\")"},
    };
    for (const auto& c : cases) {
        try {
            c.keys.validate("t");
            EXPECT_EQ(c.error, "");
        } catch (const BuilderConfig::Error& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
    }

    ModelKeys trainDefaults;
    trainDefaults.minDetections = 1;
    trainDefaults.maxNumberLpVariance = 4;
    const json config = {{"maxNumberLpVariance", 2}, {"minSubstringDist", 6}};
    const ModelKeys read = ModelKeys::read(BuilderConfig(config), "t", trainDefaults);
    EXPECT_EQ(read.minDetections, 1);
    EXPECT_EQ(read.maxNumberLpVariance, 2);
    EXPECT_EQ(read.minSubstringDist, 6);
    EXPECT_EQ(read.minLprStringSize, 3);
    EXPECT_DOUBLE_EQ(read.lpConfidenceVariance, 0.05);
    EXPECT_THROW(ModelKeys::read(BuilderConfig(json{{"minDetections", -2}}), "t", trainDefaults),
                 BuilderConfig::Error);
}

TEST(BuilderConfigErrorTest, TheLoaderPutsTheElementInFront) {
    BuilderConfig::Error key("laneId", "expected an integer, got string \"2\"");
    EXPECT_EQ(std::string(key.under("eventbuilders[1]").what()),
              "eventbuilders[1].laneId: expected an integer, got string \"2\"");
    BuilderConfig::Error item("destinations[0]", "no event poster named \"x\"");
    EXPECT_EQ(std::string(item.under("eventbuilders[0]").what()),
              "eventbuilders[0].destinations[0]: no event poster named \"x\"");
    BuilderConfig::Error whole("", "expected an object, got number 7");
    EXPECT_EQ(std::string(whole.under("eventbuilders[2]").what()),
              "eventbuilders[2]: expected an object, got number 7");
}

TEST_F(EventBuilderComponentTest, GroupingKeepsReadingsLongerThanTheMinimumByObjectInFrameOrder) {
    auto eb = builder();
    auto frame = std::make_shared<FrameWithInfo>();
    EXPECT_TRUE(eb.lprGroupByRect(frame).empty());

    // Lengths are counted in bytes: "ÄBC" is 4 bytes long.
    frame->lprDetections = {reading("ABCD", 5),
                            reading("ABC", 5),
                            reading("XYZW", 2),
                            reading("LMNO", 5),
                            reading("\xC3\x84"
                                    "BC",
                                    9),
                            reading("", 2)};
    const auto groups = eb.lprGroupByRect(frame);
    ASSERT_EQ(groups.size(), 3u);
    std::vector<uint64_t> ids;
    for (const auto& [id, readings] : groups) {
        ids.push_back(id);
    }
    EXPECT_EQ(ids, (std::vector<uint64_t>{2, 5, 9}));
    ASSERT_EQ(groups.at(5).size(), 2u);
    EXPECT_EQ(groups.at(5)[0], &frame->lprDetections[0]);  // pointers into the frame
    EXPECT_EQ(groups.at(5)[1], &frame->lprDetections[3]);
    EXPECT_EQ(groups.at(2).size(), 1u);
    EXPECT_EQ(groups.at(9).size(), 1u);
    EXPECT_TRUE(capture.log->contains("eb: drop LPR by size: ABC", ILog::LevelDebug));
    EXPECT_TRUE(capture.log->contains("eb: LPR income: LMNO, id rect: 5", ILog::LevelDebug));

    auto none = builder({{"minLprStringSize", 4}});
    EXPECT_TRUE(none.lprGroupByRect(frame).empty());
    auto all = builder({{"minLprStringSize", 0}});
    EXPECT_EQ(all.lprGroupByRect(frame).at(5).size(), 3u);
}

TEST_F(EventBuilderComponentTest, FindEventTable) {
    using S = EventBase::ProcessingState;
    struct Past {
        std::vector<std::string> plates;
        S state = EventBase::Create;
    };
    struct Case {
        const char* what;
        std::vector<Past> history;
        std::vector<std::string> readings;
        int64_t maxLevDist;
        int expected;  // index into the history; -1: a new event at the back
        int64_t minSubstringDist = 3;
    };
    const std::vector<Case> cases = {
        {"empty history", {}, {"ABC123"}, 0, -1},
        {"Combined events never match", {{{"ABC123"}, EventBase::Combined}}, {"ABC123"}, -1, -1},
        {"a finished event still matches", {{{"ABC123"}, EventBase::Finish}}, {"ABC123"}, 0, 0},
        {"an ignored one too", {{{"ABC123"}, EventBase::Ignored}}, {"ABC123"}, 0, 0},
        {"two holders: the older wins", {{{"ABC123"}}, {{"ABC123"}}}, {"ABC123"}, 0, 0},
        {"past a Combined holder", {{{"ABC123"}, EventBase::Combined}, {{"ABC123"}}}, {"ABC123"}, 0, 1},
        {"one edit at maxLevDist 0", {{{"ABC123"}}}, {"ABC124"}, 0, -1},
        {"two edits at maxLevDist 2", {{{"ABC123"}}}, {"ABD124"}, 2, 0},
        {"three edits at maxLevDist 2", {{{"ABC123"}}}, {"AXD124"}, 2, -1},
        {"the nearer event beats the older", {{{"ABC123"}}, {{"ABC124"}}}, {"ABD124"}, 2, 1},
        {"negative maxLevDist admits any distance", {{{"ZZZ999"}}}, {"ABC123"}, -1, 0},
        {"negative maxLevDist skips Combined",
         {{{"ZZZ999"}, EventBase::Combined}, {{"Q"}}},
         {"ABC123"},
         -1,
         1},
        {"a substring counts 0", {{{"ABC1234"}}}, {"C1234"}, 0, 0},
        {"a substring below minSubstringDist", {{{"ABC1234"}}}, {"C1234"}, 0, -1, 6},
        {"substring and exact tie: the older wins", {{{"ABC1234"}}, {{"ABC12345"}}}, {"ABC12345"}, 0, 0},
        {"exact and substring tie: the older wins", {{{"ABC12345"}}, {{"ABC1234"}}}, {"ABC12345"}, 0, 0},
        {"any reading of the group may match", {{{"XYZ789"}}, {{"ABC123"}}}, {"QQQ000", "ABC123"}, 0, 1},
        {"any plate of the event may match", {{{"AAA111", "ABC123", "ZZZ999"}}}, {"ABC123"}, 0, 0},
        {"an event without plates takes no part", {{{}}}, {"ABC123"}, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto eb = builder({{"maxLevDist", c.maxLevDist}, {"minSubstringDist", c.minSubstringDist}});
        History history;
        std::vector<std::shared_ptr<EventBase>> past;
        for (const auto& p : c.history) {
            past.push_back(event(p.plates, p.state));
            history.push_back(past.back());
        }
        std::vector<LPRDetection> readings;
        for (const auto& text : c.readings) {
            readings.push_back(reading(text));
        }
        std::vector<const LPRDetection*> group;
        for (const auto& r : readings) {
            group.push_back(&r);
        }
        std::shared_ptr<EventBase> created;
        auto found = eb.findEvent(&history, group, [&] { return created = event({}); });
        if (c.expected < 0) {
            ASSERT_TRUE(created);
            EXPECT_EQ(found, created);
            EXPECT_EQ(history.size(), past.size() + 1);
            EXPECT_EQ(history.back(), created);
        } else {
            EXPECT_FALSE(created);
            EXPECT_EQ(found, past[static_cast<size_t>(c.expected)]);
            EXPECT_EQ(history.size(), past.size());
        }
    }
}

TEST_F(EventBuilderComponentTest, FindEventLogsEveryDistanceVerbatimAndChangesNothing) {
    auto eb = builder();
    History history{event({"ABC123", "ABC124", "ZABC123"}), event({"A%sB%n"})};
    const auto before = history.front()->histogram.size();
    const LPRDetection plain = reading("ABC123");
    const LPRDetection percent = reading("%s%n%d");
    auto found = eb.findEvent(&history, {&plain, &percent}, [] { return nullptr; });
    EXPECT_EQ(found, history.front());
    EXPECT_EQ(history.front()->histogram.size(), before);
    EXPECT_EQ(history.front()->counterFrames, 3u);

    const auto debug = capture.log->messages(ILog::LevelDebug);
    auto has = [&](const std::string& line) {
        return std::find(debug.begin(), debug.end(), line) != debug.end();
    };
    // Plate order: equal, one edit, containing.
    EXPECT_TRUE(has("eb: distance for ABC123: 0 1 X "));
    EXPECT_TRUE(has("eb: distance for %s%n%d: 6 6 7 "));
    EXPECT_TRUE(has("eb: distance for %s%n%d: 4 "));
    EXPECT_TRUE(has("eb: distance for ABC123: 5 "));
    EXPECT_TRUE(has("eb: Get levenstein distance for event ID: " + std::to_string(history.back()->id) +
                    ", LP: A%sB%n"));
}

TEST_F(EventBuilderComponentTest, ACreateEventThatThrowsLeavesTheHistoryAlone) {
    auto eb = builder();
    History history{event({"XYZ789"})};
    const LPRDetection r = reading("ABC123");
    EXPECT_THROW(
        eb.findEvent(&history, {&r}, []() -> std::shared_ptr<EventBase> { throw std::runtime_error("no"); }),
        std::runtime_error);
    EXPECT_EQ(history.size(), 1u);

    auto created = eb.findEvent(&history, {&r}, [&] { return event({}); });
    EXPECT_EQ(history.size(), 2u);
    EXPECT_TRUE(
        capture.log->contains("eb: created new event ID " + std::to_string(created->id), ILog::LevelDebug));
}

QEVAPair pairWithGuid(const std::string& guid) {
    QEVAPair pair(std::make_unique<QEVAEvent>(), std::make_unique<QEVATriggerEvent>());
    pair.event->guid = guid;
    pair.triggerEvent->triggerGuid = guid;
    return pair;
}

TEST_F(EventBuilderComponentTest, PostGivesEveryDestinationItsOwnCopyInOrder) {
    auto eb = builder({{"destinations", {"p3", "p1", "p2"}}});
    const QEVAPair pair = pairWithGuid("e1");
    eb.post(pair);
    std::vector<QEVAPair> got;
    for (const char* poster : {"p1", "p2", "p3"}) {
        ASSERT_EQ(ctx.eventQueues.at(poster)->size(), 1u) << poster;
        got.push_back(ctx.eventQueues.at(poster)->pop());
    }
    for (const auto& p : got) {
        ASSERT_TRUE(p.event && p.triggerEvent);
        EXPECT_EQ(p.event->guid, "e1");
        EXPECT_NE(p.event.get(), pair.event.get());
        EXPECT_NE(p.triggerEvent.get(), pair.triggerEvent.get());
    }
    EXPECT_NE(got[0].event.get(), got[1].event.get());
    got[0].event->guid = "changed";
    EXPECT_EQ(got[1].event->guid, "e1");

    eb.post(QEVAPair::makePoison());
    builder({{"destinations", json::array()}}).post(pair);
    for (const char* poster : {"p1", "p2", "p3"}) {
        EXPECT_EQ(ctx.eventQueues.at(poster)->size(), 0u) << poster;
    }
}

TEST_F(EventBuilderComponentTest, NothingIsPostedOnceTheServiceStops) {
    auto eb = builder({{"destinations", {"p1", "p2"}}});
    ctx.stop = true;
    eb.post(pairWithGuid("late"));
    EXPECT_EQ(ctx.eventQueues.at("p1")->size(), 0u);
    EXPECT_EQ(ctx.eventQueues.at("p2")->size(), 0u);
}

TEST_F(EventBuilderComponentTest, AFullQueueHoldsThePostUntilAPopAndItsPoisonReleasesIt) {
    auto eb = builder({{"destinations", {"p1"}}});
    auto& queue = *ctx.eventQueues.at("p1");
    for (int i = 0; i < 5; ++i) {
        queue.push(pairWithGuid("old" + std::to_string(i)));
    }
    auto blocked = std::async(std::launch::async, [&] { eb.post(pairWithGuid("new")); });
    ASSERT_TRUE(capture.log->waitFor("EventBuilderComponent: event queue overflow: p1"));
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(queue.pop().event->guid, "old0");
    blocked.get();
    EXPECT_EQ(queue.size(), 5u);

    auto dropped = std::async(std::launch::async, [&] { eb.post(pairWithGuid("dropped")); });
    while (capture.log->count("event queue overflow: p1") < 2) {
        std::this_thread::yield();
    }
    queue.poison(QEVAPair::makePoison());
    dropped.get();
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_TRUE(queue.pop().poison);
}

}  // namespace
