#include "src/SignalStop.h"

#include <pthread.h>

#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

#include "qo_common/logger/log.h"

namespace ek {

SignalStop::SignalStop() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGINT);
    const int failed = pthread_sigmask(SIG_BLOCK, &signals_, &previousMask_);
    if (failed != 0) {
        throw std::runtime_error(std::string("cannot block SIGTERM and SIGINT: ") + std::strerror(failed));
    }
}

SignalStop::~SignalStop() {
    stop();
    // A signal that came during the shut-down would end the process once unblocked.
    const timespec now{0, 0};
    while (sigtimedwait(&signals_, nullptr, &now) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void SignalStop::start(std::function<void(int)> onStop) {
    onStop_ = std::move(onStop);
    watcher_ = std::thread([this] { watch(); });
}

void SignalStop::stop() {
    if (!watcher_.joinable()) {
        return;
    }
    closing_ = true;
    // Directed at the watcher, which has the signal blocked: sigwait takes it even when the
    // watcher reaches sigwait only later.
    pthread_kill(watcher_.native_handle(), SIGTERM);
    watcher_.join();
}

void SignalStop::watch() {
    bool stopped = false;
    for (;;) {
        int signal = 0;
        if (sigwait(&signals_, &signal) != 0) {
            continue;
        }
        if (closing_) {
            return;
        }
        const char* name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
        if (stopped) {
            ILog::Info("%s: the stop is already under way", name);
            continue;
        }
        stopped = true;
        ILog::Info("%s: stopping", name);
        try {
            onStop_(signal);
        } catch (const std::exception& e) {
            ILog::Error("stop on %s failed: %s", name, e.what());
        }
    }
}

}  // namespace ek
