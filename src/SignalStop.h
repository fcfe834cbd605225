#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace ek {

// Turns SIGTERM and SIGINT into a call in an ordinary thread, so that the stop they ask for can
// take locks and log like GET "/exit" does; no work is done in a signal handler.
//
// The constructor blocks both signals in the calling thread, and so in every thread started from
// it afterwards: construct it in main before any other thread exists. start() runs a watcher
// thread that takes them with sigwait. The destructor ends and joins the watcher, drops signals
// still pending and restores the previous mask.
class SignalStop {
  public:
    SignalStop();
    ~SignalStop();
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    // Calls `onStop` with the signal's number, in the watcher thread, for the first SIGTERM or
    // SIGINT; later ones are logged and ignored. A signal that came before start() is taken then.
    void start(std::function<void(int signal)> onStop);
    // Ends and joins the watcher; safe to call more than once.
    void stop();

  private:
    void watch();

    sigset_t signals_;
    sigset_t previousMask_;
    std::function<void(int)> onStop_;
    std::thread watcher_;
    // Set before stop() wakes the watcher with a signal of its own.
    std::atomic<bool> closing_{false};
};

}  // namespace ek
