// Requests per second of GET "/api/ping": our SimpleWebServer (bounded pool, own connection
// handling) against a bare cpp-httplib server with the library's pool of the same 4 workers.
// Each server runs alone while wrk (-t2 -c16) loads it; the rounds alternate the two servers and
// the median of each is compared. Our server sets TCP_NODELAY on its connections, so the bare
// server is measured with it too (and once with the library's defaults, for reference).

#include <httplib.h>

#include <algorithm>
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
    return 0;
}
