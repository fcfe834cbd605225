#include "qo_common/utils/curl.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/support/FreePort.h"

namespace {

// A real HTTP server on 127.0.0.1; "/hang" answers only once the test lets it go.
class LocalServer {
  public:
    LocalServer() {
        server_.Get("/ok", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("ok", "text/plain");
        });
        server_.Get("/hang", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(mutex_);
            released_.wait_for(lock, std::chrono::seconds(10), [this] { return release_; });
            res.set_content("late", "text/plain");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) {
            std::this_thread::yield();
        }
    }
    ~LocalServer() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            release_ = true;
        }
        released_.notify_all();
        server_.stop();
        thread_.join();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool release_ = false;
};

void expectErrorNaming(const std::string& url, long connectMs, long totalMs) {
    try {
        curl::send(url, connectMs, totalMs);
        ADD_FAILURE() << "no error for " << url;
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(url), std::string::npos) << e.what();
    }
}

TEST(CurlTest, ReturnsTheHttpStatus) {
    curl::globalInit();
    curl::globalInit();  // a second call does nothing
    LocalServer server;
    EXPECT_EQ(curl::send(server.url("/ok")), 200);
    EXPECT_EQ(curl::send(server.url("/absent")), 404);
}

TEST(CurlTest, RefusedConnectionThrowsNamingTheUrl) {
    expectErrorNaming("http://127.0.0.1:" + std::to_string(freePort()) + "/start", 2000, 5000);
}

TEST(CurlTest, TotalTimeOutEndsAnUnansweredRequest) {
    LocalServer server;
    expectErrorNaming(server.url("/hang"), 2000, 200);
}

TEST(CurlTest, MalformedUrlThrows) {
    expectErrorNaming("notascheme://x", 2000, 5000);
}

}  // namespace
