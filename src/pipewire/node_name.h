// The PipeWire node name of a camera: "amberline-camera." followed by the camera's slug.
// The slug keeps the ASCII letters and digits of the camera's name, lower-cased; every
// run of other characters (spaces, punctuation, bytes of non-ASCII UTF-8 sequences)
// becomes one '-', and no '-' is left at either end. "Trelvox Amberline" gives
// "amberline-camera.trelvox-amberline". Two names with the same slug name the same node.
// A name written wholly in another script (no ASCII letter or digit, but characters
// beyond ASCII: "Камера", "カメラ") is named by a hash of its bytes instead:
// "amberline-camera.u" + 8 hexadecimal digits.
//
// Pure functions: no state, no threads, never throw (beyond std::bad_alloc).
#pragma once

#include <string>

// The slug of name; empty when name has no ASCII letter or digit.
std::string CameraNameSlug(const std::string& name);
// "amberline-camera." + CameraNameSlug(name), or the hashed form above; the bare prefix
// for a name with neither ASCII letters or digits nor characters beyond ASCII.
std::string CameraNodeName(const std::string& name);
