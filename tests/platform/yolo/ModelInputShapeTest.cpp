#include "platform/yolo/ModelInputShape.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/models/TestModels.h"

namespace {

std::string writeTemp(const std::string& name, const std::string& text) {
    auto path = testModelDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(ModelInputShapeTest, ReadsTheDeclaredOnnxInputSkippingInitialisers) {
    auto square = ModelInputShape::fromOnnx(testModel("grid_v5_64.onnx"));
    EXPECT_EQ(square.channels, 3);
    EXPECT_EQ(square.height, 64);
    EXPECT_EQ(square.width, 64);
    auto wide = ModelInputShape::fromOnnx(testModel("grid_v5_96x64.onnx"));
    EXPECT_EQ(wide.height, 64);
    EXPECT_EQ(wide.width, 96);
}

TEST(ModelInputShapeTest, RejectsFilesThatAreNotOnnxModels) {
    EXPECT_THROW(ModelInputShape::fromOnnx(testModelDir() + "/missing.onnx"), std::runtime_error);
    // A length prefix that runs past the end of the data.
    auto truncated = writeTemp("truncated.onnx", std::string("\x3a\x7f\x0a", 3));
    try {
        ModelInputShape::fromOnnx(truncated);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("truncated.onnx"), std::string::npos) << e.what();
    }
}

TEST(ModelInputShapeTest, ReadsDarknetNetSection) {
    auto shape = ModelInputShape::fromDarknetCfg(testModel("grid_64.cfg"));
    EXPECT_EQ(shape.channels, 3);
    EXPECT_EQ(shape.width, 64);
    EXPECT_EQ(shape.height, 64);
    auto grey =
        writeTemp("grey.cfg",
                  "# comment\n[net]\n width = 40 ; note\nheight=24\nchannels=1\n[convolutional]\nwidth=9\n");
    shape = ModelInputShape::fromDarknetCfg(grey);
    EXPECT_EQ(shape.channels, 1);
    EXPECT_EQ(shape.width, 40);
    EXPECT_EQ(shape.height, 24);
}

TEST(ModelInputShapeTest, DarknetCfgWithoutSizeOrWithBadNumberThrows) {
    EXPECT_THROW(ModelInputShape::fromDarknetCfg(writeTemp("nosize.cfg", "[net]\nchannels=3\n")),
                 std::runtime_error);
    EXPECT_THROW(ModelInputShape::fromDarknetCfg(writeTemp("badnum.cfg", "[net]\nwidth=x\nheight=3\n")),
                 std::runtime_error);
    EXPECT_THROW(ModelInputShape::fromDarknetCfg(testModelDir() + "/missing.cfg"), std::runtime_error);
}

}  // namespace
