#include "platform/yolo/ModelInputShape.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace {

// Just enough of the protobuf wire format to walk ModelProto.graph.input.
class ProtoReader {
  public:
    explicit ProtoReader(std::string_view data) : data_(data) {}

    bool atEnd() const { return pos_ >= data_.size(); }

    // Reads the next field key; returns false at the end of the message.
    bool next(uint32_t& field, uint32_t& wireType) {
        if (atEnd()) {
            return false;
        }
        uint64_t key = varint();
        field = static_cast<uint32_t>(key >> 3);
        wireType = static_cast<uint32_t>(key & 7);
        return true;
    }

    uint64_t varint() {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (atEnd()) {
                throw std::runtime_error("truncated varint");
            }
            auto byte = static_cast<uint8_t>(data_[pos_++]);
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                return value;
            }
        }
        throw std::runtime_error("varint too long");
    }

    std::string_view bytes() {
        uint64_t len = varint();
        if (len > data_.size() - pos_) {
            throw std::runtime_error("truncated field");
        }
        auto view = data_.substr(pos_, len);
        pos_ += len;
        return view;
    }

    void skip(uint32_t wireType) {
        switch (wireType) {
            case 0:
                varint();
                break;
            case 1:
                advance(8);
                break;
            case 2:
                bytes();
                break;
            case 5:
                advance(4);
                break;
            default:
                throw std::runtime_error("unsupported protobuf wire type " + std::to_string(wireType));
        }
    }

  private:
    void advance(size_t n) {
        if (n > data_.size() - pos_) {
            throw std::runtime_error("truncated field");
        }
        pos_ += n;
    }

    std::string_view data_;
    size_t pos_ = 0;
};

// Field numbers of onnx.proto.
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphInitializer = 5;
constexpr uint32_t kGraphInput = 11;
constexpr uint32_t kTensorName = 8;
constexpr uint32_t kValueInfoName = 1;
constexpr uint32_t kValueInfoType = 2;
constexpr uint32_t kTypeTensor = 1;
constexpr uint32_t kTensorTypeShape = 2;
constexpr uint32_t kShapeDim = 1;
constexpr uint32_t kDimValue = 1;

// The first length-delimited field of a message with the given number, or empty.
std::string_view findField(std::string_view message, uint32_t wanted) {
    ProtoReader r(message);
    uint32_t field = 0;
    uint32_t wire = 0;
    while (r.next(field, wire)) {
        if (field == wanted && wire == 2) {
            return r.bytes();
        }
        r.skip(wire);
    }
    return {};
}

std::string stringField(std::string_view message, uint32_t wanted) {
    return std::string(findField(message, wanted));
}

std::vector<int64_t> shapeDims(std::string_view valueInfo) {
    auto shape = findField(findField(findField(valueInfo, kValueInfoType), kTypeTensor), kTensorTypeShape);
    std::vector<int64_t> dims;
    ProtoReader r(shape);
    uint32_t field = 0;
    uint32_t wire = 0;
    while (r.next(field, wire)) {
        if (field != kShapeDim || wire != 2) {
            r.skip(wire);
            continue;
        }
        ProtoReader dim(r.bytes());
        int64_t value = -1;
        uint32_t f = 0;
        uint32_t w = 0;
        while (dim.next(f, w)) {
            if (f == kDimValue && w == 0) {
                value = static_cast<int64_t>(dim.varint());
            } else {
                dim.skip(w);
            }
        }
        dims.push_back(value);
    }
    return dims;
}

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
    auto graph = findField(bytes, kModelGraph);
    if (graph.empty()) {
        throw std::runtime_error("no graph in the model");
    }
    std::set<std::string> initializers;
    std::vector<std::string_view> inputs;
    ProtoReader r(graph);
    uint32_t field = 0;
    uint32_t wire = 0;
    while (r.next(field, wire)) {
        if (field == kGraphInitializer && wire == 2) {
            initializers.insert(stringField(r.bytes(), kTensorName));
        } else if (field == kGraphInput && wire == 2) {
            inputs.push_back(r.bytes());
        } else {
            r.skip(wire);
        }
    }
    for (auto input : inputs) {
        auto name = stringField(input, kValueInfoName);
        if (!initializers.count(name)) {
            inputName = name;
            return shapeDims(input);
        }
    }
    throw std::runtime_error("the graph has no input");
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
