// CY4mWriter: writes pictures as a YUV4MPEG2 stream, the plain format that video players
// and encoders read.
//
// The stream is 4:4:4 ("C444"; one Y, Cb and Cr sample per pixel, planes in that order),
// progressive, square pixels, with the frame rate given at Open. Colours are converted
// with the BT.601 matrix into limited range (Y 16–235, Cb/Cr 16–240, the range players
// assume when the header does not say otherwise):
//   Y  = 16  + (( 66 R + 129 G +  25 B + 128) >> 8)
//   Cb = 128 + ((-38 R -  74 G + 112 B + 128) >> 8)
//   Cr = 128 + ((112 R -  94 G -  18 B + 128) >> 8)
// Every frame must have the size given at Open; a picture of another size is refused
// (false) and nothing of it is written, so the stream stays readable.
// The path may name a pipe (a FIFO): nothing is buffered, so a frame counted as written
// has reached the reader's side.
// Ownership: owns its file, closed by Close or destruction. One thread at a time.
// Failure: Open, WriteFrame and Close return false when the file cannot be created or
// written; the file is then incomplete. ReaderGone tells whether that failure was a
// pipe whose reader had closed it, Stopped whether a stop request ended a write that
// waited for its reader (the caller decides whether either is an error).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/output_file.h"
#include "rgb_picture.h"

class CY4mWriter {
 public:
  // The header line (with its line feed) for the given size and rate. A rate that is
  // not positive is written as 25:1.
  static std::string Header(int width, int height, std::uint32_t rateNumerator, std::uint32_t rateDenominator);
  // The three planes of one frame, without the "FRAME" line.
  static std::vector<std::uint8_t> Planes(const CRgbPicture& picture);
  // rate from a frame duration in 100 ns units (0 or less: 25 frames a second), reduced.
  static void RateFromDuration(long long duration100ns, std::uint32_t* numerator, std::uint32_t* denominator);

  bool Open(const std::string& path, int width, int height, std::uint32_t rateNumerator,
            std::uint32_t rateDenominator);
  // Counted in FramesWritten once all of it has been handed to the system.
  bool WriteFrame(const CRgbPicture& picture);
  bool Close();
  long long FramesWritten() const { return m_frames; }
  bool ReaderGone() const { return m_ended == platform::COutputFile::Result::kReaderGone; }
  bool Stopped() const { return m_ended == platform::COutputFile::Result::kStopped; }

 private:
  // Writes all of it; false (noting why) when it could not.
  bool Put(const void* data, std::size_t size);

  platform::COutputFile m_file;
  int m_width = 0;
  int m_height = 0;
  long long m_frames = 0;
  platform::COutputFile::Result m_ended = platform::COutputFile::Result::kWritten;
};
