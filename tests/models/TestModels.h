#pragma once

#include <string>

// Paths of the models that tests/models/make_test_models.py writes into the build tree
// (target qo_test_models; depend on it).
inline std::string testModelDir() {
    return std::string(QO_BINARY_DIR) + "/testdata/models";
}
inline std::string testModel(const std::string& name) {
    return testModelDir() + "/" + name;
}
