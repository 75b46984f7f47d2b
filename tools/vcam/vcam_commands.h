// The jobs of amberline-vcam. RunVcam parses the command line and runs one job, writing
// what it did to out and every failure, in words with what to do about it, to err.
//
// Exit status: 0 success; 1 failure; 2 a wrong command line; 3 no virtual cameras on this
// Windows (MFCreateVirtualCamera missing: before Windows 11, or Wine), where the camera
// still serves DirectShow applications through amberline.dll.
//
// --install: the camera's identity (LookUpMfCameraIdentity of the module), the frame
// server checks (a failing check is a warning with its fix), then, where the system has
// virtual cameras, the class registration (DllRegisterServer of the module when the class
// key does not name it), then MFCreateVirtualCamera (software camera source, System
// lifetime, the current user or --all-users) with the camera's name and "{MFCLSID}", and
// Start; once the camera is there, the bridge agent's start at logon (bridge_autostart.h;
// a failure there is status 1 with the camera left installed). --remove makes the same
// call and Remove, then takes the agent's start at logon away. --run: Session lifetime, Start, waits
// for Ctrl+C or SIGTERM, Shutdown (status 1 when it fails). --list: the video capture devices of
// MFEnumDeviceSources and the class registration. --check: the identity, the checks and
// the registration; 1 when a check failed. --diagnose: the report of diagnose_report.h;
// 1 when one of its lines is NO.
//
// Threading: the main thread; one job per process. It initialises COM and Media
// Foundation itself where a job needs them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

int RunVcam(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
