#pragma once

#include <memory>

#include "qo_common/event_poster/QEVAEvent.h"
#include "qo_common/event_poster/QEVATriggerEvent.h"

// The unit of an event queue. Copying makes new owned records (plates and frames inside the
// event stay shared), so every destination poster owns its own event.
struct QEVAPair {
    std::unique_ptr<QEVAEvent> event;
    std::unique_ptr<QEVATriggerEvent> triggerEvent;
    bool poison = false;

    QEVAPair() = default;
    QEVAPair(std::unique_ptr<QEVAEvent> e, std::unique_ptr<QEVATriggerEvent> t)
        : event(std::move(e)), triggerEvent(std::move(t)) {}
    QEVAPair(const QEVAPair& other)
        : event(other.event ? std::make_unique<QEVAEvent>(*other.event) : nullptr),
          triggerEvent(other.triggerEvent ? std::make_unique<QEVATriggerEvent>(*other.triggerEvent)
                                          : nullptr),
          poison(other.poison) {}
    QEVAPair(QEVAPair&&) noexcept = default;
    QEVAPair& operator=(const QEVAPair& other) {
        if (this != &other) {
            QEVAPair copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    QEVAPair& operator=(QEVAPair&&) noexcept = default;

    static QEVAPair makePoison() {
        QEVAPair pair;
        pair.poison = true;
        return pair;
    }
};
