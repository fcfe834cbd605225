#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// A local TCP server that accepts connections, sends each an optional prefix of bytes and then
// stays silent until it is destroyed: a stream that stops answering.
class SilentServer {
  public:
    explicit SilentServer(std::string prefix = {}) : prefix_(std::move(prefix)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listen_ < 0) {
            throw std::runtime_error("SilentServer: socket failed");
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof(address);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listen_, 4) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ::close(listen_);
            throw std::runtime_error("SilentServer: cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    ~SilentServer() {
        done_ = true;
        thread_.join();
        for (int fd : clients_) {
            ::close(fd);
        }
        ::close(listen_);
    }

    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

    // Waits until `count` connections were accepted and their prefixes sent.
    void waitForClients(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        accepted_.wait(lock, [&] { return served_ >= count; });
    }

  private:
    void run() {
        while (!done_) {
            pollfd fd{listen_, POLLIN, 0};
            if (::poll(&fd, 1, 20) <= 0) {
                continue;
            }
            const int client = ::accept(listen_, nullptr, nullptr);
            if (client < 0) {
                continue;
            }
            sendAll(client);
            std::lock_guard<std::mutex> lock(mutex_);
            clients_.push_back(client);
            ++served_;
            accepted_.notify_all();
        }
    }

    void sendAll(int client) {
        size_t sent = 0;
        while (sent < prefix_.size()) {
            const auto n = ::send(client, prefix_.data() + sent, prefix_.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<size_t>(n);
        }
    }

    const std::string prefix_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::condition_variable accepted_;
    std::vector<int> clients_;
    size_t served_ = 0;
    std::thread thread_;
};
