#include "src/BoundedHttpServer.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/monitoring/ProcessMemory.h"
#include "tests/src/RawConnection.h"
#include "tests/support/CapturingLog.h"

namespace {

using namespace std::chrono_literals;

const std::string kPing = "GET /ping HTTP/1.1\r\nHost: t\r\n\r\n";
const std::string kLastPing = "GET /ping HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";

// Holds requests to "/block" inside their handler until released.
class Gate {
  public:
    void pass() {
        std::unique_lock<std::mutex> guard(mutex_);
        ++inside_;
        changed_.notify_all();
        changed_.wait(guard, [this] { return open_; });
    }
    void waitInside(int n) {
        std::unique_lock<std::mutex> guard(mutex_);
        changed_.wait(guard, [&] { return inside_ >= n; });
    }
    void open() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int inside_ = 0;
    bool open_ = false;
};

// A BoundedHttpServer on a free port of 127.0.0.1 with a few routes, served on its own thread.
class TestServer {
  public:
    explicit TestServer(const ek::BoundedHttpServer::Limits& limits, size_t workers = 4)
        : server(workers, 16, limits) {
        server.Get("/ping", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("OK", "text/plain");
        });
        server.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.body, "text/plain");
        });
        server.Get("/block", [this](const httplib::Request&, httplib::Response& res) {
            gate.pass();
            res.set_content("released", "text/plain");
        });
        server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(32 * 1024 * 1024, 'b'), "text/plain");
        });
        port = server.bindPort("127.0.0.1", 0);
        serving = std::thread([this] { server.serve(); });
    }
    ~TestServer() { stop(); }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    void stop() {
        gate.open();
        server.requestStop();
        if (serving.joinable()) {
            serving.join();
        }
    }
    // A fresh connection that pings; the answer's body, or "" when none came.
    std::string ping() const {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(30, 0);
        auto result = client.Get("/ping");
        return result ? result->body : "";
    }

    Gate gate;
    ek::BoundedHttpServer server;
    int port = -1;
    std::thread serving;
};

ek::BoundedHttpServer::Limits shortTimeouts() {
    ek::BoundedHttpServer::Limits limits;
    limits.timeouts.head = 1000ms;
    limits.timeouts.body = 1000ms;
    limits.timeouts.idle = 1000ms;
    return limits;
}

// This process's resident memory in kB: the test servers run in it.
int64_t residentKb() {
    const int64_t kb = ek::ProcessMemory::read().vmRss;
    EXPECT_GT(kb, 0) << "VmRSS unreadable";
    return kb;
}

