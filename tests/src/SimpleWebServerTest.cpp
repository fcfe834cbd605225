#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/event_poster/QEVATriggerEvent.h"
#include "tests/src/FakeEventBuilder.h"
#include "tests/src/FakeVideoSource.h"
#include "tests/src/RawConnection.h"
#include "tests/src/ServedContext.h"
#include "tests/support/CapturingLog.h"

namespace {

using nlohmann::json;

constexpr const char* kForm = "application/x-www-form-urlencoded";

std::string parseError(const std::string& body) {
    try {
        QEVATriggerEvent::parse(body);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "parsed";
}

std::string triggerBody(int64_t lane, int64_t id) {
    QEVATriggerEvent te;
    te.laneId = lane;
    te.triggerId = id;
    te.triggerTimestamp = 1700000000000;
    return te.toString();
}

void putFrame(ek::PipelineContext& ctx, const std::string& camera, int cols, int rows, int64_t ts) {
    auto frame = std::make_shared<FrameWithInfo>();
    frame->frame = std::make_shared<ek::pipeline::Frame>(
        rows > 0 && cols > 0 ? cv::Mat(rows, cols, CV_8UC3, cv::Scalar(10, 120, 200)) : cv::Mat());
    frame->frame->timestamp = ts;
    std::lock_guard<std::mutex> guard(ctx.lock);
    ctx.lastFrame[camera] = frame;
}

class SimpleWebServerTest : public ::testing::Test {
  protected:
    CapturingLog::Installed capture = CapturingLog::install();
    std::optional<ServedContext> served{std::in_place};
    ek::PipelineContext& ctx() { return served->ctx; }
};

struct HttpCase {
    std::string method;
    std::string path;
    std::string body;
    std::string bodyType;
    int status;
    std::optional<std::string> answer;  // nullopt: not checked
    std::string answerType;
};

TEST_F(SimpleWebServerTest, AnswersEveryRouteAsSpecified) {
    ctx().setStatus("core", "starting");
    const std::vector<HttpCase> cases = {
        {"GET", "/api/ping", "", "", 200, "OK", "text/html"},
        {"GET", "/status", "", "", 200, "{\n    \"core\": \"starting\"\n}", "application/json"},
        {"GET", "/api/inference/status", "", "", 200, R"({"enabled":true})", "application/json"},
        {"POST", "/api/inference", "enabled=0", kForm, 200, R"({"enabled":false})", "application/json"},
        {"GET", "/api/inference/status", "", "", 200, R"({"enabled":false})", "application/json"},
        {"POST", "/api/inference?enabled=true", "", kForm, 200, R"({"enabled":true})", "application/json"},
        {"POST", "/api/inference", "enabled=false", kForm, 200, R"({"enabled":false})", "application/json"},
        {"POST", "/api/inference", "enabled=1", kForm, 200, R"({"enabled":true})", "application/json"},
        {"POST", "/api/inference", "", kForm, 400, R"({"error":"missing parameter: enabled"})",
         "application/json"},
        {"POST", "/api/inference", "enabled=TRUE", kForm, 400, R"({"error":"enabled must be true or false"})",
         "application/json"},
        {"POST", "/api/inference", "enabled=yes", kForm, 400, R"({"error":"enabled must be true or false"})",
         "application/json"},
        {"GET", "/api/inference/status", "", "", 200, R"({"enabled":true})", "application/json"},
        {"GET", "/bin-image/nocam/320", "", "", 401, "", ""},
        {"GET", "/bin-image/nocam/", "", "", 500, std::nullopt, ""},
        {"GET", "/bin-image/nocam/abc", "", "", 500, std::nullopt, ""},
        {"GET", "/bin-image/nocam", "", "", 404, std::nullopt, ""},
        {"POST", "/trigger", "not json", "application/json", 500, parseError("not json"), "plain/text"},
        {"POST", "/trigger", "{}", "application/json", 500, parseError("{}"), "plain/text"},
        {"POST", "/trigger", triggerBody(1, 1), "application/json", 500, "service is starting", "plain/text"},
        {"GET", "/trigger", "", "", 404, std::nullopt, ""},
        {"POST", "/api/ping", "", kForm, 404, std::nullopt, ""},
        {"GET", "/nothing", "", "", 404, std::nullopt, ""},
    };
    auto client = served->client();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path + " " + c.body);
        auto result = c.method == "GET" ? client.Get(c.path.c_str())
                                        : client.Post(c.path.c_str(), c.body, c.bodyType.c_str());
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status);
        if (c.answer) {
            EXPECT_EQ(result->body, *c.answer);
        }
        if (!c.answerType.empty()) {
            EXPECT_EQ(result->get_header_value("Content-Type"), c.answerType);
        }
    }
    EXPECT_TRUE(capture.log->contains("/bin-image: cam not found: nocam", ILog::LevelError));
    EXPECT_TRUE(
        capture.log->contains("SimpleWebServer /trigger error: service is starting", ILog::LevelError));
}

