#pragma once

#include <string>
#include <vector>

class ClassNames {
  public:
    // One name per line; surrounding blanks and a trailing carriage return are dropped, and
    // trailing empty lines are ignored. Throws std::runtime_error naming the file when it cannot be
    // read or holds no name.
    static std::vector<std::string> read(const std::string& path);
};
