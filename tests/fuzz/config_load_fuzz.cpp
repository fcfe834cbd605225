// libFuzzer target: configuration documents, loaded as far as the service goes before it starts
// its workers: the bounded parse, the service's own keys, the context (its web server is built
// but never listens), then every loader. No start function runs, so no producer, balancer or
// network thread starts; poster and player threads that the loaders start end when the context
// is destroyed.
//
// Kept from reaching outside: the run works in an empty scratch directory, documents holding a
// text with a '/' or a "." / ".." path are skipped (no file outside that directory can be named,
// so no model, video or device is opened), posters are built without their "url" (nothing is
// ever sent), and no display is used.
//
// Checked: no crash, no sanitizer report, no hang; every refusal is a std::runtime_error.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "qo_common/event_poster/QEVAEventPoster.h"
#include "qo_common/utils/BoundedJson.h"
#include "src/AppControl.h"
#include "src/PipelineContext.h"
#include "src/PipelineLoading.h"
#include "src/Service.h"
#include "tests/fuzz/FuzzScratch.h"

namespace {

using nlohmann::json;

// Depth is bounded by the parse (64 levels), so the recursion is too.
bool mayNameAFile(const json& value) {
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        return text.find('/') != std::string::npos || text == "." || text == "..";
    }
    if (value.is_structured()) {
        for (const auto& element : value) {
            if (mayNameAFile(element)) {
                return true;
            }
        }
    }
    return false;
}

// Reads each poster's keys as the loader would, then drops its "url" so that the loader makes a
// queue without a thread or a connection.
void buildPostersWithoutSending(json& document) {
    const auto posters = document.find("eventposters");
    if (posters == document.end() || !posters->is_array()) {
        return;
    }
    for (auto& entry : *posters) {
        if (!entry.is_object() || !entry.contains("url")) {
            continue;
        }
        try {
            QEVAEventPoster poster(entry);
        } catch (const std::runtime_error&) {
        }
        entry.erase("url");
    }
}

void load(json& document) {
    (void)ek::readServiceSettings(document);
    ek::PipelineContext ctx(document);
    ek::initializeAppControl(ctx);
    buildPostersWithoutSending(document);
    ek::loadPipeline(ctx, document);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (chdir(fuzzscratch::make("qo-config-fuzz").c_str()) != 0) {
        std::abort();
    }
    unsetenv("DISPLAY");
    QEVAEventPoster::globalInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    json document;
    try {
        document = ek::parseBoundedJson(std::string_view(reinterpret_cast<const char*>(data), size),
                                        "configuration");
    } catch (const std::runtime_error&) {
        return 0;
    }
    if (mayNameAFile(document)) {
        return -1;  // not kept in the corpus
    }
    try {
        load(document);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
