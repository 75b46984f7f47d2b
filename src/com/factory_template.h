// CFactoryTemplate: one entry of the module's table of creatable classes.
//
// The module keeps a table of these (g_Templates); the class factory creates objects
// through m_lpfnNew and the module entry runs m_lpfnInit at load and unload. Entries are
// plain data, written at module start-up on the loading thread and only read afterwards.
#pragma once

#include "platform/com_types.h"
#include "platform/windows_types.h"

struct IUnknown;
class CUnknown;
struct AMOVIESETUP_FILTER;

// Both are called with the platform's calling convention (__stdcall on 32-bit Windows),
// as the classes' own creation and initialisation functions are declared.
using LPFNNewCOMObject = CUnknown*(WINAPI*)(IUnknown* pUnkOuter, HRESULT* phr);
using LPFNInitRoutine = void(WINAPI*)(BOOL bLoading, const CLSID* rclsid);

struct CFactoryTemplate {
  const WCHAR* m_Name;
  const CLSID* m_ClsID;
  LPFNNewCOMObject m_lpfnNew;
  LPFNInitRoutine m_lpfnInit;
  const AMOVIESETUP_FILTER* m_pAMovieSetup_Filter;

  bool IsClassID(REFCLSID rclsid) const { return m_ClsID != nullptr && IsEqualCLSID(*m_ClsID, rclsid); }
};