TEST_F(SimpleWebServerTest, InferenceSwitchLogsOnlyRealChanges) {
    auto client = served->client();
    ASSERT_TRUE(client.Post("/api/inference", "enabled=0", kForm));
    ASSERT_TRUE(client.Post("/api/inference", "enabled=1", kForm));
    auto again = client.Post("/api/inference", "enabled=1", kForm);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, R"({"enabled":true})");
    EXPECT_EQ(capture.log->count("/api/inference: inference enabled", ILog::LevelInfo), 1u);
    EXPECT_EQ(capture.log->count("/api/inference: inference disabled", ILog::LevelInfo), 1u);
    EXPECT_TRUE(ctx().inferenceEnabled);
}

TEST_F(SimpleWebServerTest, StatusWithInvalidUtf8IsServedWithTheBadBytesReplaced) {
    // One bad byte in a camera or plate name must not hide the whole document.
    ctx().setStatus("cam\xff", "\xff\xfe not UTF-8");
    ctx().setStatus("core", "working");
    auto result = served->client().Get("/status");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    const auto status = nlohmann::json::parse(result->body);
    EXPECT_EQ(status.at("core"), "working");
    EXPECT_EQ(status.at("cam\xef\xbf\xbd"), "\xef\xbf\xbd\xef\xbf\xbd not UTF-8");
    EXPECT_FALSE(capture.log->contains("Can`t decode JSON status"));
}

struct ImageCase {
    std::string path;
    int status;
    int cols;
    int rows;
};

TEST_F(SimpleWebServerTest, BinImageServesTheLatestFrameAtTheAskedWidth) {
    putFrame(ctx(), "cam1", 1920, 1080, 1700000000123);
    putFrame(ctx(), "a/b", 640, 480, 42);
    putFrame(ctx(), "empty", 0, 0, 7);
    const std::vector<ImageCase> cases = {
        {"/bin-image/cam1/320", 200, 320, 180},  {"/bin-image/cam1/0", 200, 1920, 1080},
        {"/bin-image/cam1/-5", 200, 1920, 1080}, {"/bin-image/cam1/1920", 200, 1920, 1080},
        {"/bin-image/cam1/1", 200, 1, 1},        {"/bin-image/cam1/0320", 200, 320, 180},
        {"/bin-image/a/b/64", 200, 64, 48},      {"/bin-image/cam1/1921", 401, 0, 0},
        {"/bin-image/empty/10", 401, 0, 0},
    };
    auto client = served->client();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto result = client.Get(c.path.c_str());
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status);
        if (c.status != 200) {
            EXPECT_EQ(result->body, "");
            continue;
        }
        EXPECT_EQ(result->get_header_value("Content-Type"), "image/jpg");
        EXPECT_EQ(result->get_header_value("frame_ts"),
                  c.path.find("/a/b/") != std::string::npos ? "42" : "1700000000123");
        const std::vector<unsigned char> bytes(result->body.begin(), result->body.end());
        const cv::Mat image = cv::imdecode(bytes, cv::IMREAD_COLOR);
        EXPECT_EQ(image.cols, c.cols);
        EXPECT_EQ(image.rows, c.rows);
    }
    EXPECT_TRUE(capture.log->contains("/bin-image: size of image is zero", ILog::LevelError));
    EXPECT_TRUE(
        capture.log->contains("/bin-image: width 1921 is over the frame width 1920", ILog::LevelError));
}

