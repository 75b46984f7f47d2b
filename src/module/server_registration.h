// The registry side of the module's self-registration: the class keys of every template
// ("CLSID\{…}" with the display name, and "InprocServer32" with the module path and its
// threading model) and the templates' filter setup data given to the system's filter
// mapper.
//
//   const HRESULT hr = RegisterModuleServer(true);   // every template; false removes them
//
// The module path is written as the system reports it, in full and in wide characters,
// so that a path outside the system code page or longer than 259 characters still names
// the file that is loaded.
//
// Failures of the registry are reported as HRESULT_FROM_WIN32 of the system error.
// Threading: any thread; the registry serialises the writes.
#pragma once

#include <string>

#include "com/factory_template.h"
#include "com/server_keys.h"
#include "platform/dshow_types.h"

// Registering: writes the class keys of every template (the first failure stops it and
// is returned), then gives each template's setup data to the filter mapper. Unregistering:
// withdraws the setup data, then deletes the class keys.
HRESULT RegisterModuleServer(bool bRegister);

// Creates (or opens) HKEY_CLASSES_ROOT\CLSID\{clsid} with default value name, and its
// subkey serverKey with default value path and "ThreadingModel" = threadingModel.
HRESULT WriteServerKeys(REFCLSID clsid, const WCHAR* name, const std::wstring& path, const WCHAR* threadingModel,
                        const WCHAR* serverKey);
// The same for the class key classKey below root (for a machine-wide class that services
// must see: HKEY_LOCAL_MACHINE, "Software\Classes\CLSID\{…}").
HRESULT WriteServerKeys(HKEY root, const std::wstring& classKey, const WCHAR* name, const std::wstring& path,
                        const WCHAR* threadingModel, const WCHAR* serverKey);

// Deletes name below parent with everything under it. E_FAIL for an empty name; S_OK
// when there is nothing to delete.
HRESULT DeleteKeyTree(HKEY parent, const WCHAR* name);

// Gives one template's setup data to a mapper (IFilterMapper2, else the older
// IFilterMapper; the other may be null). S_FALSE when the template has none. A missing
// earlier registration (0x80070002) is not a failure.
HRESULT RegisterTemplateSetup(IFilterMapper2* pMapper2, IFilterMapper* pMapper, const CFactoryTemplate& entry,
                              bool bRegister);
