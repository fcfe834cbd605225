#include "src/loaders/EventBuilders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "src/AppControl.h"
#include "src/PipelineLoading.h"
#include "src/event_builder/BuilderConfig.h"
#include "tests/support/CapturingLog.h"

namespace {

using nlohmann::json;

// What the builders did, in the order it happened across all of them.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> lines;

    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    }
    std::vector<std::string> get() {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
};

// A builder that writes every call into the journal. consume() throws for the guids named in
// `throwStd` (std::runtime_error) and `throwOther` (an int); getStatistics() for those in
// `statisticsFail`. Its statistics count the frames consumed so far.
class RecordingBuilder : public IEventBuilderComponent {
  public:
    RecordingBuilder(const std::string& builderName, Journal& journal) : journal_(journal) {
        name = builderName;
    }

    void start() override { journal_.add(name + " start"); }
    void consume(std::shared_ptr<FrameWithInfo> frame) override {
        const std::string guid = frame->poison ? "poison" : frame->frame->guid;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++consumed_;
            last_ = guid;
        }
        journal_.add(name + " consume " + guid);
        if (throwStd.count(guid) != 0) {
            throw std::runtime_error("cannot use " + guid);
        }
        if (throwOther.count(guid) != 0) {
            throw 42;
        }
    }
    void trigger(const QEVATriggerEvent&, const std::vector<int>&) override {}
    int laneId() const override { return 1; }
    std::string laneName() const override { return "lane1"; }
    std::string getStatString() const override { return name; }
    json getStatistics() const override {
        if (onStatistics) {
            onStatistics();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        journal_.add(name + " statistics " + std::to_string(consumed_));
        if (statisticsFail.count(last_) != 0) {
            throw std::runtime_error("no statistics after " + last_);
        }
        return {{"consumed", consumed_}};
    }
    EventBuilderMode mode() const override { return EventBuilderMode::NonTriggered; }

    std::set<std::string> throwStd;
    std::set<std::string> throwOther;
    std::set<std::string> statisticsFail;
    std::function<void()> onStatistics;

  private:
    Journal& journal_;
    mutable std::mutex mutex_;
    int consumed_ = 0;
    std::string last_;
};

std::shared_ptr<FrameWithInfo> frame(const std::string& guid) {
    auto f = std::make_shared<FrameWithInfo>();
    f->frame->guid = guid;
    f->frame->cameraName = "cam";
    return f;
}

class EventBuilderWorkersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx = std::make_unique<ek::PipelineContext>(json{{"webserver", {{"port", 0}}}});
        ek::initializeAppControl(*ctx);
    }
    void TearDown() override { ctx.reset(); }

    std::shared_ptr<RecordingBuilder> add(const std::string& name) {
        auto builder = std::make_shared<RecordingBuilder>(name, journal);
        ctx->addFrameQueue(name, 2);
        ctx->eventBuilders[name] = builder;
        return builder;
    }
    void push(const std::string& name, std::shared_ptr<FrameWithInfo> f) { ctx->queues.at(name)->push(f); }
    void joinWorkers() {
        for (auto& worker : ctx->ebWorkers) {
            worker.join();
        }
    }
    json status(const std::string& name) {
        std::lock_guard<std::mutex> lock(ctx->lock);
        return ctx->status.is_object() && ctx->status.contains(name) ? ctx->status.at(name) : json();
    }

    CapturingLog::Installed capture;
    Journal journal;
    std::unique_ptr<ek::PipelineContext> ctx;
};

TEST_F(EventBuilderWorkersTest, FramesInOrderThePoisonToConsumeAndStatisticsAfterEachFrame) {
    add("eb");
    ek::startEventBuilders(*ctx);
    for (int i = 0; i < 4; ++i) {
        push("eb", frame("g" + std::to_string(i)));
    }
    push("eb", FrameWithInfo::makePoison());
    joinWorkers();
    EXPECT_EQ(journal.get(), (std::vector<std::string>{"eb start", "eb consume g0", "eb statistics 1",
                                                       "eb consume g1", "eb statistics 2", "eb consume g2",
                                                       "eb statistics 3", "eb consume g3", "eb statistics 4",
                                                       "eb consume poison", "eb statistics 5"}));
    EXPECT_EQ(status("eb"), (json{{"consumed", 5}}));
    EXPECT_TRUE(capture.log->contains("creating EB worker eb", ILog::LevelInfo));
    EXPECT_TRUE(capture.log->contains("stopped EB worker eb", ILog::LevelInfo));
}

