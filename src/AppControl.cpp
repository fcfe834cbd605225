#include "src/AppControl.h"

#include <algorithm>
#include <exception>
#include <regex>

#include "qo_common/logger/log.h"
#include "qo_common/utils/UriMask.h"
#include "qo_common/utils/curl.h"

namespace ek {
namespace {

void poisonAll(PipelineContext& ctx) {
    for (const auto& [name, queue] : ctx.queuesLoadBalancer) {
        ILog::Info("poison: balancer queue %s", name.c_str());
        queue->poison(FrameWithInfo::makePoison());
    }
    for (const auto& [name, queue] : ctx.queues) {
        ILog::Info("poison: %s", name.c_str());
        queue->poison(FrameWithInfo::makePoison());
    }
    for (const auto& [name, queue] : ctx.eventQueues) {
        ILog::Info("poison: %s", name.c_str());
        queue->poison(QEVAPair::makePoison());
    }
}

bool isNamed(const nlohmann::json& element, const std::string& name) {
    if (!element.is_object()) {
        return false;
    }
    const auto found = element.find("name");
    return found != element.end() && found->is_string() && found->get_ref<const std::string&>() == name;
}

bool isGruNetwork(const nlohmann::json& element) {
    static const std::regex gru("^gru\\d+$", std::regex::ECMAScript);
    if (!element.is_object()) {
        return false;
    }
    const auto found = element.find("name");
    return found != element.end() && found->is_string() &&
           std::regex_match(found->get_ref<const std::string&>(), gru);
}

}  // namespace

void initializeAppControl(PipelineContext& ctx) {
    ctx.terminate = [&ctx] {
        // Also wakes the statistics thread from its sleep.
        ctx.requestStop();
        ctx.stopAllVideoSources();
        poisonAll(ctx);
        ILog::Info("terminate() done");
    };
    ctx.setStatus = [&ctx](const std::string& key, const std::string& value) {
        std::lock_guard<std::mutex> guard(ctx.lock);
        if (ctx.status.is_null()) {
            ctx.status = nlohmann::json::object();
        }
        ctx.status[key] = value;
    };
}

void moveStateRecognizerIntoGrus(nlohmann::json& configuration) {
    if (!configuration.is_object()) {
        return;
    }
    const auto networksEntry = configuration.find("networks");
    if (networksEntry == configuration.end() || !networksEntry->is_array()) {
        return;
    }
    auto& networks = *networksEntry;
    const auto found = std::find_if(networks.begin(), networks.end(),
                                    [](const nlohmann::json& e) { return isNamed(e, "state_recognizer"); });
    if (found == networks.end()) {
        return;
    }
    const auto index = static_cast<size_t>(found - networks.begin());
    const nlohmann::json recognizer = *found;
    for (auto& network : networks) {
        if (isGruNetwork(network)) {
            network["state_recognizer"] = recognizer;
        }
    }
    networks.erase(index);
}

void startSignal(const std::string& url) {
    if (url.empty()) {
        return;
    }
    ILog::Info("Sending start notification %s", UriMask::hideCredentials(url).c_str());
    try {
        curl::send(url);
    } catch (const std::exception& e) {
        ILog::Warning("Start notification failed: %s", UriMask::hideCredentials(e.what()).c_str());
        return;
    }
    ILog::Info("Sent start notification");
}

}  // namespace ek
