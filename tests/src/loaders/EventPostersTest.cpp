// Poster threads against the real event sink, through the loader the service uses.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>

#include "src/loaders/EventPosters.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TempDir.h"
#include "tests/tools/event_sink/SampleEvent.h"
#include "tools/event_sink/EventSink.h"

using nlohmann::json;

namespace {

json minimalConfig() {
    return {{"webserver", {{"port", 0}}}};
}

QEVAPair pairOf(QEVAEvent event) {
    return QEVAPair(std::make_unique<QEVAEvent>(std::move(event)), nullptr);
}

class EventPostersTest : public ::testing::Test {
  protected:
    std::unique_ptr<EventSink> startSink(bool fail) {
        EventSink::Options options;
        options.port = 0;
        options.folder = dir.path() / ("sink" + std::to_string(sinks++));
        options.fail = fail;
        options.summaryOut = nullptr;
        auto sink = std::make_unique<EventSink>(options);
        sink->start();
        return sink;
    }

    // A poster entry whose spool lies in the test's directory.
    json entry(const std::string& name, const std::string& url, json extra = json::object()) {
        json e = {{"name", name}, {"url", url}, {"spoolPath", dir.file("spool-" + name)}};
        e.update(extra);
        return e;
    }

    // Ends every poster thread after the pairs already queued: a poison pair pushed behind them,
    // then join.
    void stopPosters() {
        for (auto& [name, queue] : ctx.eventQueues) {
            queue->push(QEVAPair::makePoison());
        }
        for (auto& t : ctx.posters) {
            t.join();
        }
    }

