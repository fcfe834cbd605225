#pragma once

#include <ostream>
#include <string>

namespace ek {

// The configuration path of the command line: the one argument, or "config.json" when there is
// none or more than one. "-h" and "--help" first write the usage lines to `out`; the argument is
// still taken as the path.
std::string configPathFromArgs(int argc, const char* const* argv, std::ostream& out);

}  // namespace ek
