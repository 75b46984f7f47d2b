// The camera's identity: which camera this copy of the module is. It sits below both
// the filter (which carries the class identifier and loads its pictures from the
// installation root of g_hModule) and the module (which looks the identity up at load,
// hands it to its class factory and registers it), so neither reaches into the other.
//
//   // at process attach, on the loading thread:
//   g_hModule = hModule;
//   SetCameraIdentity(LookUpCameraIdentity(platform::GetModulePath(hModule)));
//   // afterwards, on any thread:
//   const CLSID clsid = g_pFilterClsid != nullptr ? *g_pFilterClsid : CLSID_Amberline;
//
// One module file can be installed at several paths; each copy looks its own path up in
// the machine-wide list of custom sources (HKEY_LOCAL_MACHINE\SOFTWARE\Trelvox\Amberline,
// one subkey per camera with the default value = friendly name, "Path" = module file,
// "CLSID" = class identifier without braces, optional "Channel" = the name of the
// channel it shows). The first entry whose "Path" equals the module path, ignoring letter
// case, gives the name, class identifier and channel; without one the built-in identity
// "Trelvox Amberline" / CLSID_Amberline on the default channel is used.
//
// The globals are written once, at process attach on the loading thread, and only read
// afterwards (no locks). They are null before start-up, and stay null in a program that
// links the filter without loading the module (tests, benchmarks): the filter then uses
// the built-in class identifier and loads no pictures by itself.
#pragma once

#include <string>

#include "platform/windows_types.h"

extern HMODULE g_hModule;
extern WCHAR g_FilterName[1024];
extern WCHAR* g_pFilterName;
extern const CLSID* g_pFilterClsid;
extern bool g_bCustomSourceFound;

// {5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A}
extern const CLSID CLSID_Amberline;
inline constexpr const wchar_t* kBuiltInFilterName = L"Trelvox Amberline";
// The Media Foundation camera's own class (amberline-mf.dll), never the filter's.
// {9C3E6B14-2F7A-4E85-B0D1-6A4F8C2E7B39}
extern const CLSID CLSID_AmberlineMf;
// The DirectShow module's file name; the Media Foundation module sits beside it.
inline constexpr const wchar_t* kFilterModuleFileName = L"amberline.dll";

struct CameraIdentity {
  std::wstring name;
  CLSID clsid;
  bool customSourceFound;
  // The subkey of the matching entry when its "CLSID" value does not parse, else empty.
  std::wstring unparsableClsidEntry;
  // The entry's "Channel" value (channel_name.h); empty: the default channel.
  std::wstring channel = {};
  // The subkey of the matching entry when its "Channel" value is not a channel name.
  std::wstring badChannelEntry = {};
};

// Looks modulePath up in the custom-source list and writes the identity lines to g_Log.
// Never fails: registry trouble of any kind yields the built-in identity. A matching
// entry whose "CLSID" does not parse keeps its name but gets the built-in class
// identifier, and a line says so; such a copy runs, but must never register (it would
// take over the built-in camera's class), see UnparsableClsidEntry. A matching entry
// whose "Channel" is not a channel name keeps its name and class, shows the default
// channel, a line names the entry, and the copy must not register (BadChannelEntry).
CameraIdentity LookUpCameraIdentity(const std::wstring& modulePath);

// The identity of the Media Foundation module at mfModulePath (amberline-mf.dll). One
// custom-source entry describes one installed camera for both front ends: the entry whose
// "Path" names this file, or the DirectShow module beside it (kFilterModuleFileName in the
// same folder), gives the name, and its "MFCLSID" value (without braces) the class.
// Without a matching entry: the built-in name and CLSID_AmberlineMf. A matching entry whose
// "MFCLSID" is missing, does not parse, or names a class the cameras already use (either
// built-in class, or the entry's own "CLSID") keeps its name, runs under CLSID_AmberlineMf
// and sets unparsableClsidEntry, so that the copy never registers over the built-in
// camera's class. Writes the same identity lines to g_Log as LookUpCameraIdentity.
CameraIdentity LookUpMfCameraIdentity(const std::wstring& mfModulePath);

// Fixes the identity globals (and so the class factory's template) and the process's
// channel (channel::SetProcessChannel). In
// the Media Foundation module they hold that module's identity (g_pFilterClsid is then
// its CLSID_AmberlineMf or "MFCLSID" class).
void SetCameraIdentity(const CameraIdentity& identity);

// The subkey of the custom-source entry that named this copy with a "CLSID" value that is
// not a class identifier; empty when the identity is sound. Fixed at start-up.
const WCHAR* UnparsableClsidEntry();
// The subkey of the custom-source entry that named this copy with a "Channel" value that
// is not a channel name; empty when it has none or a sound one. Fixed at start-up.
const WCHAR* BadChannelEntry();
// True, with a line in the log naming the entry, when the copy must not register because
// of a bad "Channel" value (it would be a camera that shows another camera's feed).
// Unregistering stays allowed: the class is the entry's own.
bool RefusedForBadChannel();
