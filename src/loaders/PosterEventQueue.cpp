#include "src/loaders/PosterEventQueue.h"

#include "qo_common/logger/log.h"
#include "src/loaders/EventLabel.h"

PosterEventQueue::PosterEventQueue(std::string poster, uint64_t capacity)
    : blocking_queue<QEVAPair>(capacity), poster_(std::move(poster)) {}

std::vector<QEVAPair> PosterEventQueue::poison(const QEVAPair& item) {
    poisonBehindQueued(item);
    return {};
}

void PosterEventQueue::dropped(const QEVAPair& pair) {
    if (pair.poison || !pair.event) {
        return;
    }
    ILog::Info("EventPoster %s: event %s (lane %s, plate %s) not delivered: the service is stopping",
               poster_.c_str(), pair.event->guid.c_str(), pair.event->laneName.c_str(),
               ek::firstPlateOf(*pair.event).c_str());
}
