#include "OnnxModelInfo.h"

#include <set>
#include <stdexcept>
#include <vector>

#include "ProtoReader.h"

namespace {

// Field numbers of onnx.proto (ModelProto, GraphProto, ValueInfoProto, TypeProto, ...).
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphInitializer = 5;
constexpr uint32_t kGraphInput = 11;
constexpr uint32_t kGraphOutput = 12;
constexpr uint32_t kValueInfoName = 1;
constexpr uint32_t kValueInfoType = 2;
constexpr uint32_t kTypeTensor = 1;
constexpr uint32_t kTensorShape = 2;
constexpr uint32_t kShapeDim = 1;
constexpr uint32_t kDimValue = 1;
constexpr uint32_t kDimParam = 2;
constexpr uint32_t kTensorProtoName = 8;

struct ValueInfo {
    std::string name;
    std::string_view type;
};

ValueInfo readValueInfo(std::string_view message) {
    ValueInfo info;
    ProtoReader reader(message);
    while (reader.next()) {
        if (reader.field() == kValueInfoName && reader.type() == ProtoReader::LengthDelimited) {
            info.name = std::string(reader.bytes());
        } else if (reader.field() == kValueInfoType && reader.type() == ProtoReader::LengthDelimited) {
            info.type = reader.bytes();
        }
    }
    return info;
}

std::string_view subMessage(std::string_view message, uint32_t field) {
    ProtoReader reader(message);
    while (reader.next()) {
        if (reader.field() == field && reader.type() == ProtoReader::LengthDelimited) {
            return reader.bytes();
        }
    }
    return {};
}

TRTDims readShape(const ValueInfo& input) {
    std::string_view shape = subMessage(subMessage(input.type, kTypeTensor), kTensorShape);
    TRTDims dims;
    ProtoReader reader(shape);
    while (reader.next()) {
        if (reader.field() != kShapeDim || reader.type() != ProtoReader::LengthDelimited) {
            continue;
        }
        if (dims.nbDims == TRTDims::MAX_DIMS) {
            throw std::runtime_error("input '" + input.name + "' has more than 8 dimensions");
        }
        int64_t value = -1;
        ProtoReader dim(reader.bytes());
        while (dim.next()) {
            if (dim.field() == kDimValue && dim.type() == ProtoReader::Varint) {
                value = static_cast<int64_t>(dim.varint());
            } else if (dim.field() == kDimParam) {
                value = -1;
            }
        }
        if (value <= 0) {
            throw std::runtime_error("input '" + input.name + "' has a dynamic or empty dimension " +
                                     std::to_string(dims.nbDims) + "; export the model with static shapes");
        }
        dims.d[dims.nbDims++] = value;
    }
    if (dims.nbDims == 0) {
        throw std::runtime_error("input '" + input.name + "' declares no shape");
    }
    return dims;
}

}  // namespace

OnnxModelInfo OnnxModelInfo::parse(std::string_view model) {
    std::string_view graph = subMessage(model, kModelGraph);
    if (graph.empty()) {
        throw std::runtime_error("no graph in the ONNX model");
    }
    std::set<std::string> initialisers;
    std::vector<ValueInfo> inputs;
    std::string output;
    ProtoReader reader(graph);
    while (reader.next()) {
        if (reader.type() != ProtoReader::LengthDelimited) {
            continue;
        }
        if (reader.field() == kGraphInitializer) {
            ProtoReader tensor(reader.bytes());
            while (tensor.next()) {
                if (tensor.field() == kTensorProtoName && tensor.type() == ProtoReader::LengthDelimited) {
                    initialisers.emplace(tensor.bytes());
                }
            }
        } else if (reader.field() == kGraphInput) {
            inputs.push_back(readValueInfo(reader.bytes()));
        } else if (reader.field() == kGraphOutput && output.empty()) {
            output = readValueInfo(reader.bytes()).name;
        }
    }
    if (output.empty()) {
        throw std::runtime_error("the ONNX model declares no output");
    }
    for (const auto& input : inputs) {
        if (!initialisers.count(input.name)) {
            return OnnxModelInfo{input.name, readShape(input), output};
        }
    }
    throw std::runtime_error("the ONNX model declares no input");
}
