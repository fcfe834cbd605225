// libFuzzer target: plate-syntax and watch-list files as a hostile or broken installation may
// hold them. The input is written to a file and read by both readers, then a few plate texts are
// matched against what was read.
//
// Checked: no crash, no sanitizer report, no hang (libFuzzer's -timeout); a refusal is a
// std::runtime_error.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "qo_common/syntax/SyntaxAnalyzer.h"
#include "qo_common/syntax/Watchlist.h"

namespace {

std::string scratchDir;
std::string filePath;

void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratchDir, ignored);
}

const char* const kPlates[] = {"AB123CD", "A8I23CO", "", "0O1I8B5S2Z7ABC123", "MK1NAA", "x"};

void writeInput(const uint8_t* data, size_t size) {
    std::ofstream out(filePath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/qo-syntax-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::abort();
    }
    scratchDir = dir;
    filePath = scratchDir + "/file.json";
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    writeInput(data, size);
    const nlohmann::json network = {{"model", {{"region", "eu"}}}};
    try {
        const ek::SyntaxAnalyzer syntax(filePath, network);
        for (const char* plate : kPlates) {
            (void)syntax.match(plate);
        }
    } catch (const std::runtime_error&) {
    }
    try {
        const ek::Watchlist watchlist(filePath, "eu");
        for (const char* plate : kPlates) {
            (void)watchlist.match(plate);
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
