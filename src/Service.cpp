#include "src/Service.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "qo_common/logger/Log.h"
#include "qo_common/utils/Config.h"
#include "src/AppControl.h"
#include "src/PipelineContext.h"
#include "src/PipelineControl.h"
#include "src/PipelineLoading.h"
#include "src/Trigger.h"

namespace ek {
namespace {

constexpr const char* kCoredumpMarker = "coredump.enabled";

std::shared_ptr<Log> startLogger(const nlohmann::json& document) {
    const nlohmann::json log = document.at("log");
    if (!log.is_object()) {
        throw std::runtime_error("\"log\" must be an object");
    }
    auto logger =
        Log::Init(log.value("ip", std::string()), log.value("port", 0), log.value("level", 0),
                  log.value("sender", std::string()), log.value("file", true), log.value("http", false));
    ILog::Info("Log verbose level: %i", logger->level());
    return logger;
}

void applyCoredumpSetting(const nlohmann::json& document) {
    if (document.value("coredump", false)) {
        std::ofstream marker(kCoredumpMarker, std::ios::trunc);
        if (!marker) {
            ILog::Warning("Core dump: can not create %s", kCoredumpMarker);
        }
        ILog::Info("Core dump: enable");
    } else {
        // Throws when an existing marker cannot be removed: the device would keep dumping.
        std::filesystem::remove(kCoredumpMarker);
        ILog::Info("Core dump: disable");
    }
}

int fail(std::ostream& err, const char* stage, const std::string& reason) {
    ILog::Error("%s%s", stage, reason.c_str());
    err << stage << reason << std::endl;
    return 1;
}

// Steps from loading to the end of the run; the HTTP server listens throughout.
int runPipeline(PipelineContext& ctx, nlohmann::json& document, std::ostream& err) {
    std::string startUrl;
    try {
        startUrl = document.value("startSignalUrl", std::string());
        loadPipeline(ctx, document);
    } catch (const std::exception& e) {
        ctx.sws.stop();
        return fail(err, "Loading failed: ", e.what());
    }
    try {
        startPipeline(ctx);
    } catch (const std::exception& e) {
        ctx.sws.stop();
        return fail(err, "Start failed: ", e.what());
    }
    const bool exitPending = ctx.markReady();
    ctx.setStatus("core", "working");
    startSignal(startUrl);
    if (exitPending) {
        ILog::Info("/exit came during loading: stopping now");
        ctx.terminate();
        ctx.sws.stop();
    }
    ctx.join();
    return 0;
}

}  // namespace

int runService(const std::string& configPath, std::ostream& err) {
    nlohmann::json document;
    std::shared_ptr<Log> logger;
    std::unique_ptr<PipelineContext> ctx;
    try {
        document = Config::read(configPath);
        logger = startLogger(document);
        applyCoredumpSetting(document);
        ctx = std::make_unique<PipelineContext>(document);
    } catch (const std::exception& e) {
        return fail(err, "Loading failed: ", e.what());
    }
    initializeAppControl(*ctx);
    initalizeTrigger(*ctx);
    initalizePipelineControl(*ctx);
    ctx->setStatus("core", "starting");
    std::thread listener = ctx->sws.start();
    int code = 1;
    try {
        code = runPipeline(*ctx, document, err);
    } catch (const std::exception& e) {
        ctx->sws.stop();
        code = fail(err, "Stopped on error: ", e.what());
    }
    ILog::Info("join webserver");
    listener.join();
    // Destroying the context runs terminate and join once more.
    ctx.reset();
    return code;
}

}  // namespace ek
