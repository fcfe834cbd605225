#include "src/CommandLine.h"

namespace ek {

std::string configPathFromArgs(int argc, const char* const* argv, std::ostream& out) {
    if (argc != 2) {
        return "config.json";
    }
    const std::string argument = argv[1];
    if (argument == "-h" || argument == "--help") {
        out << "Run without argument or use one argument\n"
            << "Example:\n"
            << "           ./qo_core config.json\n";
    }
    return argument;
}

}  // namespace ek
