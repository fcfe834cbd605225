// libFuzzer target: plate catalog files as a hostile or broken installation may hold them. The
// input is written to a file and loaded as the catalog, then a few plate texts are corrected for
// the states it names and for a built-in rule's state.
//
// Checked: no crash, no sanitizer report, no hang (libFuzzer's -timeout); a refusal is a
// std::runtime_error; a correction only swaps "0" and "O", and a cached one is returned again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo_common/logger/log.h"
#include "src/event_builder/PlateCorrection.h"
#include "tests/fuzz/FuzzScratch.h"

namespace {

std::string filePath;

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

const char* const kPlates[] = {"1ABC0O0", "", "0O0O", "AB123CD", "O", "12O45", "%s%n"};
// A catalog may name thousands of states; a few are enough to reach the matching.
constexpr size_t kMaxStates = 4;

bool onlyZeroAndOSwapped(const std::string& text, const std::string& corrected) {
    if (corrected.size() != text.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool swappable =
            (text[i] == '0' || text[i] == 'O') && (corrected[i] == '0' || corrected[i] == 'O');
        if (corrected[i] != text[i] && !swappable) {
            return false;
        }
    }
    return true;
}

void correct(const PlateCorrection& correction, const std::string& state) {
    PlateCorrection::CorrectionCache cache;
    for (const char* plate : kPlates) {
        const std::string corrected = correction.Correct0O(plate, state, &cache);
        check(onlyZeroAndOSwapped(plate, corrected));
        check(correction.Correct0O(plate, state, &cache) == corrected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    filePath = fuzzscratch::make("qo-catalog-fuzz") + "/catalog.json";
    // Messages are formatted, as in the service, then dropped.
    ILog::instance = std::make_shared<ILog>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzscratch::write(filePath, data, size);
    std::unique_ptr<PlateCorrection> correction;
    try {
        correction = std::make_unique<PlateCorrection>(filePath);
    } catch (const std::runtime_error&) {
        return 0;
    }
    size_t indexed = 0;
    for (const auto& [state, indices] : correction->syntaxByState()) {
        indexed += indices.size();
    }
    check(indexed == correction->syntaxArray().size());
    std::vector<std::string> states{"US-CA"};
    for (const auto& syntax : correction->syntaxArray()) {
        if (states.size() > kMaxStates) {
            break;
        }
        if (syntax.plate_state != states.back()) {
            states.push_back(syntax.plate_state);
        }
    }
    for (const auto& state : states) {
        correct(*correction, state);
    }
    return 0;
}
