// The camera filter as the benchmarks create it: directly, without loading the module,
// holding one reference the caller releases. A stream loads its pictures below the loaded
// module's installation; with no module loaded it gets the shipped ones from the source
// tree's pictures/ folder (AMBERLINE_PICTURES_ROOT), which is laid out as an installation.
// Null when the filter cannot be created.
#pragma once

#include "filter/video_src_filter.h"
#include "filter/video_src_stream.h"
#include "identity/camera_identity.h"
#include "platform/wide_string.h"

inline CVideoSrcFilter* CreateBenchCamera() {
  HRESULT hr = E_FAIL;
  CUnknown* object = CVideoSrcFilter::CreateInstance(nullptr, &hr);
  if (object == nullptr) return nullptr;
  auto* camera = static_cast<CVideoSrcFilter*>(object);
  camera->AddRef();
  if (g_hModule == nullptr) camera->Stream()->Images().LoadPictures(platform::Utf8ToWide(AMBERLINE_PICTURES_ROOT));
  return camera;
}
