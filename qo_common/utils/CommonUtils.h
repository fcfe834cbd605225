#pragma once

#include <cstdint>
#include <future>
#include <string>
#include <vector>

class CommonUtils {
  public:
    // Epoch milliseconds of the system clock: the clock of frame timestamps and trigger times.
    static int64_t getTs();
    // A random (version 4) UUID text in lower-case hex, e.g. "3f2b9c1e-5d7a-4e0b-9a41-0c6f2d8e7b13".
    static std::string genGuid();
    // Local time text of `ms` by a strftime pattern; "%ms" stands for the three-digit milliseconds
    // ("%%ms" stays the literal text "%ms").
    static std::string format(int64_t ms, const std::string& pattern);
    // Fixed-point text with `digits` (0..17) digits after the point, independent of the locale.
    static std::string formatDouble(double value, int digits);
    // The pieces between separators, empty pieces included ("" gives one empty piece); an empty
    // separator gives the whole text as the one piece.
    static std::vector<std::string> split(const std::string& text, const std::string& separator);
    // Without leading and trailing blanks (space, tab, CR, LF, FF, VT).
    static std::string trim(const std::string& text);
    // Every `from` replaced by `to`, left to right; an empty `from` leaves the text unchanged.
    static std::string replace(const std::string& text, const std::string& from, const std::string& to);
    // `dir` and `name` joined by exactly one '/'; an empty part gives the other one.
    static std::string joinPath(const std::string& dir, const std::string& name);
    // A text standing for the path, usable in a file name: the path's last 96 characters with every
    // character other than [A-Za-z0-9._-] turned into '_', then '_' and a 64-bit hash of the whole
    // path in hex, so paths that read alike still give different ids. Stable across runs.
    static std::string pathToId(const std::string& path);
    // Drops the futures that are ready (or invalid); returns how many remain.
    static size_t cleanupListThreads(std::vector<std::future<void>>& threads);
};
