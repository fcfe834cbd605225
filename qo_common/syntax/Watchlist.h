#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qo_common/syntax/WatchlistMatch.h"

namespace ek {

// The plates of a watch-list file for one region (records whose "region" is the given one, empty
// or "*"). File format: docs/syntax-files.md.
//
// match() tries, in this order, and stops at the first kind that finds records:
//   exact       the record's plate equals the text;
//   ambiguous   same length, and every differing character is a confusable pair (0/O, ...);
//   correction  the plate is one edit (replace, insert or delete one character) from the text.
// Unique or Multiply by the number of records found. An empty text is NotFound.
// Construction throws std::runtime_error naming the file for an unreadable file, invalid JSON or
// a record without "plate". match() is const and thread-safe.
class Watchlist {
  public:
    Watchlist(const std::string& path, const std::string& region);
    Watchlist(Watchlist&&) noexcept;
    Watchlist& operator=(Watchlist&&) noexcept;
    ~Watchlist();

    WatchlistMatch match(const std::string& text) const;
    // The records in use, in file order.
    const std::vector<WatchlistRecord>& records() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace ek
