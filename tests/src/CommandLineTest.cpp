#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "src/CommandLine.h"

namespace {

TEST(CommandLineTest, ChoosesTheConfigurationPath) {
    const std::string usage =
        "Run without argument or use one argument\n"
        "Example:\n"
        "           ./qo_core config.json\n";
    struct Case {
        std::vector<const char*> args;
        std::string path;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {{"qo_core"}, "config.json", ""},
        {{"qo_core", "site.json"}, "site.json", ""},
        {{"qo_core", "a.json", "b.json"}, "config.json", ""},
        {{"qo_core", "-h"}, "-h", usage},
        {{"qo_core", "--help"}, "--help", usage},
        {{"qo_core", "--help", "x"}, "config.json", ""},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        EXPECT_EQ(ek::configPathFromArgs(static_cast<int>(c.args.size()), c.args.data(), out), c.path);
        EXPECT_EQ(out.str(), c.printed);
    }
}

}  // namespace
