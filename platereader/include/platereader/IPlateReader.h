#pragma once

#include <vector>

#include "qo_common/utils/LPRDetection.h"

// Reads plate texts from plate crops.
//
// `prepare` may run concurrently with anything. `read` calls into one reader are serialised by the
// reader itself, so one reader can be shared by several threads.
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
};
