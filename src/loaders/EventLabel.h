#pragma once

#include <string>

#include "qo_common/event_poster/QEVAEvent.h"

namespace ek {

// The text of an event's first plate reading, "<no recognition>" when it has none.
inline std::string firstPlateOf(const QEVAEvent& event) {
    return event.evts.empty() || !event.evts.front() ? "<no recognition>" : event.evts.front()->num;
}

}  // namespace ek
