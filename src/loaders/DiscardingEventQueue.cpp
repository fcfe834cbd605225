#include "src/loaders/DiscardingEventQueue.h"

#include "qo_common/logger/log.h"

DiscardingEventQueue::DiscardingEventQueue(std::string poster, uint64_t capacity)
    : blocking_queue<QEVAPair>(capacity), poster_(std::move(poster)) {}

void DiscardingEventQueue::push(const QEVAPair& pair) {
    if (pair.poison) {
        return;
    }
    ILog::Debug("eventposter %s has no url: event %s dropped", poster_.c_str(),
                pair.event ? pair.event->guid.c_str() : "<none>");
}