TEST_F(EventBuilderWorkersTest, AFrameThatFailsIsLoggedAndTheWorkerGoesOnToThePoison) {
    auto eb = add("e%sb");  // a name with a format character is written out
    eb->throwStd = {"g1", "poison"};
    eb->throwOther = {"g2"};
    eb->statisticsFail = {"g3"};
    ek::startEventBuilders(*ctx);
    for (const char* guid : {"g0", "g1", "g2", "g3", "g4"}) {
        push("e%sb", frame(guid));
    }
    push("e%sb", FrameWithInfo::makePoison());
    joinWorkers();

    const auto lines = journal.get();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "e%sb statistics 6");  // stored once more after the poison that failed
    EXPECT_EQ(status("e%sb"), (json{{"consumed", 6}}));
    auto error = [&](const std::string& text) { return capture.log->contains(text, ILog::LevelError); };
    EXPECT_TRUE(error("Event builder e%sb: consume failed (camera: cam, guid: g1): cannot use g1"));
    EXPECT_TRUE(error("Event builder e%sb: consume failed (camera: cam, guid: g2): unknown exception"));
    EXPECT_TRUE(
        error("Event builder e%sb: getStatistics failed (camera: cam, guid: g3): no statistics after g3"));
    EXPECT_TRUE(error("Event builder e%sb: consume failed (camera: , guid: ): cannot use poison"));
    EXPECT_EQ(capture.log->count("", ILog::LevelError), 4u);
    EXPECT_TRUE(capture.log->contains("creating EB worker e%sb", ILog::LevelInfo));
    EXPECT_TRUE(capture.log->contains("stopped EB worker e%sb", ILog::LevelInfo));
}

TEST_F(EventBuilderWorkersTest, BuildersStartInNameOrderEachBeforeItsWorker) {
    for (const char* name : {"b", "C", "a"}) {
        add(name);
    }
    ek::startEventBuilders(*ctx);
    ASSERT_EQ(ctx->ebWorkers.size(), 3u);
    for (const char* name : {"a", "b", "C"}) {
        push(name, frame("f"));
    }
    ctx->terminate();  // the poison frames end the workers
    joinWorkers();
    std::vector<std::string> starts;
    for (const auto& line : journal.get()) {
        if (line.find(" start") != std::string::npos) {
            starts.push_back(line);
        }
    }
    EXPECT_EQ(starts, (std::vector<std::string>{"C start", "a start", "b start"}));  // byte order
    // Every builder saw the poison frame and stored its statistics after it.
    for (const char* name : {"a", "b", "C"}) {
        EXPECT_TRUE(status(name).is_object()) << name;
    }
    EXPECT_TRUE(capture.log->contains("Starting event builder workers", ILog::LevelInfo));
}

// The worker takes the builder's statistics outside the context lock: a builder that is busy (its
// own lock held) while the context lock is wanted elsewhere cannot deadlock the pair.
TEST_F(EventBuilderWorkersTest, StatisticsAreTakenOutsideTheContextLock) {
    auto eb = add("eb");
    std::mutex builderLock;
    std::mutex m;
    std::condition_variable cv;
    bool inStatistics = false;
    eb->onStatistics = [&] {
        {
            std::lock_guard<std::mutex> lock(m);
            inStatistics = true;
        }
        cv.notify_all();
        std::lock_guard<std::mutex> busy(builderLock);
    };
    std::unique_lock<std::mutex> busy(builderLock);
    ek::startEventBuilders(*ctx);
    push("eb", frame("g0"));
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return inStatistics; }));
    }
    // The worker now waits for the builder's lock; the context lock must still be free.
    bool gotContextLock = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!gotContextLock && std::chrono::steady_clock::now() < deadline) {
        if (ctx->lock.try_lock()) {
            gotContextLock = true;
            ctx->lock.unlock();
        } else {
            std::this_thread::yield();
        }
    }
    EXPECT_TRUE(gotContextLock);
    busy.unlock();
    push("eb", FrameWithInfo::makePoison());
    joinWorkers();
    EXPECT_EQ(status("eb"), (json{{"consumed", 2}}));
}

TEST_F(EventBuilderWorkersTest, AWorkerWithoutItsQueueLogsWhyAndEnds) {
    ctx->eventBuilders["lost"] = std::make_shared<RecordingBuilder>("lost", journal);
    ek::startEventBuilders(*ctx);
    joinWorkers();
    EXPECT_TRUE(capture.log->contains("Event builder lost: worker ended: can't find lost in queues",
                                      ILog::LevelError));
    EXPECT_FALSE(capture.log->contains("stopped EB worker lost"));
}

