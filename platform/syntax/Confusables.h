#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <string>

namespace ek {

// Pairs of characters that a plate reader confuses with each other, in both directions.
class Confusables {
  public:
    // The default pairs: 0/O, 1/I, 8/B, 5/S, 2/Z.
    Confusables();
    // The pairs of a file's "confusables" array (each entry a two-character string or an array of
    // two one-character strings); the defaults when `pairs` is null. Throws std::runtime_error
    // for an entry that is not a pair of characters.
    explicit Confusables(const nlohmann::json& pairs);

    // The characters `c` may stand for, in the order the pairs were given.
    const std::string& alternatives(char c) const { return table[static_cast<unsigned char>(c)]; }
    bool confusable(char a, char b) const { return alternatives(a).find(b) != std::string::npos; }

  private:
    void add(char a, char b);

    std::array<std::string, 256> table;
};

}  // namespace ek
