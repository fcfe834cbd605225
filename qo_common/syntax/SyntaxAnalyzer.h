#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "qo_common/syntax/SyntaxMatch.h"

namespace ek {

// Matches plate texts against the plate syntaxes of a syntax file and corrects confusable
// characters (0/O, 1/I, 8/B, 5/S, 2/Z by default) so that a text fits a syntax.
// File format: docs/syntax-files.md.
//
// match(): a text that fits a syntax as it is matches that syntax (the first in file order) with
// lpr = the text. Otherwise the fewest replacements of confusable characters (at most the file's
// "maxCorrections") that make it fit some syntax give lpr; equal counts go to the earlier syntax,
// then to replacements further right. An empty text never matches. One match() tests at most
// 20,000 candidates; a text whose correction would need more counts as unmatched.
//
// The syntaxes used are those whose "region" is empty, "*" or the network object's
// "model"."region" (all of them when the network object has no region).
// Construction throws std::runtime_error naming the file and the key's path for an unreadable
// file, invalid JSON (or nested deeper than 64 levels), a missing "syntaxes" or "definition", a
// definition over 256 characters or not a valid regular expression, and "maxCorrections" outside
// 0-4. match() is const and thread-safe.
class SyntaxAnalyzer {
  public:
    SyntaxAnalyzer(const std::string& path, const nlohmann::json& network);
    SyntaxAnalyzer(SyntaxAnalyzer&&) noexcept;
    SyntaxAnalyzer& operator=(SyntaxAnalyzer&&) noexcept;
    ~SyntaxAnalyzer();

    SyntaxMatch match(const std::string& text) const;
    // The syntaxes in use, in file order.
    const std::vector<SyntaxInfo>& syntaxes() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace ek