std::string statusLine(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

class BoundedHttpServerTest : public ::testing::Test {
  protected:
    CapturingLog::Installed capture = CapturingLog::install();
};

TEST_F(BoundedHttpServerTest, AHeadThatNeverEndsIsAnswered431AndClosedEarly) {
    TestServer served{ek::BoundedHttpServer::Limits{}};
    constexpr size_t kOffered = 64 * 1024 * 1024;
    constexpr size_t kSampleEvery = 1024 * 1024;
    // Against the 16 KiB head limit, and far below what is offered: room for the worker's first
    // allocations and the sampling itself, never for the head.
    constexpr int64_t kMaxGrowthKb = 8 * 1024;
    ASSERT_EQ(served.ping(), "OK");  // workers and their allocators warmed before the baseline
    // Many short lines hit the line count; a few long ones the head size.
    for (const std::string& line :
         {std::string("X-Pad: 0123456789\r\n"), "X-Pad: " + std::string(1000, 'p') + "\r\n"}) {
        SCOPED_TRACE(line.size());
        RawConnection connection(served.port);
        ASSERT_TRUE(connection.connected());
        const int64_t before = residentKb();
        int64_t peak = before;
        connection.send("GET /ping HTTP/1.1\r\n");
        std::string reply;
        size_t sent = 0;
        while (sent < kOffered && reply.find("\r\n\r\n") == std::string::npos) {
            if (!connection.trySend(line) || !connection.readAvailable(reply)) {
                break;
            }
            sent += line.size();
            // Sampled while the head is offered: a buffer freed at the close would not show after.
            if (sent % kSampleEvery < line.size()) {
                peak = std::max(peak, residentKb());
            }
        }
        peak = std::max(peak, residentKb());
        const auto rest = connection.readToEnd();
        peak = std::max(peak, residentKb());
        EXPECT_LT(peak - before, kMaxGrowthKb)
            << "kB of resident memory grew while " << sent << " bytes of head were offered";
        ASSERT_TRUE(rest.has_value());
        reply += *rest;
        EXPECT_EQ(statusLine(reply), "HTTP/1.1 431 Request Header Fields Too Large");
        EXPECT_NE(reply.find("Connection: close"), std::string::npos);
        // Stopped by the answer or the close, not by the client's own cap: what the server holds
        // is one head; the rest sat in socket buffers or was drained and dropped.
        EXPECT_LT(sent, 16u * 1024u * 1024u);
    }
    EXPECT_EQ(served.ping(), "OK");
}

TEST_F(BoundedHttpServerTest, BrokenRequestsAreAnsweredAndClosed) {
    TestServer served{ek::BoundedHttpServer::Limits{}};
    struct Case {
        std::string request;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long"},
        {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         "HTTP/1.1 411 Length Required"},
        {"POST /echo HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n" + std::string(100000, 'x'),
         "HTTP/1.1 413 Payload Too Large"},
        {"GET /ping HTTP/1.1\r\nBad Name: x\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"BREW /pot HTCPCP/1.0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        RawConnection connection(served.port);
        ASSERT_TRUE(connection.connected());
        connection.send(c.request);
        const auto reply = connection.readToEnd();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(statusLine(*reply), c.status) << reply->substr(0, 200);
    }
    EXPECT_EQ(served.ping(), "OK");
}

TEST_F(BoundedHttpServerTest, SlowHeadsAndBodiesAreCutOffAtTheirDeadline) {
    TestServer served(shortTimeouts());
    struct Trickle {
        std::string atOnce;
        std::string byteByByte;
    };
    const std::vector<Trickle> trickles = {
        {"", kPing},
        {"POST /echo HTTP/1.1\r\nContent-Length: 40\r\n\r\n", std::string(40, 'x')},
    };
    for (const auto& trickle : trickles) {
        SCOPED_TRACE(trickle.atOnce.empty() ? "head" : "body");
        RawConnection connection(served.port);
        ASSERT_TRUE(connection.connected());
        if (!trickle.atOnce.empty()) {
            connection.send(trickle.atOnce);
        }
        // A byte every 200 ms: the whole takes far longer than the deadline, so a deadline that
        // each byte pushed on would see the request complete and answer it.
        std::string reply;
        for (size_t i = 0; i < trickle.byteByByte.size() && reply.empty(); ++i) {
            std::this_thread::sleep_for(200ms);
            connection.readAvailable(reply);
            if (reply.empty() && !connection.trySend(trickle.byteByByte.substr(i, 1))) {
                break;
            }
        }
        const auto rest = connection.readToEnd();
        ASSERT_TRUE(rest.has_value());
        reply += *rest;
        EXPECT_EQ(statusLine(reply), "HTTP/1.1 408 Request Timeout");
    }
}

TEST_F(BoundedHttpServerTest, IdleConnectionsAreClosedAfterTheIdleTimeout) {
    TestServer served(shortTimeouts());
    RawConnection silent(served.port);
    RawConnection keptAlive(served.port);
    keptAlive.send(kPing);
    std::string first;
    ASSERT_TRUE(keptAlive.readUntil("\r\n\r\nOK", first));
    EXPECT_TRUE(silent.closedWithin(10s));
    EXPECT_TRUE(keptAlive.closedWithin(10s));
}

TEST_F(BoundedHttpServerTest, AFullHouseMakesRoomByClosingTheConnectionNearestItsTimeout) {
    ek::BoundedHttpServer::Limits limits;
    limits.maxConnections = 4;
    TestServer served(limits);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<RawConnection>(served.port));
        ASSERT_TRUE(idle.back()->connected());
        std::this_thread::sleep_for(20ms);  // distinct deadlines, oldest first
    }
    EXPECT_EQ(served.ping(), "OK");
    EXPECT_TRUE(idle[0]->closedWithin(10s));
    idle[1]->send(kLastPing);
    const auto reply = idle[1]->readToEnd();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(statusLine(*reply), "HTTP/1.1 200 OK");
    EXPECT_TRUE(capture.log->contains("4 connections wait for a request", ILog::LevelWarning));
}

