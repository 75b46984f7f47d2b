// The Windows 11 virtual-camera names that MinGW-w64's headers lack: IMFMediaStream2,
// the virtual-camera enumerations and interfaces (IMFVirtualCamera, IMFCameraSyncObject),
// MFFrameSourceTypes, the device-stream attribute keys and KSCATEGORY_SENSOR_CAMERA, with
// the published method order and values; and CVirtualCameraApi, which finds
// MFCreateVirtualCamera and MFIsVirtualCameraTypeSupported in mfsensorgroup.dll at run
// time (the import library has neither, and Windows before build 22000 and Wine lack them).
//
// Windows only. Ownership: CVirtualCameraApi keeps the library loaded while it lives;
// its function pointers are null when not available. Threading: Load once, then read
// from any thread. Failure: Load returns false and Error() says why.
#pragma once

#ifdef _WIN32

#include <windows.h>
#include <devpropdef.h>
#include <mfidl.h>
#include <mfobjects.h>

#include <string>

#include "platform/shared_library.h"

// A source with attribute stores (declared by mfidl.h only for builds aimed at Windows 8 and
// later; this project aims lower, and the source is only ever loaded by newer systems).
#ifndef __IMFMediaSourceEx_INTERFACE_DEFINED__
#define __IMFMediaSourceEx_INTERFACE_DEFINED__
DEFINE_GUID(IID_IMFMediaSourceEx, 0x3c9b2eb9, 0x86d5, 0x4514, 0xa3, 0x94, 0xf5, 0x66, 0x64, 0xf9, 0xf0, 0xd8);
struct IMFMediaSourceEx : public IMFMediaSource {
  virtual HRESULT STDMETHODCALLTYPE GetSourceAttributes(IMFAttributes** attributes) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamAttributes(DWORD streamIdentifier, IMFAttributes** attributes) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetD3DManager(IUnknown* manager) = 0;
};
__CRT_UUID_DECL(IMFMediaSourceEx, 0x3c9b2eb9, 0x86d5, 0x4514, 0xa3, 0x94, 0xf5, 0x66, 0x64, 0xf9, 0xf0, 0xd8)
#endif

// A stream whose selection state can be read and set while the source runs.
struct IMFMediaStream2 : public IMFMediaStream {
  virtual HRESULT STDMETHODCALLTYPE SetStreamState(MF_STREAM_STATE value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamState(MF_STREAM_STATE* value) = 0;
};
__CRT_UUID_DECL(IMFMediaStream2, 0xc5bc37d6, 0x75c7, 0x46a1, 0xa1, 0x32, 0x81, 0xb5, 0xf7, 0x23, 0xc2, 0x0f)

enum MFVirtualCameraType { MFVirtualCameraType_SoftwareCameraSource = 0 };
enum MFVirtualCameraLifetime { MFVirtualCameraLifetime_Session = 0, MFVirtualCameraLifetime_System = 1 };
enum MFVirtualCameraAccess { MFVirtualCameraAccess_CurrentUser = 0, MFVirtualCameraAccess_AllUsers = 1 };

enum MFFrameSourceTypes {
  MFFrameSourceTypes_Color = 0x0001,
  MFFrameSourceTypes_Infrared = 0x0002,
  MFFrameSourceTypes_Depth = 0x0004,
  MFFrameSourceTypes_Image = 0x0008,
  MFFrameSourceTypes_Custom = 0x0080,
};

struct IMFCameraSyncObject : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE WaitOnSignal(DWORD timeOutInMs) = 0;
  virtual void STDMETHODCALLTYPE Shutdown() = 0;
};
__CRT_UUID_DECL(IMFCameraSyncObject, 0x6338b23a, 0x3042, 0x49d2, 0xa3, 0xea, 0xec, 0x0f, 0xed, 0x81, 0x54, 0x07)

