#include <gtest/gtest.h>

#include "e2e_app/app.h"

// The same program is the test and, with --app, the application process.
int main(int argc, char** argv) {
  if (argc == 8 && std::string(argv[1]) == "--app") return corvane::e2e::AppMain(argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