TEST_F(SimpleWebServerTest, TriggerAnswersOkForAcceptedAndForCameralessTriggers) {
    auto builder = std::make_shared<FakeEventBuilder>("tb", 1, EventBuilderMode::Triggered);
    ctx().eventBuilders["tb"] = builder;
    ctx().caps.push_back(std::make_shared<FakeVideoSource>("cam", 3, 1));
    ctx().markReady();
    auto client = served->client();

    auto accepted = client.Post("/trigger", triggerBody(1, 10), "application/json");
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status, 200);
    EXPECT_EQ(accepted->body, "OK");
    EXPECT_EQ(accepted->get_header_value("Content-Type"), "text/plain");

    auto noCamera = client.Post("/trigger", triggerBody(9, 11), "application/json");
    ASSERT_TRUE(noCamera);
    EXPECT_EQ(noCamera->status, 200);
    EXPECT_EQ(noCamera->body, "OK");

    ctx().join();  // waits for the trigger thread
    ASSERT_EQ(builder->calls().size(), 1u);
    EXPECT_EQ(builder->calls()[0].trigger.triggerId, 10);
    EXPECT_EQ(builder->calls()[0].cameraIds, std::vector<int>{3});
}

TEST_F(SimpleWebServerTest, TriggerRefusalReachesTheClient) {
    ctx().caps.push_back(std::make_shared<FakeVideoSource>("cam", 3, 1));
    ctx().markReady();
    auto result = served->client().Post("/trigger", triggerBody(1, 10), "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 500);
    EXPECT_EQ(result->body, "Event builder for lane 1 not found");
    EXPECT_EQ(result->get_header_value("Content-Type"), "plain/text");
}

TEST_F(SimpleWebServerTest, OversizedBodiesAreRefusedAndTheServerGoesOn) {
    auto client = served->client();
    const std::string huge(ek::SimpleWebServer::kMaxBodyBytes + 1, 'x');
    auto trigger = client.Post("/trigger", huge, "application/json");
    ASSERT_TRUE(trigger);
    EXPECT_EQ(trigger->status, 413);
    auto inference = client.Post("/api/inference", "enabled=1&pad=" + huge, kForm);
    ASSERT_TRUE(inference);
    EXPECT_EQ(inference->status, 413);
    auto ping = served->client().Get("/api/ping");
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->body, "OK");
}

TEST_F(SimpleWebServerTest, ExitAfterLoadingStopsTheRunAndTheListener) {
    ctx().markReady();
    const int port = ctx().sws.boundPort();
    auto result = served->client().Get("/exit");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, "OK");
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/html");
    served->listener.join();
    EXPECT_TRUE(ctx().stop);
    EXPECT_TRUE(capture.log->contains("terminate() done"));
    EXPECT_TRUE(capture.log->contains("Web server stopped"));
    httplib::Client late("127.0.0.1", port);
    EXPECT_FALSE(late.Get("/api/ping"));
}

TEST_F(SimpleWebServerTest, ExitDuringLoadingIsRememberedNotCarriedOut) {
    auto result = served->client().Get("/exit");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, "OK");
    EXPECT_FALSE(ctx().stop);
    auto ping = served->client().Get("/api/ping");
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->body, "OK");
    EXPECT_TRUE(ctx().markReady());
}

TEST_F(SimpleWebServerTest, StopBeforeStartMakesTheListenerEndAtOnce) {
    ek::PipelineContext idle(ServedContext::minimalConfig());
    idle.sws.stop();
    std::thread listener = idle.sws.start();
    listener.join();
    EXPECT_EQ(idle.sws.boundPort(), -1);
    EXPECT_FALSE(capture.log->contains("can not listen", ILog::LevelError));
}

TEST_F(SimpleWebServerTest, StopRightAfterStartNeverHangs) {
    for (int i = 0; i < 20; ++i) {
        ek::PipelineContext quick(ServedContext::minimalConfig());
        std::thread listener = quick.sws.start();
        std::thread stopper([&] { quick.sws.stop(); });
        stopper.join();
        listener.join();
    }
}

TEST_F(SimpleWebServerTest, APortAlreadyTakenIsLoggedAtError) {
    const int port = ctx().sws.boundPort();
    ek::PipelineContext second(json{{"webserver", {{"port", port}}}});
    std::thread listener = second.sws.start();
    listener.join();
    EXPECT_EQ(second.sws.boundPort(), -1);
    EXPECT_TRUE(
        capture.log->contains("Web server can not listen on port " + std::to_string(port), ILog::LevelError));
    // The first server is untouched.
    auto ping = served->client().Get("/api/ping");
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->body, "OK");
}

