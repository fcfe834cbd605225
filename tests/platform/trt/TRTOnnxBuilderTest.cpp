#include "trt/TRTOnnxBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const std::string kModel = std::string(QO_PLATE_MODELS_DIR) + "/plate_reader.onnx";

std::vector<int64_t> extents(const TRTDims& dims) {
    return {dims.d, dims.d + dims.nbDims};
}

class TRTOnnxBuilderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("trt_builder_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string write(const std::string& name, const std::string& bytes) {
        auto path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    fs::path dir;
};

TEST_F(TRTOnnxBuilderTest, ShapesComeFromTheFileAndOneForward) {
    TRTOnnxBuilder builder(kModel, (dir / "cache" / "engine").string());
    EXPECT_EQ(extents(builder.dims()), (std::vector<int64_t>{1, 24, 256}));
    EXPECT_EQ(extents(builder.outDims()), (std::vector<int64_t>{1, 16, 36}));
    EXPECT_EQ(builder.NetworkInputName, "Input");
    EXPECT_EQ(builder.NetworkOutputName, "Output");
}

TEST_F(TRTOnnxBuilderTest, MissingCacheDirectoryIsCreatedAndTheCacheReused) {
    auto cache = dir / "cache" / "nested" / "engine";
    { TRTOnnxBuilder first(kModel, cache.string()); }
    ASSERT_TRUE(fs::exists(cache));
    auto written = fs::last_write_time(cache);
    TRTOnnxBuilder second(kModel, cache.string());
    EXPECT_EQ(fs::last_write_time(cache), written);
    EXPECT_EQ(extents(second.outDims()), (std::vector<int64_t>{1, 16, 36}));
}

TEST_F(TRTOnnxBuilderTest, StaleOrBrokenCacheIsRebuilt) {
    for (const std::string& content : {std::string("qo_trt-engine-1 12345\n3 1 24 256\n3 1 99 99\n"),
                                       std::string("garbage"), std::string()}) {
        auto cache = write("engine", content);
        TRTOnnxBuilder builder(kModel, cache);
        EXPECT_EQ(extents(builder.outDims()), (std::vector<int64_t>{1, 16, 36})) << content;
    }
}

TEST_F(TRTOnnxBuilderTest, UnwritableCacheIsNotFatal) {
    auto blocker = write("file", "x");  // a directory cannot be made below a file
    TRTOnnxBuilder builder(kModel, blocker + "/cache/engine");
    EXPECT_EQ(extents(builder.outDims()), (std::vector<int64_t>{1, 16, 36}));
}

TEST_F(TRTOnnxBuilderTest, UnusableModelsThrowRuntimeErrorNamingTheFile) {
    struct Case {
        std::string path;
        std::string expected;
    };
    std::string bytes;
    {
        std::ifstream in(kModel, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const Case cases[] = {
        {(dir / "missing.onnx").string(), "cannot open ONNX file"},
        {write("garbage.onnx", "\x0a\xff\xff\xff"), "cannot load ONNX file"},
        {write("truncated.onnx", bytes.substr(0, bytes.size() / 2)), "cannot load ONNX file"},
        {write("text.onnx", "this is not a model"), "cannot load ONNX file"},
        {std::string(QO_PLATE_MODELS_DIR) + "/dynamic_input.onnx", "dynamic"},
    };
    for (const auto& c : cases) {
        try {
            TRTOnnxBuilder builder(c.path, (dir / "engine").string());
            ADD_FAILURE() << c.path << " was accepted";
        } catch (const std::runtime_error& e) {
            std::string message = e.what();
            EXPECT_NE(message.find(c.expected), std::string::npos) << message;
            EXPECT_NE(message.find(c.path), std::string::npos) << message;
        }
    }
}

TEST_F(TRTOnnxBuilderTest, EmptyBuilderHasNoShapes) {
    TRTOnnxBuilder builder;
    EXPECT_EQ(builder.dims().nbDims, 0);
    EXPECT_EQ(builder.outDims().nbDims, 0);
    EXPECT_EQ(builder.getEngine(), nullptr);
}

}  // namespace
