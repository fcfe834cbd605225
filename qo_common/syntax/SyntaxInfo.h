#pragma once

#include <string>

namespace ek {

// One plate syntax of the syntax file: a regular expression a plate text must match in full.
struct SyntaxInfo {
    std::string definition;  // ECMAScript regular expression
    std::string state;
    std::string type;
    std::string region;
};

}  // namespace ek
