#include <gtest/gtest.h>

#include "support/fakenet.h"

// The namespace has to be made while this is the only thread, before GoogleTest or anything else
// starts one. A failure is kept for the tests to skip with; listing the tests still works.
int main(int argc, char** argv) {
  fakenet::EnterPrivateNamespace();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
