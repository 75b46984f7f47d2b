// amberline-vcam: registers the camera with Windows 11's frame server as a virtual camera
// (see vcam_commands.h and the usage text in vcam_options.cpp).
#include <iostream>
#include <string>
#include <vector>

#include "diagnostics/version.h"
#include "vcam_commands.h"

int main(int argc, char** argv) {
  if (PrintVersionIfAsked(argc, argv, "amberline-vcam")) return 0;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  const int status = RunVcam(arguments, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
