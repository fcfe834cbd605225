// libFuzzer target: POST "/trigger" bodies as a hostile client may send them.
//
// Checked: no crash or sanitizer report; a refusal is a std::runtime_error with a short text; an
// accepted trigger's own text parses back to the same record.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "qo_common/event_poster/QEVATriggerEvent.h"

namespace {

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

bool sameRecord(const QEVATriggerEvent& a, const QEVATriggerEvent& b) {
    if (a.additional_data.size() != b.additional_data.size()) {
        return false;
    }
    for (size_t i = 0; i < a.additional_data.size(); ++i) {
        if (a.additional_data[i].name != b.additional_data[i].name ||
            a.additional_data[i].value != b.additional_data[i].value) {
            return false;
        }
    }
    return a.laneId == b.laneId && a.triggerId == b.triggerId && a.triggerTimestamp == b.triggerTimestamp &&
           a.eventId == b.eventId && a.eventData == b.eventData && a.triggerSource == b.triggerSource &&
           a.triggerGuid == b.triggerGuid && a.laneName == b.laneName && a.vehicleGuid == b.vehicleGuid &&
           a.triggerName == b.triggerName;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    QEVATriggerEvent trigger;
    try {
        trigger = QEVATriggerEvent::parse(body);
    } catch (const std::runtime_error& e) {
        // The refusal goes back to the client as the answer's body: it must stay short.
        check(std::string(e.what()).size() < 1024);
        return 0;
    }
    const std::string text = trigger.toString();
    // The parser takes valid UTF-8 only, so nothing is replaced on the way out.
    check(sameRecord(trigger, QEVATriggerEvent::parse(text)));
    return 0;
}
