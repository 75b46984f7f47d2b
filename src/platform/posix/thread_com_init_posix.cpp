#include "platform/thread_com_init.h"

#include "platform/dshow_types.h"

HRESULT InitializeThreadComponentRuntime() { return CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE); }

void UninitializeThreadComponentRuntime() { CoUninitialize(); }
