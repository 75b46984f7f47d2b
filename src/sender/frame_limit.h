// The largest frame the producer can hand on: one frame must fit one frame window of the
// shared region (channel::kFrameAreaSize bytes of bottom-up BGR rows padded to 4 bytes).
#pragma once

#include <cstdint>
#include <string>

// Empty when a width x height frame fits the channel; otherwise a sentence for the user
// that gives the frame's bytes, the window's size and the largest frame of the same
// aspect that fits with both sides at least minSide (the caller's own smallest side), or
// that none does.
std::string FrameSizeProblem(std::int64_t width, std::int64_t height, std::int64_t minSide = 1);