// Four requests hold the four workers inside the trigger callback.
class BlockingTrigger {
  public:
    void operator()() {
        std::unique_lock<std::mutex> guard(mutex_);
        ++inside_;
        changed_.notify_all();
        changed_.wait(guard, [this] { return released_; });
    }
    void waitInside(int n) {
        std::unique_lock<std::mutex> guard(mutex_);
        changed_.wait(guard, [&] { return inside_ == n; });
    }
    void release() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int inside_ = 0;
    bool released_ = false;
};

// Waits (against a hang only) until `count` complete requests wait for a worker.
bool waitForWaitingRequests(const ek::SimpleWebServer& sws, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sws.waitingRequests() != count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST_F(SimpleWebServerTest, ARequestBeyondSixteenWaitingIsClosedAtOnce) {
    BlockingTrigger blocking;
    ctx().trigger = [&](QEVATriggerEvent) { blocking(); };
    std::vector<std::thread> busy;
    for (size_t i = 0; i < ek::SimpleWebServer::kWorkers; ++i) {
        busy.emplace_back([&] {
            auto result = served->client().Post("/trigger", triggerBody(1, 1), "application/json");
            EXPECT_TRUE(result && result->body == "OK");
        });
    }
    blocking.waitInside(static_cast<int>(ek::SimpleWebServer::kWorkers));

    const int port = ctx().sws.boundPort();
    const std::string ping = "GET /api/ping HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n";
    // Connections without a request take no place among the waiting ones.
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(std::make_unique<RawConnection>(port));
        ASSERT_TRUE(idle.back()->connected());
    }
    std::vector<std::unique_ptr<RawConnection>> waiting;
    for (size_t i = 0; i < ek::SimpleWebServer::kMaxWaiting; ++i) {
        waiting.push_back(std::make_unique<RawConnection>(port));
        ASSERT_TRUE(waiting.back()->connected());
        waiting.back()->send(ping);
    }
    ASSERT_TRUE(waitForWaitingRequests(ctx().sws, ek::SimpleWebServer::kMaxWaiting));
    // A complete request while sixteen wait: closed without an answer.
    RawConnection refused(port);
    ASSERT_TRUE(refused.connected());
    refused.send(ping);
    const auto answer = refused.readToEnd();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, "");
    EXPECT_TRUE(capture.log->contains("16 requests wait for a worker", ILog::LevelWarning));

    blocking.release();
    for (auto& thread : busy) {
        thread.join();
    }
    // Every waiting request is answered once workers are free, and the idle connections still work.
    for (auto& connection : idle) {
        connection->send(ping);
    }
    for (auto* group : {&waiting, &idle}) {
        for (auto& connection : *group) {
            const auto reply = connection->readToEnd();
            ASSERT_TRUE(reply.has_value());
            EXPECT_EQ(reply->rfind("HTTP/1.1 200 OK", 0), 0u) << *reply;
            EXPECT_NE(reply->find("\r\n\r\nOK"), std::string::npos) << *reply;
        }
    }
}

TEST_F(SimpleWebServerTest, PingIsAnsweredWhileIdleAndSlowClientsHoldConnections) {
    const int port = ctx().sws.boundPort();
    const std::string trickled = "GET /api/ping HTTP/1.1\r\nHost: test\r\n\r\n";
    auto client = served->client();
    // The slow heads are cut off two seconds after their first byte: a machine too slow to answer
    // the pings before that gets another round.
    bool answeredWhileHeld = false;
    for (int round = 0; round < 3 && !answeredWhileHeld; ++round) {
        std::vector<std::unique_ptr<RawConnection>> idle;
        std::vector<std::unique_ptr<RawConnection>> slow;
        for (int i = 0; i < 24; ++i) {
            idle.push_back(std::make_unique<RawConnection>(port));
            ASSERT_TRUE(idle.back()->connected());
        }
        for (int i = 0; i < 8; ++i) {
            slow.push_back(std::make_unique<RawConnection>(port));
            ASSERT_TRUE(slow.back()->connected());
        }
        // The slow clients send their heads a byte at a time; between their bytes another client pings.
        bool held = true;
        for (size_t byte = 0; byte < 4 && held; ++byte) {
            for (auto& connection : slow) {
                connection->trySend(trickled.substr(byte, 1));
            }
            auto result = client.Get("/api/ping");
            ASSERT_TRUE(result);
            EXPECT_EQ(result->body, "OK");
            // Answered while every slow head is still open and unanswered.
            for (auto& connection : slow) {
                std::string early;
                held = connection->readAvailable(early) && early.empty() && held;
            }
        }
        answeredWhileHeld = held;
        // The slow heads are cut off by their deadline with 408.
        for (auto& connection : slow) {
            const auto reply = connection->readToEnd();
            ASSERT_TRUE(reply.has_value());
            EXPECT_EQ(reply->rfind("HTTP/1.1 408 Request Timeout", 0), 0u) << *reply;
        }
    }
    EXPECT_TRUE(answeredWhileHeld) << "no ping was answered before the slow heads were cut off";
}

