#pragma once

#include <string>

namespace ek {

// One plate of the watch-list file.
struct WatchlistRecord {
    std::string lpr;
    std::string state;
    std::string type;
    std::string region;
};

}  // namespace ek
