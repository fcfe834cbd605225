#include "platereader/PlateReaderOnnx.h"

#include <stdexcept>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "trt/TRTInferer.h"

namespace {

void requireShape(const TRTDims& dims, const char* what) {
    if (dims.nbDims != 3) {
        throw std::runtime_error(std::string("the model's ") + what + " " + dims.toString() +
                                 " is not three-dimensional");
    }
}

}  // namespace

PlateReaderOnnx::PlateReaderOnnx(nlohmann::json config, bool /*fp16*/, int batchSizeArgument) {
    const std::string name = config.at("name").get<std::string>();
    ILog::Info("PlateReaderOnnx load : %s", name.c_str());
    const auto& content = config.at("model").at("definition").at("content");
    const auto& files = content.at("files");
    const std::string path = config.at("model").at("definition").at("path").get<std::string>();
    alphabet = files.at("alphabet").get<std::string>();
    const std::string weights = files.at("weights").get<std::string>();

    TRTDims input, output;
    try {
        const std::string onnxPath = CommonUtils::joinPath(path, weights);
        const std::string cacheFile = "./cache/" + name + CommonUtils::pathToId(onnxPath);
        builder = TRTOnnxBuilder(onnxPath, cacheFile);
        input = builder.dims();
        output = builder.outDims();
        requireShape(input, "input");
        requireShape(output, "output");
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("PlateReaderOnnx: " + std::string(e.what()));
    }
    netHeight = static_cast<int>(input.d[1]);
    netWidth = static_cast<int>(input.d[2]);
    ctcSize = static_cast<int>(output.d[1]);
    ctcWidth = static_cast<int>(output.d[2]);
    applyLogToInput = true;

    if (content.contains("decode")) {
        const auto& decode = content.at("decode");
        decodeMode = decode.value("type", std::string("beam")) == "beam" ? BeamSearch : GreedySearch;
        ctcSkipCount = decode.value("skipSize", 2);
        beamSize = decode.value("beamSize", 3);
        validationMode = decode.value("validationMode", false);
    }
    try {
        checkSettings();
        inferer = std::make_unique<TRTInferer>(builder.getEngine(), input, batchSizeArgument);
    } catch (const std::exception& e) {
        throw std::runtime_error("PlateReaderOnnx: " + std::string(e.what()));
    }
}

PlateReaderOnnx::~PlateReaderOnnx() {
    inferer.reset();
}
