// Per-thread initialisation of the component runtime for framework worker threads.
//
// InitializeThreadComponentRuntime joins the calling thread to the multithreaded
// apartment with OLE1 DDE disabled. On Windows it uses the runtime already loaded into
// the process ("CoInitializeEx" looked up by name in "ole32.dll"), so a module never
// loads the runtime on its own; E_FAIL when the module or the entry is not there. Where
// there is no component runtime the call succeeds and does nothing.
//
// A thread calls UninitializeThreadComponentRuntime once after its work, and only when
// the initialisation returned a success code.
#pragma once

#include "platform/windows_types.h"

HRESULT InitializeThreadComponentRuntime();
void UninitializeThreadComponentRuntime();
