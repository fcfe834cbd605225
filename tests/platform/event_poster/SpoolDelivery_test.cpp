// The delivery thread against a scripted sender: order, retries with their pauses, refusals, stop.
#include "platform/event_poster/SpoolDelivery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/CapturingLog.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

// Answers from a script (200 once it runs out) and records the guid of every request it was
// given. With `hold` set it keeps each request until aborted, like a server that never answers.
class ScriptedSender : public RequestSender {
  public:
    explicit ScriptedSender(std::deque<SendResult> script, bool hold = false)
        : script_(std::move(script)), hold_(hold) {}

    SendResult send(const SpooledRequest& request) override {
        std::unique_lock<std::mutex> lock(mutex_);
        sent_.push_back(request.guid);
        changed_.notify_all();
        if (hold_) {
            changed_.wait(lock, [this] { return aborted_; });
        }
        if (aborted_) {
            return {0, "aborted", ""};
        }
        if (script_.empty()) {
            return {200, "", "ok"};
        }
        SendResult r = script_.front();
        script_.pop_front();
        return r;
    }
    void abort() override {
        std::lock_guard<std::mutex> lock(mutex_);
        aborted_ = true;
        changed_.notify_all();
    }
    bool waitForSent(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 30s, [&] { return sent_.size() >= n; });
    }
    std::vector<std::string> sent() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<SendResult> script_;
    std::vector<std::string> sent_;
    bool hold_;
    bool aborted_ = false;
};

SpooledRequest request(const std::string& guid) {
    SpooledRequest r;
    r.url = "http://127.0.0.1:1/";
    r.contentType = "application/json";
    r.body = "{}";
    r.guid = guid;
    r.lane = "north";
    r.plate = "AB123";
    r.spooledAt = 1;
    return r;
}

class SpoolDeliveryTest : public ::testing::Test {
  protected:
    CapturingLog::Installed capture;
    TempDir dir;
    EventSpool spool{dir.path() / "spool", 1 << 20};
    SpoolDelivery::Counters counters;
};

TEST_F(SpoolDeliveryTest, FailuresAreRetriedInOrderWithDoublingPausesResetBySuccess) {
    spool.append(request("first"));
    spool.append(request("second"));
    ScriptedSender sender({{500, "", "busy"},
                           {0, "connection refused", ""},
                           {429, "", ""},
                           {408, "", ""},
                           {200, "", ""},
                           {503, "", ""}});
    SpoolDelivery delivery("p", spool, sender, counters, {1, 4});
    ASSERT_TRUE(capture.log->waitFor("delivered event second after 2 tries", 30s, ILog::LevelInfo));
    delivery.stop();

    EXPECT_EQ(sender.sent(),
              (std::vector<std::string>{"first", "first", "first", "first", "first", "second", "second"}));
    EXPECT_TRUE(capture.log->contains("delivered event first after 5 tries"));
    for (const char* line : {"event first not delivered (try 1): HTTP 500 busy; next try in 1 ms",
                             "event first not delivered (try 2): connection refused; next try in 2 ms",
                             "(try 3): HTTP 429 ; next try in 4 ms", "(try 4): HTTP 408 ; next try in 4 ms",
                             "event second not delivered (try 1): HTTP 503 ; next try in 1 ms"}) {
        EXPECT_EQ(capture.log->count(line, ILog::LevelWarning), 1u) << line;
    }
    EXPECT_EQ(counters.retried, 5u);
    EXPECT_EQ(counters.delivered, 2u);
    EXPECT_EQ(spool.count(), 0u);
}

TEST_F(SpoolDeliveryTest, ARefusalIsLoggedWithTheEventAndMovedAside) {
    spool.append(request("bad"));
    spool.append(request("good"));
    ScriptedSender sender({{400, "", std::string(300, 'y') + "\n"}});
    SpoolDelivery delivery("p", spool, sender, counters, {1, 1});
    ASSERT_TRUE(capture.log->waitFor("delivered event good", 30s));
    delivery.stop();

    EXPECT_EQ(capture.log->count("EventPoster p: event bad refused (lane north, plate AB123): HTTP 400: " +
                                     std::string(200, 'y'),
                                 ILog::LevelError),
              1u);
    EXPECT_FALSE(capture.log->contains(std::string(201, 'y')));
    EXPECT_EQ(counters.refused, 1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(spool.refusedDirectory()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(SpoolDeliveryTest, StopAbandonsTheHeldRequestWhichStaysSpooled) {
    spool.append(request("held"));
    ScriptedSender sender({}, true);
    SpoolDelivery delivery("p", spool, sender, counters, {1, 1});
    ASSERT_TRUE(sender.waitForSent(1));
    delivery.stop();
    EXPECT_EQ(spool.count(), 1u);
    EXPECT_EQ(counters.delivered + counters.retried + counters.refused, 0u);
    EXPECT_FALSE(capture.log->contains("not delivered"));
}

TEST_F(SpoolDeliveryTest, AnUnreadableFileIsDroppedNamingTheEvent) {
    spool.append(request("broken"));
    std::filesystem::resize_file(spool.oldest()->file, 5);
    spool.append(request("fine"));
    ScriptedSender sender({});
    SpoolDelivery delivery("p", spool, sender, counters, {1, 1});
    ASSERT_TRUE(capture.log->waitFor("delivered event fine", 30s));
    delivery.stop();
    EXPECT_EQ(capture.log->count(
                  "EventPoster p: dropped event broken (lane north, plate AB123): unreadable spool file",
                  ILog::LevelError),
              1u);
    EXPECT_EQ(counters.dropped, 1u);
}

}  // namespace
