// What the registration tool says when a step fails: the status by name, what it means,
// and what the user can do about it.
//
// Threading: any thread; no state.
#pragma once

#include <string>

#include "platform/windows_types.h"

namespace regsvr {

// "NAME (0x........): meaning" for a result of a registration entry point or of a
// registry step (values shared with the media pipeline read as self-registration codes).
std::string DescribeRegistrationStatus(HRESULT hr);

// One or two sentences on what to do about hr, or empty when there is nothing to add.
// registryFolder is where the hive files are kept (empty: the system registry).
std::string AdviceFor(HRESULT hr, const std::string& registryFolder);

// Prints "amberline-regsvr: <what> failed: <status>." and the advice to stderr, or
// otherAdvice when there is none for hr.
void PrintFailure(const std::string& what, HRESULT hr, const std::string& otherAdvice = std::string());

// Prints that the module at path could not be loaded, the system's reason, and what to
// name instead.
void PrintLoadFailure(const std::string& path, const std::string& reason);

}  // namespace regsvr
