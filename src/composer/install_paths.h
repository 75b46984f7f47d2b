// Where the camera's installation is: the module lives in a folder (Bin) inside the
// installation folder, and the pictures in the installation folder's Data and data
// subfolders. Paths use the system's separator and end with one when they name a folder.
#pragma once

#include <string>

#include "platform/windows_types.h"

// The folder of module's file, ending in a separator; empty when the system cannot tell.
std::wstring GetModuleDirectory(HMODULE module);
// The parent of folder, ending in a separator. The parent of a folder directly below a
// root is that root ("C:\", "/"); a path with no separator at all is returned as it is.
std::wstring GetParentDirectory(const std::wstring& folder);
// The installation root of module and its two pictures.
std::wstring GetInstallationRoot(HMODULE module);
std::wstring GetPlaceholderPath(const std::wstring& root);
// The installation root of a program that is not in the module's folder, from the folder
// of the program's file (ending in a separator): the first of these that holds the
// placeholder picture, else the last one:
//   <folder>/..                  an installation, the program in <root>/Bin
//   <folder>/../lib/amberline/   a system installation, the program in <prefix>/bin
//   <folder>/../stage/           a build tree, the program in <build>/bin
// Ends with a separator.
std::wstring FindProgramInstallationRoot(const std::wstring& programFolder);
std::wstring GetLogoPath(const std::wstring& root);
