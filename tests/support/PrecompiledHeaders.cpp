// Carries the tests' shared precompiled header (qo_test_pch in cmake/QoHelpers.cmake); no code.
