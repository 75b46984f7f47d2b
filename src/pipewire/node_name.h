// The PipeWire node name of a camera: "amberline-camera." followed by the camera's slug.
// The slug keeps the ASCII letters and digits of the camera's name, lower-cased; every
// run of other characters (spaces, punctuation, bytes of non-ASCII UTF-8 sequences)
// becomes one '-', and no '-' is left at either end. "Trelvox Amberline" gives
// "amberline-camera.trelvox-amberline". Two names with the same slug name the same node.
//
// Pure functions: no state, no threads, never throw (beyond std::bad_alloc).
#pragma once

#include <string>

// The slug of name; empty when name has no ASCII letter or digit.
std::string CameraNameSlug(const std::string& name);
// "amberline-camera." + CameraNameSlug(name).
std::string CameraNodeName(const std::string& name);
