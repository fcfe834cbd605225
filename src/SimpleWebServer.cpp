#include "src/SimpleWebServer.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo_common/event_poster/QEVATriggerEvent.h"
#include "qo_common/jpeg/Encoder.h"
#include "qo_common/logger/log.h"
#include "src/PipelineContext.h"

namespace ek {
namespace {

constexpr const char* kJson = "application/json";

void jsonError(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(nlohmann::json{{"error", message}}.dump(), kJson);
}

// The enabled flag as the API spells it: exactly "true"/"1" or "false"/"0".
std::optional<bool> parseEnabled(const std::string& text) {
    if (text == "true" || text == "1") {
        return true;
    }
    if (text == "false" || text == "0") {
        return false;
    }
    return std::nullopt;
}

// Digits only, with an optional leading minus: "1e3", "+5", " 5" or "5px" are not widths.
int parseWidth(const std::string& text) {
    const size_t digitsFrom = !text.empty() && text.front() == '-' ? 1 : 0;
    const bool digitsOnly =
        text.size() > digitsFrom && std::all_of(text.begin() + digitsFrom, text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        });
    if (!digitsOnly) {
        throw std::invalid_argument("/bin-image: the width is not a whole number");
    }
    int width = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, width);
    if (parsed.ec != std::errc() || parsed.ptr != end) {
        throw std::out_of_range("/bin-image: the width is out of range");
    }
    return width;
}

BoundedHttpServer::Limits serverLimits() {
    BoundedHttpServer::Limits limits;
    limits.request.maxBodyBytes = SimpleWebServer::kMaxBodyBytes;
    return limits;
}

}  // namespace

SimpleWebServer::SimpleWebServer(PipelineContext* ctx)
    : ctx(ctx),
      server(std::make_shared<BoundedHttpServer>(kWorkers, kMaxWaiting, serverLimits())),
      port(ctx->config.at("webserver").at("port").get<int>()) {
    registerRoutes();
}

SimpleWebServer::~SimpleWebServer() {
    if (server) {
        server->requestStop();
    }
}

void SimpleWebServer::registerRoutes() {
    server->Get("/exit", [this](const httplib::Request&, httplib::Response& res) { onExit(res); });
    server->Get("/status", [this](const httplib::Request&, httplib::Response& res) { onStatus(res); });
    server->Get("/api/ping",
                [](const httplib::Request&, httplib::Response& res) { res.set_content("OK", "text/html"); });
    server->Post("/api/inference",
                 [this](const httplib::Request& req, httplib::Response& res) { onInference(req, res); });
    server->Get("/api/inference/status",
                [this](const httplib::Request&, httplib::Response& res) { onInferenceStatus(res); });
    server->Get("/bin-image/(.*)/(.*)?",
                [this](const httplib::Request& req, httplib::Response& res) { onBinImage(req, res); });
    server->Post("/trigger", [this](const httplib::Request&, httplib::Response& res,
                                    const httplib::ContentReader& reader) { onTrigger(res, reader); });
}

std::thread SimpleWebServer::start() {
    ILog::Info("Starting web server %i", port);
    const int bound = server->bindPort("0.0.0.0", port);
    if (bound < 0) {
        if (!server->stopRequested()) {
            ILog::Error("Web server can not listen on port %i", port);
        }
        return std::thread([] { ILog::Info("Web server stopped"); });
    }
    if (port == 0) {
        ILog::Info("Web server listens on port %i", bound);
    }
    boundPort_ = bound;
    return std::thread([this] {
        server->serve();
        ILog::Info("Web server stopped");
    });
}

void SimpleWebServer::stop() {
    server->requestStop();
}

void SimpleWebServer::onExit(httplib::Response& res) {
    ILog::Debug("got /exit signal, terminating");
    res.set_content("OK", "text/html");
    if (ctx->deferExitUntilReady()) {
        ILog::Info("/exit: loading is under way, stopping once it has finished");
        return;
    }
    if (ctx->terminate) {
        ctx->terminate();
    }
    stop();
}

void SimpleWebServer::onStatus(httplib::Response& res) {
    ILog::Debug("got /status signal");
    std::string text;
    {
        std::lock_guard<std::mutex> guard(ctx->lock);
        try {
            // Invalid UTF-8 (a camera or plate name) is replaced, so one bad byte does not hide
            // the whole document.
            text = ctx->status.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
        } catch (...) {
            ILog::Error("Can`t decode JSON status");
            text.clear();
        }
    }
    res.set_content(text, kJson);
}