struct IMFVirtualCamera : public IMFAttributes {
  virtual HRESULT STDMETHODCALLTYPE AddDeviceSourceInfo(LPCWSTR deviceSourceInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddProperty(const DEVPROPKEY* key, DEVPROPTYPE type, const BYTE* data,
                                                ULONG dataBytes) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddRegistryEntry(LPCWSTR entryName, LPCWSTR subkeyPath, DWORD regType,
                                                     const BYTE* data, ULONG dataBytes) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start(IMFAsyncCallback* callback) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMediaSource(IMFMediaSource** mediaSource) = 0;
  virtual HRESULT STDMETHODCALLTYPE SendCameraProperty(REFGUID propertySet, ULONG propertyId, ULONG propertyFlags,
                                                       void* propertyPayload, ULONG propertyPayloadLength,
                                                       void* data, ULONG dataLength, ULONG* dataWritten) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateSyncEvent(REFGUID kseventSet, ULONG kseventId, ULONG kseventFlags,
                                                    HANDLE eventHandle, IMFCameraSyncObject** cameraSyncObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateSyncSemaphore(REFGUID kseventSet, ULONG kseventId, ULONG kseventFlags,
                                                        HANDLE semaphoreHandle, LONG semaphoreAdjustment,
                                                        IMFCameraSyncObject** cameraSyncObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE Shutdown() = 0;
};
__CRT_UUID_DECL(IMFVirtualCamera, 0x1c08a864, 0xef6c, 0x4c75, 0xaf, 0x59, 0x5f, 0x2d, 0x68, 0xda, 0x95, 0x63)

// Stream attributes: the stream's category (a pin name GUID), its 0-based index, whether
// shared-mode applications may open it, and the MFFrameSourceTypes it delivers.
EXTERN_GUID(MF_DEVICESTREAM_STREAM_CATEGORY, 0x2939e7b8, 0xa62e, 0x4579, 0xb6, 0x74, 0xd4, 0x07, 0x3d, 0xfa, 0xbb, 0xba);
EXTERN_GUID(MF_DEVICESTREAM_STREAM_ID, 0x11bd5120, 0xd124, 0x446b, 0x88, 0xe6, 0x17, 0x06, 0x02, 0x57, 0xff, 0xf9);
EXTERN_GUID(MF_DEVICESTREAM_FRAMESERVER_SHARED, 0x1cb378e9, 0xb279, 0x41d4, 0xaf, 0x97, 0x34, 0xa2, 0x43, 0xe6, 0x83,
            0x20);
EXTERN_GUID(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, 0x17145fd1, 0x1b2b, 0x423c, 0x80, 0x01, 0x2b, 0x68, 0x33,
            0xed, 0x35, 0x88);
// Source attribute: the package family name of the application that configures the camera.
EXTERN_GUID(MF_VIRTUALCAMERA_CONFIGURATION_APP_PACKAGE_FAMILY_NAME, 0x658abe51, 0x8044, 0x462e, 0x97, 0xea, 0xe6,
            0x76, 0xfd, 0x72, 0x05, 0x5f);
EXTERN_GUID(KSCATEGORY_SENSOR_CAMERA, 0x24e552d7, 0x6523, 0x47f7, 0xa6, 0x47, 0xd3, 0x46, 0x5b, 0xf1, 0xf5, 0xca);
// The pin name of a capture stream (also in ksmedia.h, which needs kernel-streaming headers first).
EXTERN_GUID(AMBERLINE_PINNAME_VIDEO_CAPTURE, 0xfb6c4281, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16,
            0xba);

using MFCreateVirtualCameraFunction = HRESULT(WINAPI*)(MFVirtualCameraType type, MFVirtualCameraLifetime lifetime,
                                                       MFVirtualCameraAccess access, LPCWSTR friendlyName,
                                                       LPCWSTR sourceId, const GUID* categories,
                                                       ULONG categoryCount, IMFVirtualCamera** virtualCamera);
using MFIsVirtualCameraTypeSupportedFunction = HRESULT(WINAPI*)(MFVirtualCameraType type, BOOL* supported);

class CVirtualCameraApi {
 public:
  // Loads mfsensorgroup.dll and looks both functions up. False (and both null) when the
  // library or either function is missing: this system has no virtual cameras.
  bool Load();
  bool IsAvailable() const { return m_create != nullptr; }
  MFCreateVirtualCameraFunction Create() const { return m_create; }
  MFIsVirtualCameraTypeSupportedFunction IsTypeSupported() const { return m_isTypeSupported; }
  const std::wstring& Error() const { return m_error; }

 private:
  CSharedLibrary m_library;
  MFCreateVirtualCameraFunction m_create = nullptr;
  MFIsVirtualCameraTypeSupportedFunction m_isTypeSupported = nullptr;
  std::wstring m_error;
};

#endif  // _WIN32
