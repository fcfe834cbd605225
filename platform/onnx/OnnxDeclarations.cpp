#include "OnnxDeclarations.h"

#include <set>
#include <stdexcept>

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
constexpr uint32_t kTensorProtoName = 8;

// The first length-delimited field of a message with the given number, or empty.
std::string_view subMessage(std::string_view message, uint32_t field) {
    ProtoReader reader(message);
    while (reader.next()) {
        if (reader.field() == field && reader.type() == ProtoReader::LengthDelimited) {
            return reader.bytes();
        }
    }
    return {};
}

std::vector<int64_t> shapeDims(std::string_view valueInfo) {
    std::string_view shape =
        subMessage(subMessage(subMessage(valueInfo, kValueInfoType), kTypeTensor), kTensorShape);
    std::vector<int64_t> dims;
    ProtoReader reader(shape);
    while (reader.next()) {
        if (reader.field() != kShapeDim || reader.type() != ProtoReader::LengthDelimited) {
            continue;
        }
        int64_t value = -1;
        ProtoReader dim(reader.bytes());
        while (dim.next()) {
            if (dim.field() == kDimValue && dim.type() == ProtoReader::Varint) {
                value = static_cast<int64_t>(dim.varint());
            }
        }
        dims.push_back(value);
    }
    return dims;
}

}  // namespace

OnnxDeclarations OnnxDeclarations::parse(std::string_view model) {
    std::string_view graph = subMessage(model, kModelGraph);
    if (graph.empty()) {
        throw std::runtime_error("no graph in the ONNX model");
    }
    std::set<std::string, std::less<>> initialisers;
    std::vector<std::string_view> inputs;
    OnnxDeclarations declared;
    ProtoReader reader(graph);
    while (reader.next()) {
        if (reader.type() != ProtoReader::LengthDelimited) {
            continue;
        }
        if (reader.field() == kGraphInitializer) {
            initialisers.emplace(subMessage(reader.bytes(), kTensorProtoName));
        } else if (reader.field() == kGraphInput) {
            inputs.push_back(reader.bytes());
        } else if (reader.field() == kGraphOutput && declared.outputName.empty()) {
            declared.outputName = std::string(subMessage(reader.bytes(), kValueInfoName));
        }
    }
    for (std::string_view input : inputs) {
        std::string_view name = subMessage(input, kValueInfoName);
        if (!initialisers.count(name)) {
            declared.inputName = std::string(name);
            declared.inputDims = shapeDims(input);
            return declared;
        }
    }
    throw std::runtime_error("the ONNX model declares no input");
}
