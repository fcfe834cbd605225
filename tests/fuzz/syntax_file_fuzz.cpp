// libFuzzer target: plate-syntax and watch-list files as a hostile or broken installation may
// hold them. The input is written to a file and read by both readers, then a few plate texts are
// matched against what was read.
//
// Checked: no crash, no sanitizer report, no hang (libFuzzer's -timeout); a refusal is a
// std::runtime_error.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "qo_common/syntax/SyntaxAnalyzer.h"
#include "qo_common/syntax/Watchlist.h"
#include "tests/fuzz/FuzzScratch.h"

namespace {

std::string filePath;

const char* const kPlates[] = {"AB123CD", "A8I23CO", "", "0O1I8B5S2Z7ABC123", "MK1NAA", "x"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    filePath = fuzzscratch::make("qo-syntax-fuzz") + "/file.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzscratch::write(filePath, data, size);
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
