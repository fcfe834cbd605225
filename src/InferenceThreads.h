#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>

namespace ek {

// OpenCV's threads inside one forward pass. Every infer worker forwards at the same time as the
// others (each on a network of its own), so the cores are shared out among them rather than each
// forward spreading over all cores: threads a forward = cores / infer workers, at least 1. One
// camera's pair of networks still gets several cores a forward.
//
// "inferenceThreads" (top level, integer 0 to kMaxInferenceThreads, default 0): 0 decides as
// above, any other value is taken as it is. Throws ek::ConfigError naming the key.
constexpr int kMaxInferenceThreads = 256;
int readInferenceThreads(const nlohmann::json& configuration);

// The count to use: `configured` when above 0, else max(1, cores / inferWorkers) (all cores with
// no worker).
int decideInferenceThreads(int configured, size_t inferWorkers, int cores);

// Decides with this machine's cores, sets OpenCV's thread count (process-wide) and logs
// "Inference threads: ..."; called once, after the networks are loaded. Returns the count.
int applyInferenceThreads(int configured, size_t inferWorkers);

}  // namespace ek
