#include "ProtoReader.h"

#include <stdexcept>
#include <string>

uint64_t ProtoReader::readVarint() {
    uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (pos >= data.size()) {
            throw std::runtime_error("truncated protobuf varint");
        }
        auto byte = static_cast<uint8_t>(data[pos++]);
        value |= static_cast<uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) {
            return value;
        }
    }
    throw std::runtime_error("protobuf varint longer than 10 bytes");
}

bool ProtoReader::next() {
    if (pos >= data.size()) {
        return false;
    }
    uint64_t key = readVarint();
    fieldNumber = static_cast<uint32_t>(key >> 3);
    auto wire = static_cast<uint32_t>(key & 7);
    size_t skip = 0;
    switch (wire) {
        case Varint:
            varintValue = readVarint();
            break;
        case LengthDelimited: {
            uint64_t length = readVarint();
            if (length > data.size() - pos) {
                throw std::runtime_error("truncated protobuf field " + std::to_string(fieldNumber));
            }
            bytesValue = data.substr(pos, length);
            skip = length;
            break;
        }
        case Fixed64:
            skip = 8;
            break;
        case Fixed32:
            skip = 4;
            break;
        default:
            throw std::runtime_error("unsupported protobuf wire type " + std::to_string(wire));
    }
    if (skip > data.size() - pos) {
        throw std::runtime_error("truncated protobuf field " + std::to_string(fieldNumber));
    }
    pos += skip;
    wireType = static_cast<WireType>(wire);
    return true;
}
