#include "frame_source.h"

#include <chrono>
#include <cstring>
#include <ctime>

#include <opencv2/imgproc.hpp>

#include "composer/letterbox.h"
#include "composer/picture_loader.h"
#include "platform/wide_string.h"

CFrameSource::CFrameSource(int width, int height)
    : m_width(width),
      m_height(height),
      m_stride((static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3}),
      m_canvas(height, width, CV_8UC3),
      m_frame(m_stride * static_cast<std::size_t>(height)) {}

bool CFrameSource::LoadPicture(const std::string& path, std::string* error) {
  std::unique_ptr<CImage> picture = LoadPictureBGR(platform::Utf8ToWide(path));
  if (picture == nullptr) {
    *error = path + " is missing or not a PNG picture of a usable size";
    return false;
  }
  // The camera's own letterbox: the picture keeps its aspect ratio inside black bars.
  // A picture never changes: it is put into the channel's layout once, here, and every
  // frame hands out the same bytes.
  if (!ScaleFrameLetterboxed(*picture, m_frame.data(), m_width, m_height)) {
    *error = path + " cannot be scaled to " + std::to_string(m_width) + "x" + std::to_string(m_height);
    return false;
  }
  m_still = true;
  return true;
}

void CFrameSource::DrawPattern(std::int64_t frameNumber) {
  static const cv::Scalar kBars[] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                     {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
  const int bars = 8;
  const int shift = static_cast<int>(frameNumber % m_width);
  // The bars are the same on every line: draw the top line, then copy it down, which
  // writes the canvas in memory order.
  cv::Mat top = m_canvas.row(0);
  for (int x = 0; x < m_width; ++x) {
    const cv::Scalar& colour = kBars[((x + shift) % m_width) * bars / m_width];
    top.at<cv::Vec3b>(0, x) = cv::Vec3b(static_cast<std::uint8_t>(colour[0]), static_cast<std::uint8_t>(colour[1]),
                                        static_cast<std::uint8_t>(colour[2]));
  }
  for (int y = 1; y < m_height; ++y) top.copyTo(m_canvas.row(y));
  const double scale = m_height / 480.0;
  const int thickness = std::max(1, static_cast<int>(2 * scale));
  // Orientation mark: a red square with a white "F" in the top-left corner.
  const int mark = std::max(8, m_height / 6);
  cv::rectangle(m_canvas, cv::Rect(0, 0, mark, mark), cv::Scalar(0, 0, 200), cv::FILLED);
  const int stroke = std::max(2, mark / 8);
  cv::rectangle(m_canvas, cv::Rect(mark / 4, mark / 6, stroke, mark * 2 / 3), cv::Scalar(255, 255, 255), cv::FILLED);
  cv::rectangle(m_canvas, cv::Rect(mark / 4, mark / 6, mark / 2, stroke), cv::Scalar(255, 255, 255), cv::FILLED);
  cv::rectangle(m_canvas, cv::Rect(mark / 4, mark / 2 - stroke / 2, mark / 3, stroke), cv::Scalar(255, 255, 255),
                cv::FILLED);

  const std::time_t now = std::time(nullptr);
  char clock[32];
  std::strftime(clock, sizeof clock, "%H:%M:%S", std::localtime(&now));
  const std::string lines[] = {"Amberline test pattern", "frame " + std::to_string(frameNumber), clock};
  int y = m_height / 2 - static_cast<int>(40 * scale);
  for (const std::string& line : lines) {
    const cv::Point at(std::max(mark + 8, m_width / 8), y);
    cv::putText(m_canvas, line, at, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(0, 0, 0), thickness + 3, cv::LINE_AA);
    cv::putText(m_canvas, line, at, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(255, 255, 255), thickness,
                cv::LINE_AA);
    y += static_cast<int>(40 * scale);
  }
}

const std::vector<std::uint8_t>& CFrameSource::Frame(std::int64_t frameNumber) {
  if (!m_still) {
    DrawPattern(frameNumber);
    StoreFrame(m_canvas);
  }
  return m_frame;
}

void CFrameSource::StoreFrame(const cv::Mat& topDown) {
  // Bottom-up rows with the padded stride.
  for (int row = 0; row < m_height; ++row)
    std::memcpy(m_frame.data() + static_cast<std::size_t>(m_height - 1 - row) * m_stride, topDown.ptr(row),
                static_cast<std::size_t>(m_width) * 3);
}
