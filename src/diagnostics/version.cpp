#include "diagnostics/version.h"

#include <cstdio>
#include <cstring>

bool PrintVersionIfAsked(int argc, char** argv, const char* program) {
  if (argc != 2 || argv[1] == nullptr || std::strcmp(argv[1], "--version") != 0) return false;
  std::printf("%s %s\n", program, AmberlineVersion());
  std::fflush(stdout);
  return true;
}
