#include "trt/TRTInferer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "tests/models/PlateDrawing.h"
#include "trt/TRTOnnxBuilder.h"

namespace {

const std::string kModel = std::string(QO_PLATE_MODELS_DIR) + "/plate_reader.onnx";

std::string argmaxText(const std::vector<float>& out) {
    const int c = static_cast<int>(plate_drawing::kAlphabet.size());
    std::string text;
    for (size_t t = 0; t < out.size() / c; ++t) {
        auto row = out.begin() + static_cast<long>(t * c);
        text += plate_drawing::kAlphabet[static_cast<size_t>(std::max_element(row, row + c) - row)];
    }
    return text;
}

class TRTInfererTest : public ::testing::Test {
  protected:
    TRTOnnxBuilder builder{kModel, ""};
};

TEST_F(TRTInfererTest, ReadsTheDrawnPlate) {
    TRTInferer inferer(builder.getEngine(), builder.dims(), 1);
    auto out = inferer.infer(plate_drawing::input("AB12C3D"));
    ASSERT_EQ(out.size(), 16u * 36u);
    EXPECT_EQ(argmaxText(out), "  A B 1 2 C 3 D ");
    for (size_t t = 0; t < 16; ++t) {
        float sum = 0;
        for (size_t x = 0; x < 36; ++x) {
            sum += out[t * 36 + x];
        }
        EXPECT_NEAR(sum, 1.f, 1e-5f);
    }
}

TEST_F(TRTInfererTest, WrongInputSizeIsRefused) {
    TRTInferer inferer(builder.getEngine(), builder.dims(), 1);
    EXPECT_EQ(inferer.inputVolume(), 24u * 256u);
    EXPECT_THROW(inferer.infer(std::vector<float>(10)), std::invalid_argument);
    EXPECT_THROW(inferer.infer({}), std::invalid_argument);
}

TEST_F(TRTInfererTest, UnusableArgumentsAreRefused) {
    EXPECT_THROW(TRTInferer(nullptr, builder.dims(), 1), std::invalid_argument);
    EXPECT_THROW(TRTInferer(builder.getEngine(), builder.dims(), 0), std::invalid_argument);
}

TEST_F(TRTInfererTest, InfererOutlivesTheBuilder) {
    auto owned = std::make_unique<TRTOnnxBuilder>(kModel, "");
    TRTInferer inferer(owned->getEngine(), owned->dims(), 1);
    owned.reset();
    EXPECT_EQ(argmaxText(inferer.infer(plate_drawing::input("777"))), "  7 7 7         ");
}

TEST_F(TRTInfererTest, ConcurrentCallsOnOneEngineGiveTheSingleThreadResults) {
    TRTInferer first(builder.getEngine(), builder.dims(), 1);
    TRTInferer second(builder.getEngine(), builder.dims(), 1);
    const std::vector<std::string> plates = {"AB12C3D", "XYZ987"};
    std::vector<std::vector<float>> expected;
    for (const auto& p : plates) {
        expected.push_back(first.infer(plate_drawing::input(p)));
    }
    auto run = [&](TRTInferer& inferer, size_t which) {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(inferer.infer(plate_drawing::input(plates[which])), expected[which]);
        }
    };
    std::thread a(run, std::ref(first), 0), b(run, std::ref(second), 1), c(run, std::ref(first), 1);
    a.join();
    b.join();
    c.join();
}

// Users of one engine forward in parallel, each on a network of the pool: every output is the one
// of a forward alone, and the pool never holds more networks than users.
TEST_F(TRTInfererTest, ParallelForwardsOfOneEngineMatchForwardsAlone) {
    const std::vector<std::string> plates = {"AB12C3D", "XYZ987", "777", "M0N1Q2", "", "WWWWWWW"};
    TRTInferer inferer(builder.getEngine(), builder.dims(), 1);
    std::vector<std::vector<float>> alone;
    for (const auto& p : plates) {
        alone.push_back(inferer.infer(plate_drawing::input(p)));
    }
    constexpr size_t kUsers = 4;
    inferer.setUsers(kUsers);
    std::atomic<int> differing{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 2 * kUsers; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < 30; ++i) {
                const size_t which = (t + i) % plates.size();
                const auto out = inferer.infer(plate_drawing::input(plates[which]));
                bool same = out.size() == alone[which].size();
                for (size_t k = 0; same && k < out.size(); ++k) {
                    same = std::fabs(out[k] - alone[which][k]) <= 1e-5f;
                }
                differing += same ? 0 : 1;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(differing.load(), 0);
    EXPECT_GE(inferer.pooledNets(), 1u);
    EXPECT_LE(inferer.pooledNets(), kUsers);
    inferer.setUsers(1);  // the networks not lent are freed at once
    EXPECT_EQ(inferer.pooledNets(), 1u);
}

}  // namespace
