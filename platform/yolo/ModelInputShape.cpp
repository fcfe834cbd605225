#include "platform/yolo/ModelInputShape.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/onnx/OnnxDeclarations.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open model file " + path);
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string dimsText(const std::vector<int64_t>& dims) {
    std::string text = "[";
    for (size_t i = 0; i < dims.size(); ++i) {
        text += (i ? ", " : "") + std::to_string(dims[i]);
    }
    return text + "]";
}

std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return {};
    }
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

}  // namespace

std::vector<int64_t> ModelInputShape::onnxInputDims(const std::string& bytes, std::string& inputName) {
    OnnxDeclarations declared = OnnxDeclarations::parse(bytes);
    inputName = declared.inputName;
    return declared.inputDims;
}

ModelInputShape ModelInputShape::fromOnnx(const std::string& path) {
    std::string name;
    std::vector<int64_t> dims;
    try {
        dims = onnxInputDims(readFile(path), name);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("ONNX model " + path + ": " + e.what());
    }
    bool ok =
        dims.size() == 4 && dims[0] == 1 && (dims[1] == 1 || dims[1] == 3) && dims[2] > 0 && dims[3] > 0;
    if (!ok) {
        throw std::runtime_error("ONNX model " + path + ": input '" + name + "' has shape " + dimsText(dims) +
                                 "; a static [1, 3, H, W] (or [1, 1, H, W]) input is needed");
    }
    return {static_cast<int>(dims[1]), static_cast<int>(dims[2]), static_cast<int>(dims[3])};
}

ModelInputShape ModelInputShape::fromDarknetCfg(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open Darknet cfg " + path);
    }
    ModelInputShape shape{3, 0, 0};
    std::string line;
    bool inNet = false;
    while (std::getline(in, line)) {
        line = trim(line.substr(0, line.find_first_of("#;")));
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            if (inNet) {
                break;
            }
            inNet = line == "[net]" || line == "[network]";
            continue;
        }
        auto eq = line.find('=');
        if (!inNet || eq == std::string::npos) {
            continue;
        }
        auto key = trim(line.substr(0, eq));
        auto value = trim(line.substr(eq + 1));
        try {
            if (key == "width") {
                shape.width = std::stoi(value);
            } else if (key == "height") {
                shape.height = std::stoi(value);
            } else if (key == "channels") {
                shape.channels = std::stoi(value);
            }
        } catch (const std::logic_error&) {
            throw std::runtime_error("Darknet cfg " + path + ": '" + key + "' is not a number: " + value);
        }
    }
    if (shape.width <= 0 || shape.height <= 0 || (shape.channels != 1 && shape.channels != 3)) {
        throw std::runtime_error("Darknet cfg " + path +
                                 ": the [net] section needs positive width and height and 1 or 3 channels");
    }
    return shape;
}
