#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
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

    // Waits until every prefix was sent and the clients of this process have read all of it: a
    // reader that goes on reading can then only wait on the silent socket.
    void waitUntilClientsReadAll() {
        waitForClients(1);
        while (unreadByClients() > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

  private:
    // Bytes waiting in the receive queues of this process's sockets connected to the server.
    int unreadByClients() const {
        int unread = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            int fd = -1;
            try {
                fd = std::stoi(entry.path().filename().string());
            } catch (const std::exception&) {
                continue;
            }
            sockaddr_in peer{};
            socklen_t length = sizeof(peer);
            int queued = 0;
            if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
                peer.sin_family == AF_INET && ntohs(peer.sin_port) == port_ &&
                ::ioctl(fd, FIONREAD, &queued) == 0) {
                unread += queued;
            }
        }
        return unread;
    }

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