TEST_F(SimpleWebServerTest, APostWithoutBodyHasAnEmptyBody) {
    const int port = ctx().sws.boundPort();
    // What `curl -X POST URL` sends: neither Content-Length nor Transfer-Encoding.
    const std::string head = " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n";
    struct Case {
        std::string target;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {"/api/inference?enabled=false", R"({"enabled":false})"},
        {"/api/inference", R"({"error":"missing parameter: enabled"})"},
        {"/trigger", parseError("")},
    };
    const std::string ping = "GET /api/ping HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        RawConnection connection(port);
        ASSERT_TRUE(connection.connected());
        // A ping right behind it: the request ends with its head, so the ping is a request of its
        // own, not a body that a reader waiting for one would take.
        connection.send("POST " + c.target + head + ping);
        const auto reply = connection.readToEnd();
        ASSERT_TRUE(reply.has_value());
        const size_t answer = reply->find("\r\n\r\n" + c.answer);
        ASSERT_NE(answer, std::string::npos) << *reply;
        const size_t pong = reply->find("HTTP/1.1 200 OK", answer);
        ASSERT_NE(pong, std::string::npos) << *reply;
        EXPECT_NE(reply->find("\r\n\r\nOK", pong), std::string::npos) << *reply;
    }
    EXPECT_FALSE(ctx().inferenceEnabled);
}

TEST_F(SimpleWebServerTest, BinImageWidthIsStrictlyDigits) {
    putFrame(ctx(), "cam1", 64, 48, 1);
    struct Case {
        std::string width;
        int status;
        int cols;
    };
    const std::vector<Case> cases = {
        {"1e3", 500, 0}, {"+5", 500, 0},  {"%205", 500, 0},       {"5px", 500, 0},         {"", 500, 0},
        {"-", 500, 0},   {"5-", 500, 0},  {"2147483648", 500, 0}, {"-2147483649", 500, 0}, {"0x10", 500, 0},
        {"007", 200, 7}, {"-0", 200, 64}, {"-5", 200, 64},        {"32", 200, 32},
    };
    auto client = served->client();
    for (const auto& c : cases) {
        SCOPED_TRACE("width " + c.width);
        auto result = client.Get(("/bin-image/cam1/" + c.width).c_str());
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status);
        if (c.status == 200) {
            const std::vector<unsigned char> bytes(result->body.begin(), result->body.end());
            EXPECT_EQ(cv::imdecode(bytes, cv::IMREAD_COLOR).cols, c.cols);
        }
    }
}

TEST_F(SimpleWebServerTest, StopClosesIdleKeptAliveConnections) {
    ctx().markReady();
    // A kept-alive connection that stays idle waits for its next request in the connection
    // thread's poll, held by no worker: the stop must close it all the same.
    RawConnection idle(ctx().sws.boundPort());
    idle.send("GET /api/ping HTTP/1.1\r\nHost: test\r\n\r\n");
    std::string first;
    ASSERT_TRUE(idle.readUntil("\r\n\r\nOK", first));
    EXPECT_NE(first.find("Keep-Alive"), std::string::npos);
    auto result = served->client().Get("/exit");
    ASSERT_TRUE(result);
    served->listener.join();
    const auto rest = idle.readToEnd();
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(*rest, "");
}

}  // namespace