    CapturingLog::Installed capture;
    ek::PipelineContext ctx{minimalConfig()};
    TempDir dir;
    int sinks = 0;
};

TEST_F(EventPostersTest, AFailedPostNamesTheServerWithoutItsCredentials) {
    auto closed = startSink(false);
    std::string url = closed->url();
    closed.reset();
    ASSERT_EQ(url.rfind("http://", 0), 0u);
    const std::string masked = "http://***@" + url.substr(7);
    url.insert(7, "poster:s3cret@");
    ek::loadEventPosters(ctx, json::array({entry("closed", url)}));
    ctx.eventQueues.at("closed")->push(pairOf(sampleEvent()));
    EXPECT_TRUE(capture.log->waitFor(
        "not delivered (try 1): POST " + masked + " failed: ", std::chrono::seconds(60), ILog::LevelWarning));
    stopPosters();
    EXPECT_FALSE(capture.log->contains("s3cret"));
}

TEST_F(EventPostersTest, PostsEventsToTheSinkAndLogsEachPost) {
    auto sink = startSink(false);
    ek::loadEventPosters(ctx, json::array({entry("main", sink->url(), {{"imageWidth", 640}})}));
    ASSERT_EQ(ctx.posters.size(), 1u);
    auto& queue = ctx.eventQueues.at("main");

    QEVAEvent noPlates;
    noPlates.guid = "no-plates";
    queue->push(QEVAPair());  // neither event nor poison: taken, nothing posted, nothing logged
    queue->push(pairOf(sampleEvent()));
    queue->push(pairOf(noPlates));
    ASSERT_TRUE(capture.log->waitFor("EventPoster main: delivered event no-plates after 1 tries",
                                     std::chrono::seconds(60), ILog::LevelInfo));
    stopPosters();

    EXPECT_EQ(sink->stored(), 2u);
    const auto& log = *capture.log;
    EXPECT_EQ(log.count("Starting eventposters", ILog::LevelInfo), 1u);
    EXPECT_EQ(log.count("started qeva poster main", ILog::LevelInfo), 1u);
    EXPECT_EQ(log.count("QEVA POST: main: AB123CD, report time = ", ILog::LevelInfo), 1u);
    EXPECT_EQ(log.count("QEVA POST: main: <no recognition>, report time = ", ILog::LevelInfo), 1u);
    EXPECT_EQ(log.count("QEVA POST", ILog::LevelInfo), 2u);
    EXPECT_EQ(
        log.count("EventPoster main: delivered event 5b0c3f4e-8d1a-4a57-9a0e-2c1f0e3b7d21 after 1 tries",
                  ILog::LevelInfo),
        1u);
    EXPECT_EQ(log.count("stopped qeva poster main", ILog::LevelInfo), 1u);
    EXPECT_FALSE(log.contains("EventPoster: Exception"));
    const json stats = ctx.eventPosters.at("main")->statistics();
    EXPECT_EQ(stats["spooled"], 2);
    EXPECT_EQ(stats["delivered"], 2);
    EXPECT_EQ(stats["spoolEvents"], 0);
    EXPECT_EQ(ctx.eventPosters.at("main")->spooledEvents(), 0u);
}

TEST_F(EventPostersTest, FailedDeliveryIsRetriedAndWhatIsLeftStaysSpooled) {
    auto failing = startSink(true);
    ek::loadEventPosters(ctx, json::array({entry("failing", failing->url())}));
    ctx.eventQueues.at("failing")->push(pairOf(sampleEvent()));
    QEVAEvent second = sampleEvent();
    second.guid = "second";
    ctx.eventQueues.at("failing")->push(pairOf(second));
    // The second try comes after a pause of a second: the first event keeps its place in line.
    ASSERT_TRUE(capture.log->waitFor("not delivered (try 2): HTTP 500", std::chrono::seconds(60),
                                     ILog::LevelWarning));
    stopPosters();

    const auto& log = *capture.log;
    EXPECT_FALSE(log.contains("EventPoster: Exception"));
    EXPECT_FALSE(log.contains("event second not delivered"));
    EXPECT_EQ(log.count("stopped qeva poster failing", ILog::LevelInfo), 1u);
    const json stats = ctx.eventPosters.at("failing")->statistics();
    EXPECT_EQ(stats["spoolEvents"], 2);
    EXPECT_EQ(ctx.eventPosters.at("failing")->spooledEvents(), 2u);
    EXPECT_GE(stats["retried"].get<int>(), 2);
    EXPECT_EQ(stats["delivered"], 0);
}

TEST_F(EventPostersTest, PairsQueuedAtThePoisonAreSpooledNotDiscarded) {
    auto closed = startSink(false);
    const std::string url = closed->url();
    closed.reset();
    ek::loadEventPosters(ctx, json::array({entry("p", url)}));
    auto& queue = ctx.eventQueues.at("p");
    for (const char* guid : {"e1", "e2", "e3"}) {
        QEVAEvent e = sampleEvent();
        e.guid = guid;
        queue->push(pairOf(e));
    }
    queue->poison(QEVAPair::makePoison());  // as terminate does
    QEVAEvent late = sampleEvent();
    late.guid = "late";
    queue->push(pairOf(late));
    for (auto& t : ctx.posters) {
        t.join();
    }
    EXPECT_EQ(ctx.eventPosters.at("p")->statistics()["spoolEvents"], 3);
    EXPECT_EQ(capture.log->count(
                  "EventPoster p: event late (lane north, plate AB123CD) not delivered: the service is "
                  "stopping",
                  ILog::LevelInfo),
              1u);
}

TEST_F(EventPostersTest, ASpoolDirectoryThatCannotBeMadeFailsTheLoadingNamingTheKey) {
    const std::string path = "/proc/self/status/spool";
    try {
        ek::loadEventPosters(ctx, json::array({entry("p", "http://127.0.0.1:1/", {{"spoolPath", path}})}));
        FAIL() << "accepted";
    } catch (const std::exception& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("eventposters[0].spoolPath: cannot make spool directory " + path, 0),
            0u)
            << e.what();
    }
    EXPECT_TRUE(ctx.posters.empty());
}

TEST_F(EventPostersTest, NamesContainingEpqevaDropEveryPair) {
    auto sink = startSink(false);
    ek::loadEventPosters(ctx, json::array({entry("epqeva", sink->url()), entry("my-epqeva-2", sink->url()),
                                           entry("EPQEVA", sink->url())}));
    // Seven pairs through a queue of five: only a poster that takes them lets the pushes return.
    for (int i = 0; i < 7; ++i) {
        ctx.eventQueues.at("epqeva")->push(pairOf(sampleEvent()));
        ctx.eventQueues.at("my-epqeva-2")->push(pairOf(sampleEvent()));
    }
    ctx.eventQueues.at("EPQEVA")->push(pairOf(sampleEvent()));  // the rule is case-sensitive
    ASSERT_TRUE(capture.log->waitFor("EventPoster EPQEVA: delivered event", std::chrono::seconds(60)));
    stopPosters();

    EXPECT_EQ(sink->stored(), 1u);
    EXPECT_EQ(capture.log->count("QEVA POST"), 1u);
    EXPECT_EQ(capture.log->count("stopped qeva poster epqeva"), 1u);
    EXPECT_EQ(capture.log->count("stopped qeva poster my-epqeva-2"), 1u);
}

