// The component-server entry points of amberline-mf.dll, the camera for Windows 11's frame
// server (its exports call these; DllCanUnloadNow is the framework's CanUnloadNow).
//
// MfModuleMain is DllMain: the same start-up as the DirectShow module, with the identity
// of LookUpMfCameraIdentity (the custom-source entry of this installation and its
// "MFCLSID", else CLSID_AmberlineMf). MfGetClassObject hands out a class factory for that
// class only; its objects are CMfActivate.
// MfRegisterServer writes only the class key, machine-wide where the frame server (a
// service account, which never sees per-user classes) reads it:
//   HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{clsid}          = camera name
//   HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{clsid}\InprocServer32 = module path,
//                                                    "ThreadingModel" = "Both"
// MfUnregisterServer deletes exactly that key. A copy whose custom-source entry has no
// usable "MFCLSID" runs under the built-in class and refuses both (SELFREG_E_CLASS, with a
// log line naming the entry): it would take over the built-in camera's class.
// Failures of the registry come back as HRESULT_FROM_WIN32 of the system error
// (E_ACCESSDENIED without administrator rights). Threading: any thread after start-up.
#pragma once

#include <string>

#include "platform/windows_types.h"

BOOL MfModuleMain(HINSTANCE hModule, DWORD reason, void* reserved);
HRESULT MfGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT MfRegisterServer();
HRESULT MfUnregisterServer();

// "Software\Classes\CLSID\{clsid}", the class key below HKEY_LOCAL_MACHINE.
std::wstring MfClassKeyName(REFCLSID clsid);
