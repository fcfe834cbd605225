#include "platereader/PlateReaderFactory.h"

#include "platereader/PlateReaderOnnx.h"

std::shared_ptr<IPlateReader> createPlateReader(nlohmann::json config, bool fp16, int batchSize) {
    return std::make_shared<PlateReaderOnnx>(std::move(config), fp16, batchSize);
}
