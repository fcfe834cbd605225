#include "src/InferenceThreads.h"

#include <opencv2/core.hpp>

#include <algorithm>

#include "qo_common/logger/log.h"
#include "qo_common/utils/ConfigReader.h"

namespace ek {

int readInferenceThreads(const nlohmann::json& configuration) {
    return ConfigReader(configuration).integer<int>("inferenceThreads", 0, 0, kMaxInferenceThreads);
}

int decideInferenceThreads(int configured, size_t inferWorkers, int cores) {
    if (configured > 0) {
        return configured;
    }
    const size_t usable = static_cast<size_t>(std::max(1, cores));
    return static_cast<int>(std::max<size_t>(1, inferWorkers == 0 ? usable : usable / inferWorkers));
}

int applyInferenceThreads(int configured, size_t inferWorkers) {
    const int cores = cv::getNumberOfCPUs();
    const int threads = decideInferenceThreads(configured, inferWorkers, cores);
    cv::setNumThreads(threads);
    ILog::Info("Inference threads: %d a forward (%s; %d cores, %zu infer workers)", threads,
               configured > 0 ? "set by \"inferenceThreads\"" : "cores / infer workers", cores, inferWorkers);
    return threads;
}

}  // namespace ek
