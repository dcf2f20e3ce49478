// In test binaries, a failed set-up step of the bed or of a board model fails the running test.
#include <gtest/gtest.h>

#include "char_device.h"

namespace {

const bool g_installed = [] {
    testbed::set_problem_handler([](const std::string& what) { ADD_FAILURE() << what; });
    return true;
}();

}  // namespace
