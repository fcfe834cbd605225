// Requests per second of GET "/api/ping": our SimpleWebServer (bounded pool, own connection
// handling) against a bare cpp-httplib server with the library's pool of the same 4 workers.
// Each server runs alone while wrk (-t2 -c16) loads it; the rounds alternate the two servers and
// the median of each is compared. Our server sets TCP_NODELAY on its connections, so the bare
// server is measured with it too (and once with the library's defaults, for reference).
//
// Then the latency of single pings from a fresh connection, with no other client and while 24 idle
// and 8 slow clients (a byte a second, reconnecting when cut off) hold connections, on our server
// and, for reference, on the bare one.

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "src/PipelineContext.h"

namespace {

// Runs wrk against `port` and returns its "Requests/sec" figure.
double runWrk(int port, int seconds) {
    const std::string command = "wrk -t2 -c16 -d" + std::to_string(seconds) +
                                "s http://127.0.0.1:" + std::to_string(port) + "/api/ping 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run wrk (Debian package wrk)");
    }
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof(buffer), pipe.get()) != nullptr) {
        output += buffer;
    }
    const auto at = output.find("Requests/sec:");
    if (at == std::string::npos) {
        throw std::runtime_error("unexpected wrk output:\n" + output);
    }
    return std::strtod(output.c_str() + at + 13, nullptr);
}

double benchOurs(int seconds) {
    ek::PipelineContext ctx(nlohmann::json{{"webserver", {{"port", 0}}}});
    std::thread listener = ctx.sws.start();
    const double rps = runWrk(ctx.sws.boundPort(), seconds);
    ctx.sws.stop();
    listener.join();
    return rps;
}

