#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Reads the keys of one "eventbuilders" element. Every error names the key it is about; the loader
// puts the element in front, so the operator reads e.g.
//   eventbuilders[1].laneId: expected an integer, got string "2"
// Absent keys take their fallback; a present key of the wrong kind (null included) is an error,
// never a silent conversion.
class BuilderConfig {
  public:
    // A configuration error at `path` (relative to the element until the loader prefixes it);
    // what() is "<path>: <problem>", or the problem alone for an empty path.
    class Error : public std::runtime_error {
      public:
        Error(std::string path, std::string problem);
        const std::string& path() const { return path_; }
        const std::string& problem() const { return problem_; }
        // The same error one level further out: under("eventbuilders[1]") of "laneId" is at
        // "eventbuilders[1].laneId".
        Error under(const std::string& prefix) const;

      private:
        std::string path_;
        std::string problem_;
    };

    // `config` must outlive the reader. A null element counts as an empty object; any other
    // value that is not an object throws Error.
    explicit BuilderConfig(const nlohmann::json& config);

    bool has(const char* key) const;
    int64_t integer(const char* key, int64_t fallback) const;
    // An integer that must fit 32 bits.
    int32_t int32(const char* key, int32_t fallback) const;
    double number(const char* key, double fallback) const;
    bool flag(const char* key, bool fallback) const;
    std::string text(const char* key, const std::string& fallback) const;
    std::string requiredText(const char* key) const;
    // A list of texts, required; a single text counts as a list of one.
    std::vector<std::string> requiredTexts(const char* key) const;

    // The value as an error message shows it: its kind and, for scalars, a short rendering.
    static std::string describe(const nlohmann::json& value);

  private:
    // The value of a present key; null when absent.
    const nlohmann::json* find(const char* key) const;
    [[noreturn]] static void refuse(const std::string& path, const char* expected, const nlohmann::json& got);

    const nlohmann::json& config_;
};
