#include <gtest/gtest.h>

#include "support/test_deadline.h"
#include "support/test_support.h"

int main(int argc, char** argv) {
  const int childResult = testing_support::RunChildModeIfRequested(argc, argv);
  if (childResult >= 0) return childResult;
  testing::InitGoogleTest(&argc, argv);
  return testing_support::RunAllTestsWithDeadline();
}
