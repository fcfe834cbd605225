#include "HttpSink.h"

#include <httplib.h>

#include <exception>

HttpSink::HttpSink(const std::string& host, int port)
    : host_(host), port_(port), worker_([this] { run(); }) {}

HttpSink::~HttpSink() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

bool HttpSink::write(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= kMaxQueued) {
            return fail();
        }
        queue_.push_back(line);
    }
    wake_.notify_one();
    return true;
}

void HttpSink::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void HttpSink::run() {
    httplib::Client client(host_, port_);
    client.set_keep_alive(true);
    client.set_connection_timeout(1, 0);
    client.set_read_timeout(2, 0);
    client.set_write_timeout(2, 0);
    bool failedWhileStopping = false;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // stopping with nothing left
        }
        std::string line = std::move(queue_.front());
        queue_.pop_front();
        if (failedWhileStopping) {
            fail();
        } else {
            busy_ = true;
            lock.unlock();
            bool ok = false;
            try {
                auto result = client.Post("/log", line, "text/plain; charset=utf-8");
                ok = result && result->status >= 200 && result->status < 300;
            } catch (const std::exception&) {
                ok = false;  // counted below like any other failed post
            }
            if (!ok) {
                fail();
            }
            lock.lock();
            busy_ = false;
            failedWhileStopping = !ok && stopping_;
        }
        if (queue_.empty()) {
            idle_.notify_all();
        }
    }
}
