#include "src/TriggerStatistics.h"

#include <string>

#include "qo_common/utils/CommonUtils.h"

namespace ek {
namespace {

std::string timeText(int64_t ms) {
    return ms == 0 ? std::string() : CommonUtils::format(ms, "%Y-%m-%dT%H:%M:%S.%ms%z");
}

}  // namespace

void TriggerStatistics::onReceived() {
    const int64_t now = CommonUtils::getTs();
    ++received;
    int64_t none = 0;
    firstTriggerTs.compare_exchange_strong(none, now);
    lastTriggerTs = now;
}

nlohmann::json TriggerStatistics::json() const {
    const int64_t noCameras = droppedNoCameras.load();
    const int64_t duplicate = droppedDuplicate.load();
    const int64_t overflow = droppedQueueOverflow.load();
    const int64_t threadLimit = droppedThreadLimit.load();
    const int64_t noBuilder = droppedNoBuilder.load();
    return {
        {"firstTrigger", timeText(firstTriggerTs.load())},
        {"lastTrigger", timeText(lastTriggerTs.load())},
        {"currentTime", timeText(CommonUtils::getTs())},
        {"received", received.load()},
        {"accepted", accepted.load()},
        {"dropped", noCameras + duplicate + overflow + threadLimit + noBuilder},
        {"droppedByReason",
         {{"noOnlineCameras", noCameras},
          {"duplicate", duplicate},
          {"queueOverflow", overflow},
          {"threadLimit", threadLimit},
          {"builderNotFound", noBuilder}}},
    };
}

}  // namespace ek
