#pragma once

#include <nlohmann/json.hpp>

#include <memory>

#include "platereader/IPlateReader.h"

// A new PlateReaderOnnx for the network object (see PlateReaderOnnx for what it reads and throws).
std::shared_ptr<IPlateReader> createPlateReader(nlohmann::json config, bool fp16, int batchSize);
