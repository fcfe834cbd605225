#include "qo_common/video/Packet.h"

#include <stdexcept>
#include <utility>

Packet::Packet(const AVPacket* source, int64_t ts, AVStream* st, std::shared_ptr<const void> streamOwner)
    : packet(av_packet_alloc()), timestamp(ts), stream(st), streamOwner_(std::move(streamOwner)) {
    if (packet == nullptr) {
        throw std::runtime_error("Packet: out of memory for an encoded packet");
    }
    if (av_packet_ref(packet, source) < 0) {
        av_packet_free(&packet);
        throw std::runtime_error("Packet: cannot reference an encoded packet");
    }
}

Packet::~Packet() {
    av_packet_free(&packet);
}
