#include "platereader/PlateReaderOnnx.h"

#include <stdexcept>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "qo_common/utils/ConfigReader.h"
#include "trt/TRTInferer.h"

namespace {

// Each beam costs a pass over the output per step; more than this reads no better.
constexpr int kMaxBeamSize = 100;

void requireShape(const TRTDims& dims, const char* what) {
    if (dims.nbDims != 3) {
        throw std::runtime_error(std::string("the model's ") + what + " " + dims.toString() +
                                 " is not three-dimensional");
    }
}

}  // namespace

PlateReaderOnnx::PlateReaderOnnx(nlohmann::json config, bool /*fp16*/, int batchSizeArgument) {
    // Every key is read before the model is loaded.
    const auto keys = ek::ConfigReader::objectAt(config, "");
    const std::string name = keys.requiredText("name", ek::ConfigReader::NonEmpty);
    ILog::Info("PlateReaderOnnx load : %s", name.c_str());
    const ek::ConfigReader definition = keys.object("model").object("definition");
    const ek::ConfigReader content = definition.object("content");
    const ek::ConfigReader files = content.object("files");
    const std::string path = definition.requiredText("path");
    alphabet = files.requiredText("alphabet", ek::ConfigReader::NonEmpty);
    const std::string weights = files.requiredText("weights", ek::ConfigReader::NonEmpty);
    if (const auto decode = content.optionalObject("decode")) {
        decodeMode = decode->text("type", "beam") == "beam" ? BeamSearch : GreedySearch;
        ctcSkipCount = decode->integer<int>("skipSize", 2, 0);
        beamSize = decode->integer<int>("beamSize", 3, 1, kMaxBeamSize);
        validationMode = decode->boolean("validationMode", false);
    }

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
