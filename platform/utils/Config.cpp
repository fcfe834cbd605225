#include "qo_common/utils/Config.h"

#include "qo_common/utils/BoundedJson.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

nlohmann::json Config::read(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw std::runtime_error("Cannot read configuration file '" + path + "': it is a directory");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("Cannot read configuration file '" + path + "': " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw std::runtime_error("Cannot read configuration file '" + path + "': read error");
    }
    return ek::parseBoundedJson(text.str(), "configuration file '" + path + "'");
}
