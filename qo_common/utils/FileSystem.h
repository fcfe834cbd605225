#pragma once

#include <string>

class FileSystem {
public:
    static bool exist(const std::string& path);
};
