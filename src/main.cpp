#include <iostream>

#include "qo_common/utils/curl.h"
#include "src/CommandLine.h"
#include "src/Service.h"

// Start-up and shut-down live in ek::runService (src/Service.cpp); the loaders plug into
// ek::loadPipeline and ek::startPipeline (src/PipelineLoading.cpp).
int main(int argc, char** argv) {
    curl::globalInit();
    return ek::runService(ek::configPathFromArgs(argc, argv, std::cout), std::cerr);
}