double benchBare(int seconds, bool noDelay) {
    httplib::Server server;
    server.set_tcp_nodelay(noDelay);
    // The library's factory takes ownership of the raw pointer.
    server.new_task_queue = [] { return new httplib::ThreadPool(4); };
    server.Get("/api/ping",
               [](const httplib::Request&, httplib::Response& res) { res.set_content("OK", "text/html"); });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread listener([&] { server.listen_after_bind(); });
    while (!server.is_running()) {
        std::this_thread::yield();
    }
    const double rps = runWrk(port, seconds);
    server.stop();
    listener.join();
    return rps;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A client connection that sends what it is told and reads nothing.
class IdleSocket {
  public:
    explicit IdleSocket(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    ~IdleSocket() { ::close(fd_); }
    IdleSocket(const IdleSocket&) = delete;
    IdleSocket& operator=(const IdleSocket&) = delete;

    // False once the server has closed the connection.
    bool alive() const {
        char byte = 0;
        const ssize_t n = ::recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    void sendByte(char byte) { ::send(fd_, &byte, 1, MSG_NOSIGNAL); }

  private:
    int fd_;
};

// Idle clients and slow ones that send a request head a byte a second; whoever is cut off
// connects again. Runs on its own thread until destroyed.
class HostileClients {
  public:
    HostileClients(int port, int idle, int slow) : port_(port), idleCount_(idle), slowCount_(slow) {
        worker_ = std::thread([this] { run(); });
    }
    ~HostileClients() {
        stop_ = true;
        worker_.join();
    }
    HostileClients(const HostileClients&) = delete;
    HostileClients& operator=(const HostileClients&) = delete;

  private:
    void run() {
        const std::string head = "GET /api/ping HTTP/1.1\r\nHost: x\r\n\r\n";
        std::vector<std::unique_ptr<IdleSocket>> idle;
        std::vector<std::unique_ptr<IdleSocket>> slow;
        std::vector<size_t> position(static_cast<size_t>(slowCount_), 0);
        for (int i = 0; i < idleCount_; ++i) {
            idle.push_back(std::make_unique<IdleSocket>(port_));
        }
        for (int i = 0; i < slowCount_; ++i) {
            slow.push_back(std::make_unique<IdleSocket>(port_));
        }
        auto nextByte = std::chrono::steady_clock::now();
        while (!stop_) {
            for (auto& socket : idle) {
                if (!socket->alive()) {
                    socket = std::make_unique<IdleSocket>(port_);
                }
            }
            if (std::chrono::steady_clock::now() >= nextByte) {
                for (size_t i = 0; i < slow.size(); ++i) {
                    if (!slow[i]->alive()) {
                        slow[i] = std::make_unique<IdleSocket>(port_);
                        position[i] = 0;
                    }
                    slow[i]->sendByte(head[position[i]++ % head.size()]);
                }
                nextByte += std::chrono::seconds(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    const int port_;
    const int idleCount_;
    const int slowCount_;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

struct Latency {
    double medianMs = 0;
    double maxMs = 0;
    int unanswered = 0;
};

// `pings` pings, each from a fresh connection, 100 ms apart; one not answered in 3 s is counted.
Latency pingLatency(int port, int pings) {
    std::vector<double> answered;
    Latency latency;
    for (int i = 0; i < pings; ++i) {
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(3, 0);
        client.set_read_timeout(3, 0);
        const auto sent = std::chrono::steady_clock::now();
        const auto result = client.Get("/api/ping");
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - sent;
        if (result && result->status == 200) {
            answered.push_back(took.count());
        } else {
            ++latency.unanswered;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!answered.empty()) {
        latency.maxMs = *std::max_element(answered.begin(), answered.end());
        latency.medianMs = median(answered);
    }
    return latency;
}

void printLatency(const char* what, const Latency& latency, int pings) {
    std::printf("  %-34s median %7.2f ms, max %7.2f ms, %d of %d unanswered within 3 s\n", what,
                latency.medianMs, latency.maxMs, latency.unanswered, pings);
}

void benchLatencyUnderHostileClients() {
    constexpr int kPings = 40;
    constexpr int kIdle = 24;
    constexpr int kSlow = 8;
    ek::PipelineContext ctx(nlohmann::json{{"webserver", {{"port", 0}}}});
    std::thread listener = ctx.sws.start();
    const int port = ctx.sws.boundPort();
    const Latency quiet = pingLatency(port, kPings);
    Latency loaded;
    {
        HostileClients hostile(port, kIdle, kSlow);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        loaded = pingLatency(port, kPings);
    }
    ctx.sws.stop();
    listener.join();

    // The library alone, same pool: the idle clients take its workers.
    constexpr int kBarePings = 4;
    httplib::Server bare;
    bare.new_task_queue = [] { return new httplib::ThreadPool(4); };
    bare.Get("/api/ping",
             [](const httplib::Request&, httplib::Response& res) { res.set_content("OK", "text/html"); });
    const int barePort = bare.bind_to_any_port("127.0.0.1");
    std::thread bareListener([&] { bare.listen_after_bind(); });
    Latency bareLoaded;
    {
        HostileClients hostile(barePort, kIdle, kSlow);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        bareLoaded = pingLatency(barePort, kBarePings);
    }
    bare.stop();
    bareListener.join();

    std::printf("GET /api/ping latency, one fresh connection per ping:\n");
    printLatency("SimpleWebServer, no other client", quiet, kPings);
    printLatency("SimpleWebServer, 24 idle + 8 slow", loaded, kPings);
    std::printf("  ratio loaded/quiet               median %.2fx, max %.2fx\n",
                loaded.medianMs / quiet.medianMs, loaded.maxMs / quiet.maxMs);
    printLatency("bare cpp-httplib, 24 idle + 8 slow", bareLoaded, kBarePings);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    std::vector<double> ours;
    std::vector<double> bare;
    std::vector<double> bareDefaults;
    try {
        for (int round = 0; round < rounds; ++round) {
            // Alternate which server goes first, so drift of the machine hits both alike.
            if (round % 2 == 0) {
                ours.push_back(benchOurs(seconds));
                bare.push_back(benchBare(seconds, true));
            } else {
                bare.push_back(benchBare(seconds, true));
                ours.push_back(benchOurs(seconds));
            }
            bareDefaults.push_back(benchBare(seconds, false));
            std::printf(
                "round %d: SimpleWebServer %.0f req/s, bare cpp-httplib %.0f req/s (library defaults: "
                "%.0f)\n",
                round + 1, ours.back(), bare.back(), bareDefaults.back());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "http_bench: %s\n", e.what());
        return 1;
    }
    const double o = median(ours);
    const double b = median(bare);
    std::printf("GET /api/ping, wrk -t2 -c16 -d%ds, median of %d rounds:\n", seconds, rounds);
    std::printf("  SimpleWebServer   %10.0f req/s\n", o);
    std::printf("  bare cpp-httplib  %10.0f req/s  (same pool, TCP_NODELAY as ours)\n", b);
    std::printf("  bare, defaults    %10.0f req/s  (Nagle on: each answer waits for a delayed ACK)\n",
                median(bareDefaults));
    std::printf("  ratio             %10.2fx (target >= 0.90x)\n", o / b);
    try {
        benchLatencyUnderHostileClients();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "http_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
