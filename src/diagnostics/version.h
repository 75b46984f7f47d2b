// The product's version, set in one place: the project's version in the build
// (CMakeLists.txt), compiled into every tool and the module.
//
//   if (PrintVersionIfAsked(argc, argv, "amberline-producer")) return 0;
#pragma once

// "MAJOR.MINOR.PATCH".
const char* AmberlineVersion();

// True, after "<program> <version>" and a line end on standard output, when the command
// line is exactly "--version"; false (nothing printed) otherwise.
bool PrintVersionIfAsked(int argc, char** argv, const char* program);
