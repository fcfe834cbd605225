#include "TRTRuntime.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "OnnxModelInfo.h"
#include "TRTEngine.h"
#include "qo_common/logger/log.h"

namespace {

constexpr const char* kCacheMagic = "qo_trt-engine-1";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open ONNX file " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t fnv1a(const std::string& bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

void writeDims(std::ostream& out, const TRTDims& dims) {
    out << dims.nbDims;
    for (int i = 0; i < dims.nbDims; ++i) {
        out << ' ' << dims.d[i];
    }
    out << '\n';
}

bool readDims(std::istream& in, TRTDims& dims) {
    if (!(in >> dims.nbDims) || dims.nbDims < 1 || dims.nbDims > TRTDims::MAX_DIMS) {
        return false;
    }
    for (int i = 0; i < dims.nbDims; ++i) {
        if (!(in >> dims.d[i]) || dims.d[i] <= 0) {
            return false;
        }
    }
    return true;
}

bool sameDims(const TRTDims& a, const TRTDims& b) {
    if (a.nbDims != b.nbDims) {
        return false;
    }
    for (int i = 0; i < a.nbDims; ++i) {
        if (a.d[i] != b.d[i]) {
            return false;
        }
    }
    return true;
}

// The output shape recorded for this model, or an empty shape when the cache does not match.
TRTDims loadCachedOutput(const std::string& cacheFile, uint64_t hash, const TRTDims& input) {
    std::ifstream in(cacheFile);
    std::string magic;
    uint64_t cachedHash = 0;
    TRTDims cachedInput, output;
    if (in >> magic >> cachedHash && magic == kCacheMagic && cachedHash == hash &&
        readDims(in, cachedInput) && sameDims(cachedInput, input) && readDims(in, output)) {
        return output;
    }
    return {};
}

// A cache that cannot be written costs only the probe at the next start.
void storeCache(const std::string& cacheFile, uint64_t hash, const TRTDims& input, const TRTDims& output) {
    std::error_code error;
    auto dir = std::filesystem::path(cacheFile).parent_path();
    if (!dir.empty()) {
        std::filesystem::create_directories(dir, error);
    }
    std::ofstream out(cacheFile, std::ios::trunc);
    if (out) {
        out << kCacheMagic << ' ' << hash << '\n';
        writeDims(out, input);
        writeDims(out, output);
    }
    if (!out) {
        ILog::Warning("TRTRuntime: cannot write engine cache %s; the engine is built again at the next start",
                      cacheFile.c_str());
    }
}

cv::dnn::Net readNet(const std::string& model) {
    cv::dnn::Net net;
    try {
        net = cv::dnn::readNetFromONNX(model.data(), model.size());
    } catch (const cv::Exception& e) {
        throw std::runtime_error(e.what());
    }
    if (net.empty()) {
        throw std::runtime_error("empty network");
    }
    return net;
}

}  // namespace

std::shared_ptr<TRTEngine> TRTRuntime::build(const std::string& onnxFile, const std::string& cacheFile) {
    // Kept for the engine's further networks, which are read from it rather than from the file.
    auto model = std::make_shared<const std::string>(readFile(onnxFile));
    OnnxModelInfo info;
    cv::dnn::Net net;
    try {
        info = OnnxModelInfo::parse(*model);
        net = readNet(*model);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot load ONNX file " + onnxFile + ": " + e.what());
    }
    auto makeNet = [model, info, onnxFile] {
        try {
            cv::dnn::Net more = readNet(*model);
            TRTEngine::warm(more, info);
            return more;
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("cannot load one more network of ONNX file " + onnxFile + ": " +
                                     e.what());
        }
    };
    auto engine = std::make_shared<TRTEngine>(std::move(net), info, makeNet);
    uint64_t hash = fnv1a(*model);
    TRTDims cached = cacheFile.empty() ? TRTDims{} : loadCachedOutput(cacheFile, hash, info.inputDims);
    if (cached.nbDims > 0) {
        engine->setOutputDims(cached);
        return engine;
    }
    TRTDims output;
    try {
        output = engine->outputDims();
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot run ONNX file " + onnxFile + " on its declared input " +
                                 info.inputDims.toString() + ": " + e.what());
    }
    if (!cacheFile.empty()) {
        storeCache(cacheFile, hash, info.inputDims, output);
    }
    return engine;
}
