#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The declared input of a network file. OpenCV's dnn module cannot tell it before an input is set,
// so it is read from the file itself.
struct ModelInputShape {
    int channels = 0;
    int height = 0;
    int width = 0;

    // The first graph input of an ONNX file that is not an initialiser; it must be a static
    // [1, C, H, W] with C 1 or 3. Throws std::runtime_error naming the file otherwise.
    static ModelInputShape fromOnnx(const std::string& path);
    // Width, height and channels (default 3) of the [net] section of a Darknet cfg file.
    static ModelInputShape fromDarknetCfg(const std::string& path);
    // The dimensions of the first non-initialiser input of an ONNX model in memory (-1 where a
    // dimension is symbolic); exposed for tests.
    static std::vector<int64_t> onnxInputDims(const std::string& bytes, std::string& inputName);
};
