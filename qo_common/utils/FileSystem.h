#pragma once

#include <string>

class FileSystem {
  public:
    // Whether an entry (file or directory) exists at `path`; false for an empty path or one that
    // cannot be examined. Never throws.
    static bool exist(const std::string& path);
};
