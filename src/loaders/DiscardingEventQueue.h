#pragma once

#include <string>

#include "qo_common/event_poster/QEVAPair.h"
#include "qo_common/utils/blocking_queue.h"

// The event queue of a poster entry without "url". No thread would ever pop it, so once full it
// would block every builder posting to it and make trigger intake refuse every trigger; instead
// each pushed pair is dropped at once with one Debug line, and the queue never fills.
class DiscardingEventQueue : public blocking_queue<QEVAPair> {
  public:
    DiscardingEventQueue(std::string poster, uint64_t capacity);

    // Never waits; never stores.
    void push(const QEVAPair& pair) override;

  private:
    std::string poster_;
};
