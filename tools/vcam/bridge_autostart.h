// The bridge agent's start at logon: a value kBridgeAutostartValue under the Run key of
// HKEY_CURRENT_USER (this user) or HKEY_LOCAL_MACHINE (every user), whose data is the
// command line `"<amberline-vcam.exe>" --bridge`. amberline-vcam --install adds it once
// the camera is made, --remove takes it away, --diagnose reports it.
//
// Windows only. Threading: any thread; the registry is the only state. Failure: false
// with the reason in words in *problem (an HKEY_LOCAL_MACHINE write a user without
// administrator rights may not make says so). Removing a value that is not there
// succeeds.
#pragma once

#include <string>
#include <vector>

inline constexpr wchar_t kBridgeAutostartValue[] = L"Amberline Bridge";

// The Run key of one root, as a person would type it
// ("HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run").
std::string BridgeAutostartKeyName(bool allUsers);

// `"<program>" --bridge`; empty when program cannot be written in a command line that
// Windows runs as meant (a path that is not absolute, or holds a quotation mark).
std::wstring BridgeAutostartCommand(const std::wstring& program);

// Sets the value under the Run key of the current user (allUsers: of the machine) to run
// program with --bridge at every logon, replacing what that value held.
bool AddBridgeAutostart(bool allUsers, const std::wstring& program, std::string* problem);

// Deletes the value from the current user's Run key, and from the machine's too when
// allUsers. *removedFrom names each key the value was deleted from.
bool RemoveBridgeAutostart(bool allUsers, std::vector<std::string>* removedFrom, std::string* problem);

struct BridgeAutostartEntry {
  bool allUsers = false;  // the machine's Run key, else the current user's
  std::wstring command;   // the value's data
};
// The values present now, the current user's first.
std::vector<BridgeAutostartEntry> FindBridgeAutostart();
