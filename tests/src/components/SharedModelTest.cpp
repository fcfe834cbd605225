// Networks that name one model share one detector; each infer thread gets a network of the
// detector's pool, bounded by the number of networks holding the model.
#include <gtest/gtest.h>

#include <opencv2/dnn.hpp>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/dnn/NetPool.h"
#include "qo_common/yolo/MultisizeYoloDetector.h"
#include "src/components/YoloComponent.h"
#include "tests/src/components/NetworkConfigs.h"

namespace {

using namespace test_networks;
using Pool = NetPool<cv::dnn::Net>;

std::vector<YoloObjectInfo> boxesOf(Component& c, const std::shared_ptr<FrameWithInfo>& frame) {
    c.prepare(frame);
    c.infer(frame);
    return frame->yoloDetectionsOverROI;
}

bool sameBoxes(const std::vector<YoloObjectInfo>& a, const std::vector<YoloObjectInfo>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t k = 0; k < a.size(); ++k) {
        if (a[k].rect() != b[k].rect() || a[k].classId != b[k].classId ||
            std::fabs(a[k].detectionConfidence - b[k].detectionConfidence) > 1e-5f) {
            return false;
        }
    }
    return true;
}

TEST(SharedModelTest, NetworksOfOneModelInferInParallelWithinTheirCountAndFreeAllAtTheEnd) {
    const size_t before = Pool::liveNets();
    const std::vector<std::vector<std::pair<cv::Rect, cv::Scalar>>> scenes = {
        {{{0, 0, 16, 16}, kWhite}},
        {{{48, 48, 16, 16}, kMagenta}, {{0, 48, 16, 16}, kWhite}},
        {{{16, 16, 16, 16}, kCyan}, {{32, 0, 16, 16}, kWhite}},
        {},
    };
    auto first = std::make_unique<YoloComponent>(yoloNetwork());
    auto second = std::make_unique<YoloComponent>(yoloNetwork());
    auto third = std::make_unique<YoloComponent>(yoloNetwork());
    auto detector = first->detector();
    ASSERT_EQ(detector, third->detector());
    std::vector<std::vector<YoloObjectInfo>> alone;
    for (const auto& scene : scenes) {
        alone.push_back(boxesOf(*first, frameWith({64, 64}, scene)));
    }
    std::atomic<int> differing{0};
    std::vector<std::thread> threads;
    Component* networks[] = {first.get(), second.get(), third.get()};
    // More threads than networks: the pool must still stop at three networks.
    for (size_t t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < 20; ++i) {
                const size_t which = (t + i) % scenes.size();
                auto got = boxesOf(*networks[t % 3], frameWith({64, 64}, scenes[which]));
                differing += sameBoxes(got, alone[which]) ? 0 : 1;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(differing.load(), 0);
    EXPECT_LE(detector->pooledNets(), 3u);
    first.reset();
    second.reset();
    EXPECT_EQ(detector->pooledNets(), 1u);  // one network left: the idle ones go with their users
    detector.reset();
    third.reset();
    EXPECT_EQ(Pool::liveNets(), before);
}

}  // namespace
