#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // Tests leave detached threads behind; forking a process that has threads is unsafe, so death tests
  // run in a freshly started copy of this program instead.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
