// Diagnostic dumps: an interface identifier being queried, a media type and a media
// sample spelled out over several entries of g_Log at the level the caller gives
// (callers use 1 for interface names and media types, 3 for samples).
//
//   LogInterfaceName(1, riid);       // "Querying interface: " then the name, one line
//   LogMediaType(1, &type);          // one entry per field
//   LogMediaSample(3, sample);       // pointers, sizes, flags, times, the attached type
//
// The entries' texts are part of the camera's log format and stay exactly as they are,
// odd spellings ("couldn't", the two-space indents, "Pels") included.
//
// They sit with the framework rather than with the log because the sample dump frees the
// media type copy a sample hands out with DeleteMediaType.
//
// Stateless; callable from any thread. They leave what they inspect unchanged, except
// that LogMediaSample takes and releases one IMediaSample2 reference and frees the media
// type copy the sample hands out. They report no failures: a failed query becomes the
// line that says so and the dump goes on; a null argument writes nothing.
#pragma once

#include "platform/dshow_types.h"

void LogInterfaceName(int level, REFIID riid);
void LogMediaType(int level, const AM_MEDIA_TYPE* pmt);
void LogMediaSample(int level, IMediaSample* pSample);
