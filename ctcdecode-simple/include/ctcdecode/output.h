#pragma once

#include <vector>

namespace ctcdecode {

// One beam of a search result.
struct Output {
    std::vector<int> tokens;     // token ids of the beam's text, first to last
    std::vector<int> timesteps;  // for each token, the step at which it was most probable
};

}  // namespace ctcdecode
