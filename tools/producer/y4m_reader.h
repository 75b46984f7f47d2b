// CY4mReader: reads a YUV4MPEG2 stream (what `ffmpeg -f yuv4mpegpipe` writes) frame by
// frame and converts each frame into the channel's layout (bottom-up B, G, R rows).
//
// Accepted wire format:
//   header  "YUV4MPEG2" then tags, each a space and a letter with its value, ending in
//           "\n" (at most kMaxHeaderBytes bytes):
//             W<width> H<height>   required, positive decimal integers
//             F<num>:<den>         frame rate, both positive (25:1 when absent)
//             I<p|t|b|m|?>         interlacing, read and ignored (frames are shown whole)
//             A<num>:<den>         pixel aspect, read and ignored (square pixels assumed)
//             C<space>             420, 420jpeg, 420paldv, 420mpeg2 (4:2:0), 422, 444,
//                                  mono; 420jpeg when absent. Only 8-bit samples: a
//                                  bit depth (420p10, mono16, ...) is refused by name
//             X<anything>          XCOLORRANGE=FULL selects full-range samples
//                                  (LIMITED, the default, the studio range); other X
//                                  tags are ignored
//           Tags with any other letter are ignored.
//   frame   "FRAME", optional parameters ending in "\n" (at most kMaxHeaderBytes bytes,
//           ignored), then the planes Y, U, V (only Y for mono), 8 bits a sample, rows
//           top line first, each chroma plane ceil(W/2) x ceil(H/2) for 4:2:0,
//           ceil(W/2) x H for 4:2:2, W x H for 4:4:4.
// Samples are read as BT.601: the format has no tag for the colour matrix, and BT.601 is
// what ffmpeg converts pictures and test sources with by default. A video that ffmpeg
// only decodes keeps its own matrix (BT.709 for most HD video, whose colours then come
// out slightly off); `-vf scale=out_color_matrix=bt601` on ffmpeg's side fixes that.
//
// A size whose frame does not fit the channel's frame window is refused by ReadHeader,
// before any frame, with a message giving the limit. Any damage (a bad magic, a tag that
// does not parse, a missing "FRAME", a stream that ends inside a frame) ends the stream
// with an error that names the byte offset where it was found; nothing in the stream
// can make the reader read or write outside its buffers, and every size is computed in
// 64 bits before it is used.
//
// Ownership: owns the planes of the last frame read; the read function is the caller's
// and is called only from the reader's own calls. Not thread-safe: one caller at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CY4mReader {
 public:
  enum class Chroma { k420, k422, k444, kMono };
  struct Format {
    int width = 0;
    int height = 0;
    std::int64_t rateNumerator = 25;  // frames per second = rateNumerator / rateDenominator
    std::int64_t rateDenominator = 1;
    Chroma chroma = Chroma::k420;
    bool fullRange = false;
  };
  enum class Result { kFrame, kEnd, kError };

  // The longest header or FRAME line accepted, its "\n" included.
  static constexpr std::size_t kMaxHeaderBytes = 65536;

  // Reads up to size bytes into buffer; the count read, 0 only at the stream's end (or
  // on a read error, which ends the stream as well).
  using ReadFunction = std::function<std::size_t(std::uint8_t* buffer, std::size_t size)>;

  explicit CY4mReader(ReadFunction read);

  // Reads and checks the stream header; false with *error set when the stream cannot be
  // shown. Called once, before ReadFrame.
  bool ReadHeader(std::string* error);
  const Format& GetFormat() const { return m_format; }
  // Bytes of one converted frame: rows of the channel's padded stride.
  std::int64_t OutputBytes() const;

  // kFrame: the next frame's planes are read. kEnd: the stream ended cleanly between two
  // frames. kError: *error says what is wrong and where.
  Result ReadFrame(std::string* error);
  // The last frame read, converted into destination: Height rows of stride bytes (at
  // least 3 x Width), bottom line first.
  void ConvertFrame(std::uint8_t* destination, std::size_t stride) const;

  // Bytes of the stream consumed so far.
  std::uint64_t Offset() const { return m_offset; }
  std::int64_t FramesRead() const { return m_framesRead; }

 private:
  // Reads exactly size bytes; the number actually read (less only at the stream's end).
  std::size_t ReadExactly(std::uint8_t* buffer, std::size_t size);
  // Reads one "\n"-terminated line (without it) of at most kMaxHeaderBytes bytes.
  bool ReadLine(std::string* line, std::string* error, const char* what);
  bool ParseTag(const std::string& tag, std::uint64_t tagOffset, bool* sawWidth, bool* sawHeight,
                std::string* error);
  std::string At(std::uint64_t offset) const;

  ReadFunction m_read;
  Format m_format;
  std::uint64_t m_offset = 0;
  std::int64_t m_framesRead = 0;
  std::size_t m_lumaBytes = 0;
  std::size_t m_chromaWidth = 0;
  std::size_t m_chromaHeight = 0;
  std::vector<std::uint8_t> m_planes;   // Y, U, V of the last frame
  std::vector<std::uint8_t> m_neutral;  // one row of mid-grey chroma, for mono streams
};
