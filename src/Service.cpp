#include "src/Service.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "qo_common/logger/Log.h"
#include "qo_common/utils/Config.h"
#include "qo_common/utils/ConfigReader.h"
#include "qo_common/utils/JsonBrief.h"
#include "src/AppControl.h"
#include "src/PipelineContext.h"
#include "src/PipelineControl.h"
#include "src/PipelineDrain.h"
#include "src/PipelineLoading.h"
#include "src/SignalStop.h"
#include "src/Trigger.h"

namespace ek {
namespace {

constexpr const char* kCoredumpMarker = "coredump.enabled";

std::shared_ptr<Log> startLogger(const ServiceSettings& settings) {
    auto logger = Log::Init(settings.logIp, settings.logPort, settings.logLevel, settings.logSender,
                            settings.logFile, settings.logHttp);
    ILog::Info("Log verbose level: %i", logger->level());
    return logger;
}

void applyCoredumpSetting(const ServiceSettings& settings) {
    if (settings.coredump) {
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
int runPipeline(PipelineContext& ctx, nlohmann::json& document, const std::string& startUrl,
                std::ostream& err) {
    try {
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
    // A file source that does not restart has ended: what it read is drained, then the stop is
    // the one of GET "/exit". A stop requested meanwhile cuts the drain short.
    if (ctx.waitForStopOrDrain()) {
        drainPipeline(ctx);
        ctx.terminate();
        ctx.sws.stop();
    }
    ctx.join();
    return 0;
}

// What GET "/exit" does, for SIGTERM and SIGINT.
void stopOnSignal(PipelineContext& ctx) {
    if (ctx.deferExitUntilReady()) {
        ILog::Info("loading is under way: stopping once it has finished");
        return;
    }
    if (ctx.terminate) {
        ctx.terminate();
    }
    ctx.sws.stop();
}

}  // namespace

ServiceSettings readServiceSettings(const nlohmann::json& document) {
    if (!document.is_object()) {
        throw std::runtime_error("the configuration must be a JSON object, got " + briefJson(document));
    }
    const ConfigReader top(document);
    const ConfigReader log = top.object("log");
    ServiceSettings settings;
    settings.logIp = log.text("ip", "");
    settings.logPort = log.integer<int>("port", 0, 0, 65535);
    settings.logLevel = log.integer<int>("level", 0, ILog::LevelError, ILog::LevelDebug);
    settings.logSender = log.text("sender", "");
    settings.logFile = log.boolean("file", true);
    settings.logHttp = log.boolean("http", false);
    settings.coredump = top.boolean("coredump", false);
    settings.startSignalUrl = top.text("startSignalUrl", "");
    return settings;
}

int runService(const std::string& configPath, std::ostream& err) {
    // Before any thread starts, so that every thread has the stop signals blocked.
    SignalStop signals;
    nlohmann::json document;
    ServiceSettings settings;
    std::shared_ptr<Log> logger;
    std::unique_ptr<PipelineContext> ctx;
    try {
        document = Config::read(configPath);
        settings = readServiceSettings(document);
        logger = startLogger(settings);
        applyCoredumpSetting(settings);
        ctx = std::make_unique<PipelineContext>(document);
    } catch (const std::exception& e) {
        return fail(err, "Loading failed: ", e.what());
    }
    initializeAppControl(*ctx);
    initalizeTrigger(*ctx);
    initalizePipelineControl(*ctx);
    ctx->setStatus("core", "starting");
    std::thread listener = ctx->sws.start();
    if (ctx->sws.boundPort() < 0) {
        listener.join();
        const std::string port =
            std::to_string(ConfigReader(document).object("webserver").integer<int>("port", 0));
        return fail(err, "Loading failed: ",
                    "webserver.port: cannot listen on port " + port + " (in use, or not permitted)");
    }
    signals.start([&ctx](int) { stopOnSignal(*ctx); });
    int code = 1;
    try {
        code = runPipeline(*ctx, document, settings.startSignalUrl, err);
    } catch (const std::exception& e) {
        ctx->sws.stop();
        code = fail(err, "Stopped on error: ", e.what());
    }
    ILog::Info("join webserver");
    listener.join();
    signals.stop();
    // Destroying the context runs terminate and join once more.
    ctx.reset();
    return code;
}

}  // namespace ek
