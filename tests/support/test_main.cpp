#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/support/test_environment.h"

namespace vlvpn::test {

bool strictEnvironment() {
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

}  // namespace vlvpn::test

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