std::string loadingError(json config) {
    ek::PipelineContext ctx(json{{"webserver", {{"port", 0}}}});
    ek::initializeAppControl(ctx);
    try {
        ek::loadPipeline(ctx, config);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// A builder that records what the worker's timed pop hands it while no frame comes.
class IdleRecorder : public RecordingBuilder {
  public:
    using RecordingBuilder::RecordingBuilder;

    void idle(std::chrono::milliseconds sinceLastFrame) override {
        {
            std::lock_guard<std::mutex> lock(idleMutex_);
            idles_.push_back(sinceLastFrame);
        }
        idleCalled_.notify_all();
    }
    void flush() override { ++flushes; }

    // Waits until `n` idle calls have come, and returns them.
    std::vector<std::chrono::milliseconds> waitIdles(size_t n) {
        std::unique_lock<std::mutex> lock(idleMutex_);
        idleCalled_.wait(lock, [&] { return idles_.size() >= n; });
        return idles_;
    }

    std::atomic<int> flushes{0};

  private:
    std::mutex idleMutex_;
    std::condition_variable idleCalled_;
    std::vector<std::chrono::milliseconds> idles_;
};

// While no frame comes the worker calls idle() after every empty period with the time since the
// last frame, which only grows while none comes; once a drain asks for it, one flush() instead,
// counted as done. The frames it consumes leave the in-flight count.
TEST_F(EventBuilderWorkersTest, WhileNoFrameComesTheWorkerCallsIdleAndOnceAskedFlushes) {
    auto eb = std::make_shared<IdleRecorder>("eb", journal);
    ctx->addFrameQueue("eb", 2);
    ctx->eventBuilders["eb"] = eb;
    ek::startEventBuilders(*ctx, std::chrono::milliseconds(1));
    const auto before = eb->waitIdles(3);
    EXPECT_TRUE(std::is_sorted(before.begin(), before.end()));
    for (const char* guid : {"g0", "g1"}) {
        ctx->frameQueued();
        push("eb", frame(guid));
    }
    while (ctx->framesInFlight() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(ctx->flushedBuilders(), 0u);
    ctx->requestFlush();
    while (ctx->flushedBuilders() < 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const size_t seen = eb->waitIdles(0).size();
    eb->waitIdles(seen + 2);  // idle again after the flush, never a second flush
    push("eb", FrameWithInfo::makePoison());
    joinWorkers();
    EXPECT_EQ(eb->flushes.load(), 1);
    EXPECT_EQ(ctx->flushedBuilders(), 1u);
    EXPECT_EQ(ctx->framesInFlight(), 0);  // the poison frame is not counted
    EXPECT_EQ(status("eb"), (json{{"consumed", 3}}));
}

TEST(EventBuildersLoadingTest, Refusals) {
    CapturingLog::Installed capture;
    const json posters = {{{"name", "p1"}}};
    struct Case {
        json builders;
        std::string error;
        json sources = json::array();
    };
    const std::string kOwnEntry = ": each needs an entry of its own in the status document";
    const std::string kExampleCatalog = QO_SOURCE_DIR "/syntaxes/plate_catalog.json";
    const std::vector<Case> cases = {
        {{{{"name", "eb"}, {"type", "Plates"}, {"destinations", {"p1"}}}}, "Event builder not implemented"},
        {{{{"name", "eb"}, {"triggeredMode", 1}, {"destinations", {"p1"}}}}, "Event builder not implemented"},
        // The non-triggered builder (LP, mode 0) reads its plate catalog at loading.
        {{{{"name", "eb"}, {"destinations", {"p1"}}, {"plateCatalogPath", "/nonexistent/catalog.json"}}},
         "QEVAEventPoster: plate catalog file: /nonexistent/catalog.json not exist"},
        // The triggered kinds are built: their own keys are checked.
        {{{{"name", "eb"},
           {"type", "LP"},
           {"triggeredMode", 2},
           {"destinations", {"p1"}},
           {"plateCatalogPath", kExampleCatalog},
           {"bufferSize", 0}}},
         "eventbuilders[0].bufferSize: must be from 1 to 10000 frames, got 0 (builder \"eb\")"},
        {{{{"name", "eb"},
           {"triggeredMode", 3},
           {"destinations", {"p1"}},
           {"plateCatalogPath", kExampleCatalog},
           {"bufferSize", -1}}},
         "eventbuilders[0].bufferSize: must be from 1 to 10000 frames, got -1 (builder \"eb\")"},
        {{{{"name", "eb"}, {"type", "TrainSequence"}, {"destinations", {"p1"}}, {"minDoorOpenCount", -1}}},
         "eventbuilders[0].minDoorOpenCount: must be at least 0, got -1 (builder \"eb\")"},
        // Errors name the element and the key; the shared keys are checked for every kind.
        {{{{"name", "eb"}, {"destinations", {"p1", "nope"}}}},
         "eventbuilders[0].destinations[1]: no event poster named \"nope\""},
        {{{{"name", "eb"}, {"type", "TrainSequence"}, {"destinations", "p1"}, {"maxNumberLpVariance", 0}}},
         "eventbuilders[0].maxNumberLpVariance: must be at least 1, got 0 (builder \"eb\")"},
        {{{{"name", "eb"}, {"destinations", {"p1"}}, {"lpConfidenceVariance", -0.5}}},
         "eventbuilders[0].lpConfidenceVariance: must be a finite number greater than 0, got -0.5 (builder "
         "\"eb\")"},
        {{{{"name", "eb"}, {"triggeredMode", 2}, {"destinations", {"p1"}}, {"minDetections", -1}}},
         "eventbuilders[0].minDetections: must be at least 0, got -1 (builder \"eb\")"},
        {{{{"name", "eb"}, {"destinations", {"p1"}}, {"laneId", "2"}}},
         "eventbuilders[0].laneId: expected an integer from -2147483648 to 2147483647, got string \"2\""},
        {{{{"name", "eb"}}}, "eventbuilders[0].destinations: missing, expected an array of strings"},
        {{{{"type", 5}, {"name", "b"}}}, "eventbuilders[0].type: expected a string, got number 5"},
        {{{{"name", "b"}, {"triggeredMode", "2"}}},
         "eventbuilders[0].triggeredMode: expected an integer, got string \"2\""},
        {{nullptr}, "eventbuilders[0].name: missing, expected a non-empty string"},
        {{{{"name", 3}}}, "eventbuilders[0].name: expected a non-empty string, got number 3"},
        {{{{"name", ""}, {"destinations", {"p1"}}}},
         R"(eventbuilders[0].name: expected a non-empty string, got string "")"},
        {{7}, "eventbuilders[0]: expected an object, got number 7"},
        {"all", "eventbuilders: expected an array, got string \"all\""},
        {{{"x", {{"name", "eb"}}}}, "eventbuilders: expected an array, got object {\"x\":{\"name\":\"eb\"}}"},
        {json::object(), "eventbuilders: expected an array, got object {}"},
        // Names that would overwrite each other in the status document.
        {{{{"name", "cam"}, {"destinations", {"p1"}}}},
         "duplicate status name \"cam\" (sources and eventbuilders)" + kOwnEntry,
         {{{"name", "cam"}}}},
        {{{{"name", "core"}}},
         "duplicate status name \"core\" (the service state and eventbuilders)" + kOwnEntry},
        {{{{"name", "triggers"}}},
         "duplicate status name \"triggers\" (the trigger statistics and eventbuilders)" + kOwnEntry},
        {{{{"name", "x"}}, {{"name", "x"}}},
         "duplicate queue name \"x\" (eventbuilders and eventbuilders): each needs a queue of its own"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.builders.dump());
        EXPECT_EQ(
            loadingError({{"eventposters", posters}, {"eventbuilders", c.builders}, {"sources", c.sources}}),
            c.error);
    }
}

TEST(EventBuildersLoadingTest, NothingToLoadMakesNoQueueBuilderOrWorker) {
    CapturingLog::Installed capture;
    for (const json& none : {json(), json::array()}) {
        ek::PipelineContext ctx(json{{"webserver", {{"port", 0}}}});
        ek::loadEventBuilders(ctx, none);
        ek::startEventBuilders(ctx);
        EXPECT_TRUE(ctx.queues.empty());
        EXPECT_TRUE(ctx.eventBuilders.empty());
        EXPECT_TRUE(ctx.ebWorkers.empty());
    }
    EXPECT_EQ(capture.log->count("Creating eventbuilders", ILog::LevelInfo), 2u);
    EXPECT_EQ(capture.log->count("Starting event builder workers", ILog::LevelInfo), 2u);
}

TEST(EventBuildersLoadingTest, EachBuilderGetsAQueueOfTwoBeforeItIsMade) {
    CapturingLog::Installed capture;
    ek::PipelineContext ctx(json{{"webserver", {{"port", 0}}}});
    EXPECT_THROW(ek::loadEventBuilders(ctx, {{{"name", "eb"}}}), std::runtime_error);
    ASSERT_EQ(ctx.queues.count("eb"), 1u);
    EXPECT_EQ(ctx.queues.at("eb")->capacity(), 2u);
    EXPECT_TRUE(ctx.eventBuilders.empty());
}

}  // namespace
