#include "qo_common/utils/FileSystem.h"

#include <filesystem>

bool FileSystem::exist(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}