TEST_F(BoundedHttpServerTest, PipelinedAndPiecemealRequestsAreAnsweredInOrder) {
    TestServer served{ek::BoundedHttpServer::Limits{}};
    RawConnection connection(served.port);
    ASSERT_TRUE(connection.connected());
    const std::string requests =
        kPing + "POST /echo HTTP/1.1\r\nContent-Length: 5\r\n\r\nfirst" + kPing +
        "POST /echo HTTP/1.1\r\nContent-Length: 6\r\nConnection: close\r\n\r\nsecond";
    // In pieces that cut through request lines, headers and bodies.
    for (size_t at = 0; at < requests.size(); at += 17) {
        connection.send(requests.substr(at, 17));
        std::this_thread::sleep_for(5ms);
    }
    const auto reply = connection.readToEnd();
    ASSERT_TRUE(reply.has_value());
    const size_t ok1 = reply->find("\r\n\r\nOK");
    const size_t first = reply->find("\r\n\r\nfirst");
    const size_t ok2 = reply->find("\r\n\r\nOK", first);
    const size_t second = reply->find("\r\n\r\nsecond");
    ASSERT_NE(second, std::string::npos) << *reply;
    EXPECT_LT(ok1, first);
    EXPECT_LT(first, ok2);
    EXPECT_LT(ok2, second);
}

TEST_F(BoundedHttpServerTest, ExpectContinueIsAnsweredBeforeTheBody) {
    TestServer served{ek::BoundedHttpServer::Limits{}};
    RawConnection connection(served.port);
    connection.send("POST /echo HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    std::string reply;
    ASSERT_TRUE(connection.readUntil("\r\n\r\n", reply));
    EXPECT_EQ(reply, "HTTP/1.1 100 Continue\r\n\r\n");
    connection.send("hello");
    ASSERT_TRUE(connection.readUntil("\r\n\r\nhello", reply));
}

TEST_F(BoundedHttpServerTest, AClientThatDoesNotReadLosesItsWorkerAfterTheAnswerTimeout) {
    ek::BoundedHttpServer::Limits limits;
    limits.answerTimeout = 1000ms;
    TestServer served(limits, 1);
    RawConnection stalled(served.port);
    stalled.send("GET /big HTTP/1.1\r\nHost: t\r\n\r\n");
    // The only worker is free again once the answer time-out has passed (the ping's own read
    // time-out is far longer: it only guards against a hang).
    EXPECT_EQ(served.ping(), "OK");
    EXPECT_TRUE(stalled.closedWithin(10s));
}

TEST_F(BoundedHttpServerTest, StopAnswersRequestsInProgressAndClosesTheRest) {
    TestServer served{ek::BoundedHttpServer::Limits{}};
    RawConnection blocked(served.port);
    blocked.send("GET /block HTTP/1.1\r\nHost: t\r\n\r\n");
    served.gate.waitInside(1);
    RawConnection idle(served.port);
    RawConnection halfHead(served.port);
    halfHead.send("GET /ping HTTP/1.1\r\nHo");
    RawConnection halfBody(served.port);
    halfBody.send("POST /echo HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    // Answered on a later connection: the server has accepted the three and read what they sent.
    EXPECT_EQ(served.ping(), "OK");

    served.server.requestStop();
    EXPECT_TRUE(idle.closedWithin(10s));
    EXPECT_TRUE(halfHead.closedWithin(10s));
    EXPECT_TRUE(halfBody.closedWithin(10s));
    served.gate.open();
    const auto reply = blocked.readToEnd();
    ASSERT_TRUE(reply.has_value());
    EXPECT_NE(reply->find("\r\n\r\nreleased"), std::string::npos);
    served.stop();
    RawConnection late(served.port);
    EXPECT_FALSE(late.connected());
}

}  // namespace
