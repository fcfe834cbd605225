#pragma once

#include <vector>

#include "qo_common/syntax/WatchlistMatchType.h"
#include "qo_common/syntax/WatchlistRecord.h"

namespace ek {

// Result of Watchlist::match: every type but NotFound carries at least one record, in file
// order; the records belong to the watch list and stay valid as long as it lives.
struct WatchlistMatch {
    WatchlistMatchType type = WatchlistMatchType::NotFound;
    std::vector<const WatchlistRecord*> matches;
};

}  // namespace ek
