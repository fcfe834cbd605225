// event_sink: a QEVA event server for tests and the demo (see docs/qeva-protocol.md).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "tools/event_sink/EventSink.h"

namespace {

void usage() {
    std::printf(
        "Usage: event_sink [--port N] [--host ADDRESS] [--out FOLDER] [--clips PREFIX] [--fail]\n"
        "                  [--fail-first N] [--hold]\n"
        "  --port N        port to listen on (default 8090; 0 picks a free one)\n"
        "  --host ADDRESS  address to listen on (default 127.0.0.1)\n"
        "  --out FOLDER    where events.jsonl and the pictures go (default ./events)\n"
        "  --clips PREFIX  put before each clip id in the printed lines (the sender's clip folder)\n"
        "  --fail          answer every request with status 500 (to test a failing server)\n"
        "  --fail-first N  answer the first N requests with status 500, then as usual\n"
        "  --hold          read each request and never answer it (a hung server)\n");
}

bool parse(int argc, char** argv, EventSink::Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue) {
            char* end = nullptr;
            long port = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || port < 0 || port > 65535) {
                std::fprintf(stderr, "event_sink: bad port %s\n", argv[i]);
                return false;
            }
            options.port = static_cast<int>(port);
        } else if (arg == "--host" && hasValue) {
            options.host = argv[++i];
        } else if (arg == "--out" && hasValue) {
            options.folder = argv[++i];
        } else if (arg == "--clips" && hasValue) {
            options.clipPrefix = argv[++i];
        } else if (arg == "--fail") {
            options.fail = true;
        } else if (arg == "--fail-first" && hasValue) {
            char* end = nullptr;
            long count = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || count < 0) {
                std::fprintf(stderr, "event_sink: bad count %s\n", argv[i]);
                return false;
            }
            options.failFirst = static_cast<size_t>(count);
        } else if (arg == "--hold") {
            options.hold = true;
        } else {
            std::fprintf(stderr, "event_sink: unknown or incomplete option %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    EventSink::Options options;
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        usage();
        return 0;
    }
    if (!parse(argc, argv, options)) {
        usage();
        return 2;
    }
    // SIGINT and SIGTERM are taken by sigwait below, so block them before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    try {
        EventSink sink(options);
        sink.start();
        std::printf("event_sink: listening on %s:%d, storing in %s%s\n", options.host.c_str(), sink.port(),
                    sink.folder().c_str(), options.fail ? " (answering 500)" : "");
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
        sink.stop();
        std::printf("event_sink: stopped, %zu stored, %zu refused\n", sink.stored(), sink.refused());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
