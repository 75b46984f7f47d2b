// The RGB24 media type an application proposes when it connects to the camera: one
// picture size and one frame time. Shared by the benchmarks that connect the camera.
#pragma once

#include <cstring>

#include "framework/media_type.h"

// avgTimePerFrame in 100-ns units (400,000: the camera's default 40 ms; 100,000: its
// 10 ms minimum).
inline CMediaType VideoType(LONG width, LONG height, REFERENCE_TIME avgTimePerFrame = 400000) {
  CMediaType type;
  type.SetType(&MEDIATYPE_Video);
  type.SetSubtype(&MEDIASUBTYPE_RGB24);
  type.SetFormatType(&FORMAT_VideoInfo);
  auto* format = reinterpret_cast<VIDEOINFOHEADER*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  std::memset(format, 0, sizeof(VIDEOINFOHEADER));
  format->AvgTimePerFrame = avgTimePerFrame;
  format->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format->bmiHeader.biWidth = width;
  format->bmiHeader.biHeight = height;
  format->bmiHeader.biPlanes = 1;
  format->bmiHeader.biBitCount = 24;
  format->bmiHeader.biCompression = BI_RGB;
  format->bmiHeader.biSizeImage = GetBitmapSize(&format->bmiHeader);
  type.SetSampleSize(format->bmiHeader.biSizeImage);
  return type;
}
