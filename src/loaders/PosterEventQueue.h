#pragma once

#include <string>
#include <vector>

#include "qo_common/event_poster/QEVAPair.h"
#include "qo_common/utils/blocking_queue.h"

// The event queue of a poster with a thread. Poisoning keeps the pairs already queued, so the
// poster thread still spools them before it ends; a pair pushed after the poisoning is not
// delivered and is logged by guid, lane and first plate.
class PosterEventQueue : public blocking_queue<QEVAPair> {
  public:
    PosterEventQueue(std::string poster, uint64_t capacity);

    // Returns nothing: no pair is taken out.
    std::vector<QEVAPair> poison(const QEVAPair& item) override;

  protected:
    void dropped(const QEVAPair& pair) override;

  private:
    std::string poster_;
};
