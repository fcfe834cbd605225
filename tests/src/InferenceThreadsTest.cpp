#include "src/InferenceThreads.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "qo_common/utils/ConfigReader.h"

namespace {

TEST(InferenceThreadsTest, CoresAreSharedOutAmongTheInferWorkers) {
    struct Case {
        int configured;
        size_t workers;
        int cores;
        int threads;
    } cases[] = {
        {0, 2, 8, 4},                 // one camera: detector and reader get four cores a forward
        {0, 4, 8, 2}, {0, 24, 8, 1},  // twelve cameras: one thread a forward, never none
        {0, 3, 8, 2}, {0, 0, 8, 8},  {0, 1, 0, 1}, {3, 24, 8, 3},  // a set count is taken as it is
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ek::decideInferenceThreads(c.configured, c.workers, c.cores), c.threads)
            << c.configured << " configured, " << c.workers << " workers, " << c.cores << " cores";
    }
}

TEST(InferenceThreadsTest, TheKeyIsRangeChecked) {
    EXPECT_EQ(ek::readInferenceThreads(nlohmann::json::object()), 0);
    EXPECT_EQ(ek::readInferenceThreads({{"inferenceThreads", 6}}), 6);
    for (const auto& bad :
         {nlohmann::json(-1), nlohmann::json(257), nlohmann::json(2.5), nlohmann::json("4")}) {
        try {
            ek::readInferenceThreads({{"inferenceThreads", bad}});
            ADD_FAILURE() << "accepted " << bad;
        } catch (const ek::ConfigError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("inferenceThreads: expected an integer from 0 to 256", 0),
                      0u)
                << e.what();
        }
    }
}

TEST(InferenceThreadsTest, TheDecidedCountIsOpenCVs) {
    const int before = cv::getNumThreads();
    EXPECT_EQ(ek::applyInferenceThreads(2, 6), 2);
    EXPECT_EQ(cv::getNumThreads(), 2);
    cv::setNumThreads(before);
}

}  // namespace
