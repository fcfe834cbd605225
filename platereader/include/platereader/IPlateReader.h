#pragma once

#include <cstddef>
#include <vector>

#include "qo_common/utils/LPRDetection.h"

// Reads plate texts from plate crops.
//
// `prepare` may run concurrently with anything. `read` may be called from several threads at once:
// the network runs in parallel for up to `setUsers` callers, the decoding of one reader one call at
// a time, so one reader can be shared by several threads.
class IPlateReader {
  public:
    virtual ~IPlateReader() = default;

    // Fills `prepared` (the network input) of every entry from its `plate` image.
    // Throws std::invalid_argument for an empty plate image.
    virtual void prepare(std::vector<LPRDetection>& dets) = 0;

    // Runs the network once for the whole list and decodes the output into each entry's `value`,
    // `confidence` and `rootValue`; a beam decoding appends its further candidates to the list.
    // The list must hold exactly the reader's batch size of prepared entries (std::invalid_argument
    // otherwise). `output` is accepted for the interface and not used.
    virtual void read(std::vector<LPRDetection>& dets, std::vector<float>* output) = 0;

    // The number of users that may call `read` at once (the networks that share the reader); a
    // reader keeps at most that many copies of its network. A reader that has no such copies
    // ignores it.
    virtual void setUsers(size_t /*users*/) {}
};
