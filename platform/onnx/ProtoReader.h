#pragma once

#include <cstdint>
#include <string_view>

// Walks the fields of one serialised protobuf message. Only what reading an ONNX model's
// declarations needs: varints and length-delimited fields; 32/64-bit fields are skipped.
// Malformed input throws std::runtime_error.
class ProtoReader {
  public:
    enum WireType : uint32_t { Varint = 0, Fixed64 = 1, LengthDelimited = 2, Fixed32 = 5 };

    explicit ProtoReader(std::string_view message) : data(message) {}

    // Moves to the next field; false at the end of the message.
    bool next();
    uint32_t field() const { return fieldNumber; }
    WireType type() const { return wireType; }
    // Value of the current varint field.
    uint64_t varint() const { return varintValue; }
    // Bytes of the current length-delimited field.
    std::string_view bytes() const { return bytesValue; }

  private:
    uint64_t readVarint();

    std::string_view data;
    size_t pos = 0;
    uint32_t fieldNumber = 0;
    WireType wireType = Varint;
    uint64_t varintValue = 0;
    std::string_view bytesValue;
};