void SimpleWebServer::onInference(const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("enabled")) {
        jsonError(res, 400, "missing parameter: enabled");
        return;
    }
    const auto enabled = parseEnabled(req.get_param_value("enabled"));
    if (!enabled) {
        jsonError(res, 400, "enabled must be true or false");
        return;
    }
    if (ctx->inferenceEnabled.exchange(*enabled) != *enabled) {
        ILog::Info("/api/inference: inference %s", *enabled ? "enabled" : "disabled");
    }
    res.set_content(nlohmann::json{{"enabled", *enabled}}.dump(), kJson);
}

void SimpleWebServer::onInferenceStatus(httplib::Response& res) {
    res.set_content(nlohmann::json{{"enabled", ctx->inferenceEnabled.load()}}.dump(), kJson);
}

void SimpleWebServer::onBinImage(const httplib::Request& req, httplib::Response& res) {
    const std::string camera = req.matches[1];
    const std::string widthText = req.matches.size() > 2 ? std::string(req.matches[2]) : std::string();
    ILog::Debug("/bin-image: %s, w = %s", camera.c_str(), widthText.c_str());
    // A width that is not a number throws here; the HTTP library answers 500.
    const int width = parseWidth(widthText);

    std::shared_ptr<ek::pipeline::Frame> frame;
    {
        std::lock_guard<std::mutex> guard(ctx->lock);
        const auto found = ctx->lastFrame.find(camera);
        if (found == ctx->lastFrame.end() || !found->second || !found->second->frame) {
            res.status = 401;
            ILog::Error("/bin-image: cam not found: %s", camera.c_str());
            return;
        }
        if (found->second->frame->image.cols == 0) {
            res.status = 401;
            ILog::Error("/bin-image: size of image is zero");
            return;
        }
        frame = found->second->frame->copy();
    }

    cv::Mat image = frame->image;
    // Never larger than the frame itself: the answer must not allocate without bound.
    if (width > image.cols) {
        res.status = 401;
        ILog::Error("/bin-image: width %i is over the frame width %i", width, image.cols);
        return;
    }
    if (width > 0 && width != image.cols) {
        const int64_t height = static_cast<int64_t>(image.rows) * width / image.cols;
        cv::Mat resized;
        cv::resize(image, resized, cv::Size(width, static_cast<int>(std::max<int64_t>(1, height))), 0, 0,
                   cv::INTER_LINEAR);
        image = resized;
    }
    res.set_header("frame_ts", std::to_string(frame->timestamp));
    std::vector<unsigned char> bytes;
    if (!Encoder::imencode(image, bytes)) {
        res.status = 401;
        ILog::Error("/bin-image: Encoder fail");
        return;
    }
    res.set_content(std::string(bytes.begin(), bytes.end()), "image/jpg");
}

void SimpleWebServer::onTrigger(httplib::Response& res, const httplib::ContentReader& reader) {
    ILog::Info("/trigger");
    std::string body;
    bool tooLarge = false;
    try {
        const bool complete = reader([&](const char* data, size_t length) {
            if (body.size() + length > kMaxBodyBytes) {
                tooLarge = true;
                return false;
            }
            body.append(data, length);
            return true;
        });
        if (tooLarge || res.status == 413) {
            ILog::Error("SimpleWebServer /trigger error: body over %zu bytes", kMaxBodyBytes);
            res.status = 413;
            // The rest of the body is still on the connection: do not read another request there.
            res.set_header("Connection", "close");
            res.set_content("request body over " + std::to_string(kMaxBodyBytes) + " bytes", "plain/text");
            return;
        }
        if (!complete) {
            throw std::runtime_error("request body could not be read");
        }
        const QEVATriggerEvent trigger = QEVATriggerEvent::parse(body);
        if (!ctx->trigger) {
            throw std::runtime_error("service is starting");
        }
        ctx->trigger(trigger);
        res.set_content("OK", "text/plain");
    } catch (const std::exception& e) {
        ILog::Error("SimpleWebServer /trigger error: %s", e.what());
        res.status = 500;
        res.set_content(e.what(), "plain/text");
    }
}

}  // namespace ek
