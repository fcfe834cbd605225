#pragma once

#include <cstdint>
#include <future>
#include <string>
#include <vector>

class CommonUtils {
public:
    // Epoch milliseconds of the system clock: the clock of frame timestamps and trigger times.
    static int64_t getTs();
    // A random (version 4) UUID text, e.g. "3f2b...-....".
    static std::string genGuid();
    // Local time text of `ms` by a strftime pattern; "%ms" stands for the three-digit milliseconds.
    static std::string format(int64_t ms, const std::string& pattern);
    static std::string formatDouble(double value, int digits);
    static std::vector<std::string> split(const std::string& text, const std::string& separator);
    static std::string trim(const std::string& text);
    // Every `from` replaced by `to`; an empty `from` leaves the text unchanged.
    static std::string replace(const std::string& text, const std::string& from, const std::string& to);
    static std::string joinPath(const std::string& dir, const std::string& name);
    // A text standing for the path, usable in a file name.
    static std::string pathToId(const std::string& path);
    // Drops the futures that are ready (or invalid); returns how many remain.
    static size_t cleanupListThreads(std::vector<std::future<void>>& threads);
};
