#include "Decoder.h"

#include <stdexcept>

#include "FFmpegError.h"

namespace ek::video {

Decoder::Decoder(const AVStream* stream, int threads, bool hardware) : hwFrame_(makeFrame()) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        throw std::runtime_error(std::string("no decoder for codec ") +
                                 avcodec_get_name(stream->codecpar->codec_id));
    }
    if (hardware) {
        attachHardware(codec);
    }
    if (!hwDevice_) {
        open(codec, stream, threads);
        return;
    }
    try {
        open(codec, stream, threads);
    } catch (const std::exception& e) {
        // A device opened but the codec did not open on it: decode on the CPU instead.
        fallbackReason_ = e.what();
        hwDevice_.reset();
        hwFormat_ = AV_PIX_FMT_NONE;
        open(codec, stream, threads);
    }
}

void Decoder::attachHardware(const AVCodec* codec) {
    fallbackReason_ = std::string("no hardware decoder for ") + codec->name;
    for (int i = 0;; ++i) {
        const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
        if (config == nullptr) {
            return;
        }
        if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) == 0) {
            continue;
        }
        AVBufferRef* device = nullptr;
        int ret = av_hwdevice_ctx_create(&device, config->device_type, nullptr, nullptr, 0);
        if (ret < 0) {
            fallbackReason_ =
                std::string(av_hwdevice_get_type_name(config->device_type)) + ": " + avErrorText(ret);
            continue;
        }
        hwDevice_.reset(device);
        hwFormat_ = config->pix_fmt;
        hwName_ = av_hwdevice_get_type_name(config->device_type);
        fallbackReason_.clear();
        return;
    }
}

void Decoder::open(const AVCodec* codec, const AVStream* stream, int threads) {
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_) {
        throw std::runtime_error("video decoder: out of memory");
    }
    int ret = avcodec_parameters_to_context(context_.get(), stream->codecpar);
    if (ret < 0) {
        throw std::runtime_error("video decoder: bad codec parameters: " + avErrorText(ret));
    }
    context_->pkt_timebase = stream->time_base;
    context_->thread_count = threads;
    context_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (hwDevice_) {
        context_->hw_device_ctx = av_buffer_ref(hwDevice_.get());
        context_->opaque = this;
        context_->get_format = &Decoder::chooseFormat;
    }
    ret = avcodec_open2(context_.get(), codec, nullptr);
    if (ret < 0) {
        throw std::runtime_error(std::string("cannot open decoder ") + codec->name + ": " + avErrorText(ret));
    }
}

AVPixelFormat Decoder::chooseFormat(AVCodecContext* context, const AVPixelFormat* formats) {
    const auto* self = static_cast<const Decoder*>(context->opaque);
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == self->hwFormat_) {
            return *f;
        }
    }
    // The stream needs something the device cannot do: FFmpeg decodes it in software.
    return avcodec_default_get_format(context, formats);
}

int Decoder::send(const AVPacket* packet, int64_t seq) {
    context_->reordered_opaque = seq;
    return avcodec_send_packet(context_.get(), packet);
}

int Decoder::flush() {
    return avcodec_send_packet(context_.get(), nullptr);
}

int Decoder::receive(AVFrame* out) {
    if (!hwDevice_) {
        return avcodec_receive_frame(context_.get(), out);
    }
    int ret = avcodec_receive_frame(context_.get(), hwFrame_.get());
    if (ret < 0) {
        return ret;
    }
    if (hwFrame_->format != hwFormat_) {
        av_frame_move_ref(out, hwFrame_.get());
        return 0;
    }
    ret = av_hwframe_transfer_data(out, hwFrame_.get(), 0);
    if (ret >= 0) {
        ret = av_frame_copy_props(out, hwFrame_.get());
    }
    av_frame_unref(hwFrame_.get());
    return ret;
}

std::string Decoder::description() const {
    std::string text = context_->codec != nullptr ? context_->codec->name : "?";
    return hwDevice_ ? text + " (" + hwName_ + ")" : text;
}

}  // namespace ek::video
