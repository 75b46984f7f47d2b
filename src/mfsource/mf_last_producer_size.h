// The producer's frame size last seen in this user's session, kept as a small registry
// value so that a camera source can offer that size first without opening the channel
// when it is made (making a source must stay cheap: the frame service makes one only to
// read its formats). Written by whoever sees the producer's frames on the user's side
// (the bridge agent, a source running in an application's own process); read when a
// source is made. The camera service in session 0 reads its own account's value, which
// nobody writes, and offers the size ladder alone.
//
// HKEY_CURRENT_USER\Software\Trelvox\Amberline, value "<namespace>LastProducerSize",
// REG_SZ "<width>x<height>" (the namespace is AMBERLINE_CHANNEL_NAMESPACE, empty outside
// tests). Windows only. Threading: any thread. Failure: a value that is missing, of another
// type, or not two sides in 1..16384 reads as none (0, 0); a write that fails is dropped.
#pragma once

#include <cstdint>
#include <utility>

std::pair<std::int32_t, std::int32_t> ReadLastProducerSize();
void RememberProducerSize(std::int32_t width, std::int32_t height);