TEST_F(EventPostersTest, QueueOfAPosterWithoutUrlNeverFills) {
    ek::loadEventPosters(ctx, json::array({{{"name", "quiet"}}}));
    EXPECT_TRUE(ctx.posters.empty());
    auto& queue = ctx.eventQueues.at("quiet");
    EXPECT_EQ(queue->capacity(), 5u);
    for (int i = 0; i < 12; ++i) {
        queue->push(pairOf(sampleEvent()));  // would wait for ever from the sixth on
    }
    EXPECT_EQ(queue->size(), 0u);  // so trigger intake never refuses because of it
    EXPECT_EQ(capture.log->count("eventposter quiet has no url: event", ILog::LevelDebug), 12u);
    EXPECT_FALSE(capture.log->contains("started qeva poster"));
    queue->poison(QEVAPair::makePoison());
}

TEST_F(EventPostersTest, NoPostersMeansNoQueueAndNoThread) {
    for (const json& posters : {json(), json::array()}) {
        ek::loadEventPosters(ctx, posters);
    }
    EXPECT_EQ(capture.log->count("Starting eventposters", ILog::LevelInfo), 2u);
    EXPECT_TRUE(ctx.eventQueues.empty());
    EXPECT_TRUE(ctx.posters.empty());
}

TEST_F(EventPostersTest, MalformedEntriesFailTheLoading) {
    struct Case {
        json posters;
        std::string error;
        size_t threads;  // started before the failure
    };
    const std::vector<Case> cases = {
        {json::array({{{"name", "a"}, {"url", "http://127.0.0.1:1/"}}, {{"name", 5}}}),
         "eventposters[1].name: expected a non-empty string, got number 5", 0},
        {json::array({"text"}), R"(eventposters[0]: expected an object, got string "text")", 0},
        {json::array({{{"name", "b"}, {"url", "http://127.0.0.1:1/"}, {"imageWidth", "wide"}}}),
         R"(eventposters[0].imageWidth: expected an integer from 1 to 65535, got string "wide")", 0},
        {json::array({{{"name", "c"}, {"url", "http://127.0.0.1:1/"}, {"postImages", 1}}}),
         "eventposters[0].postImages: expected true or false, got number 1", 0},
        {json::array({{{"name", "d"}, {"url", "http://127.0.0.1:1/"}},
                      {{"name", "e"}, {"url", "http://127.0.0.1:1/"}, {"protocolVersion", 1}}}),
         "eventposters[1].protocolVersion: expected 103, 104, 105, 203 or 204, got number 1", 1},
        {json::array({{{"name", ""}}}), R"(eventposters[0].name: expected a non-empty string, got string "")",
         0},
        {json::array({{{"name", "f"}, {"url", ""}}}),
         R"(eventposters[0].url: expected a non-empty string, got string "")", 0},
        {json{{"p", {{"name", "g"}}}}, R"(eventposters: expected an array, got object {"p":{"name":"g"}})",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.posters.dump());
        ek::PipelineContext fresh{minimalConfig()};
        json posters = c.posters;
        if (posters.is_array()) {
            for (auto& p : posters) {
                if (p.is_object()) {
                    p["spoolPath"] = dir.file("spool-malformed");
                }
            }
        }
        try {
            ek::loadEventPosters(fresh, posters);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
        EXPECT_EQ(fresh.posters.size(), c.threads);
        for (auto& [name, queue] : fresh.eventQueues) {
            queue->push(QEVAPair::makePoison());
        }
        for (auto& t : fresh.posters) {
            t.join();
        }
    }
}

}  // namespace
