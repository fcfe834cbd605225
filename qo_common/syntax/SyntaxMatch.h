#pragma once

#include <string>

#include "qo_common/syntax/SyntaxInfo.h"

namespace ek {

// Result of SyntaxAnalyzer::match. `info` refers to storage of the analyzer (or, when nothing
// matched, to a process-wide empty SyntaxInfo), so it stays valid as long as the analyzer lives.
struct SyntaxMatch {
    bool isMatched = false;
    std::string lpr;  // the corrected text; the input text when nothing matched
    const SyntaxInfo& info;
};

}  // namespace ek
