// write_user_unit PROGRAM FILE: writes the systemd user unit a system installation ships,
// running PROGRAM, to FILE (the text amberline-camera --install-user-service writes for the
// default camera). Exit status 0 when FILE was written whole, 1 otherwise, 2 for a wrong
// command line.
#include <cstdio>
#include <fstream>
#include <string>

#include "user_service.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: write_user_unit PROGRAM FILE\n", stderr);
    return 2;
  }
  const std::string text = CUserService::PackagedUnitText(argv[1]);
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "write_user_unit: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
