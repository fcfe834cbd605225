#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <string>
#include <thread>

#include "src/AppControl.h"
#include "src/PipelineContext.h"
#include "src/PipelineControl.h"
#include "src/Trigger.h"

// A pipeline context with its callbacks installed and its HTTP server listening on a free port
// of 127.0.0.1's host. Install a CapturingLog before making one and drop it after.
class ServedContext {
  public:
    static nlohmann::json minimalConfig() { return {{"webserver", {{"port", 0}}}}; }

    explicit ServedContext(const nlohmann::json& config = minimalConfig()) : ctx(config) {
        ek::initializeAppControl(ctx);
        ek::initalizeTrigger(ctx);
        ek::initalizePipelineControl(ctx);
        listener = ctx.sws.start();
    }
    ~ServedContext() { stopListening(); }
    ServedContext(const ServedContext&) = delete;
    ServedContext& operator=(const ServedContext&) = delete;

    void stopListening() {
        ctx.sws.stop();
        if (listener.joinable()) {
            listener.join();
        }
    }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", ctx.sws.boundPort());
        // Guards against a hang only; no test measures time.
        c.set_read_timeout(30, 0);
        return c;
    }

    ek::PipelineContext ctx;
    std::thread listener;
};
