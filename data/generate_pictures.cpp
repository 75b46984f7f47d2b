// Draws the two pictures the camera ships and writes them as PNG files:
//
//   <folder>/Data/Images/VideoSrc/PleaseStart.png   shown while no producer is running
//   <folder>/data/effect_data/logo/logo.png         the corner logo, RGBA with transparency
//
// Usage: generate_pictures <output folder>
//
// Every shape is drawn as a coverage mask at a multiple of the final size and reduced by
// area averaging, then colour is laid over a floating-point canvas with that coverage.
// This keeps edges smooth beyond what the anti-aliased drawing calls give on their own and
// lets glows and shadows be made from the same masks. Nothing depends on the clock or on
// random numbers: running the program again writes the same bytes.
//
// The committed copies live in data/pictures/ and are redrawn by scripts/draw-pictures.sh.

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wunused-function"
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>
#pragma GCC diagnostic pop

namespace {

// Drawing calls take fixed-point coordinates with this many fraction bits, so shapes are
// placed with sub-pixel precision on the enlarged mask.
constexpr int kShift = 4;
constexpr double kFixedOne = 1 << kShift;

using Colour = cv::Vec3f;  // 0..1 per channel, in R, G, B order (the order the PNG stores)

Colour Rgb(int r, int g, int b) {
  return Colour(static_cast<float>(r) / 255.0F, static_cast<float>(g) / 255.0F, static_cast<float>(b) / 255.0F);
}

// A canvas for shapes given in final-picture units, drawn `scale` times larger.
class CMaskPainter {
 public:
  CMaskPainter(cv::Size finalSize, int scale)
      : m_scale(scale), m_mask(finalSize.height * scale, finalSize.width * scale, CV_8UC1, cv::Scalar(0)) {}

  cv::Point P(double x, double y) const {
    return cv::Point(static_cast<int>(std::lround(x * m_scale * kFixedOne)),
                     static_cast<int>(std::lround(y * m_scale * kFixedOne)));
  }
  int R(double radius) const { return static_cast<int>(std::lround(radius * m_scale * kFixedOne)); }
  int T(double thickness) const { return std::max(1, static_cast<int>(std::lround(thickness * m_scale))); }

  void Disc(double x, double y, double radius) {
    cv::circle(m_mask, P(x, y), R(radius), cv::Scalar(255), cv::FILLED, cv::LINE_AA, kShift);
  }
  void Ring(double x, double y, double radius, double thickness) {
    cv::circle(m_mask, P(x, y), R(radius), cv::Scalar(255), T(thickness), cv::LINE_AA, kShift);
  }
  // Outline of a rounded rectangle, for Fill and Erase.
  static std::vector<cv::Point2d> RoundedRect(double x0, double y0, double x1, double y1, double radius) {
    std::vector<cv::Point2d> points;
    const double cx[4] = {x1 - radius, x0 + radius, x0 + radius, x1 - radius};
    const double cy[4] = {y1 - radius, y1 - radius, y0 + radius, y0 + radius};
    constexpr int kSteps = 24;
    for (int corner = 0; corner < 4; ++corner) {
      for (int i = 0; i <= kSteps; ++i) {
        const double angle = (corner * 90.0 + i * 90.0 / kSteps) * CV_PI / 180.0;
        points.emplace_back(cx[corner] + radius * std::cos(angle), cy[corner] + radius * std::sin(angle));
      }
    }
    return points;
  }
  void Fill(const std::vector<cv::Point2d>& outline) { FillPolygon(outline, 255); }
  void Erase(const std::vector<cv::Point2d>& outline) { FillPolygon(outline, 0); }
  void EraseDisc(double x, double y, double radius) {
    cv::circle(m_mask, P(x, y), R(radius), cv::Scalar(0), cv::FILLED, cv::LINE_AA, kShift);
  }

  // Text with its left end of the baseline at (x, y); putText has no sub-pixel
  // placement, so the origin is rounded on the enlarged mask (a fraction of a pixel
  // of the final picture).
  void Text(const std::string& text, double x, double y, int font, double fontScale, double thickness) {
    const cv::Point origin(static_cast<int>(std::lround(x * m_scale)), static_cast<int>(std::lround(y * m_scale)));
    cv::putText(m_mask, text, origin, font, fontScale * m_scale, cv::Scalar(255), T(thickness), cv::LINE_AA);
  }

  // Coverage at the final size, 0..1.
  cv::Mat1f Coverage() const {
    cv::Mat reduced;
    cv::resize(m_mask, reduced, cv::Size(m_mask.cols / m_scale, m_mask.rows / m_scale), 0, 0, cv::INTER_AREA);
    cv::Mat1f coverage;
    reduced.convertTo(coverage, CV_32F, 1.0 / 255.0);
    return coverage;
  }

 private:
  void FillPolygon(const std::vector<cv::Point2d>& outline, int value) {
    std::vector<cv::Point> fixed;
    for (const auto& p : outline) fixed.push_back(P(p.x, p.y));
    cv::fillPoly(m_mask, std::vector<std::vector<cv::Point>>{fixed}, cv::Scalar(value), cv::LINE_AA, kShift);
  }

  int m_scale;
  cv::Mat m_mask;
};

// Width of a text line in final-picture units at the given font scale, measured enlarged
// as it is drawn so that centring is exact to a fraction of a pixel.
double TextWidth(const std::string& text, int font, double fontScale, double thickness) {
  constexpr int kMeasureScale = 8;
  int baseline = 0;
  const int strokes = std::max(1, static_cast<int>(std::lround(thickness * kMeasureScale)));
  const cv::Size size = cv::getTextSize(text, font, fontScale * kMeasureScale, strokes, &baseline);
  return static_cast<double>(size.width) / kMeasureScale;
}

// Lays `colour` over an opaque canvas where `coverage` says, at the given opacity.
void PaintOpaque(cv::Mat3f& canvas, const cv::Mat1f& coverage, const Colour& colour, float opacity = 1.0F) {
  for (int y = 0; y < canvas.rows; ++y) {
    auto* row = canvas.ptr<cv::Vec3f>(y);
    const float* cover = coverage.ptr<float>(y);
    for (int x = 0; x < canvas.cols; ++x) {
      const float a = cover[x] * opacity;
      if (a > 0.0F) row[x] = row[x] * (1.0F - a) + colour * a;
    }
  }
}

// Lays a vertically graded colour (top to bottom across [y0, y1]) over an opaque canvas.
void PaintOpaqueGraded(cv::Mat3f& canvas, const cv::Mat1f& coverage, const Colour& top, const Colour& bottom, double y0,
                       double y1, float opacity = 1.0F) {
  for (int y = 0; y < canvas.rows; ++y) {
    const float t = static_cast<float>(std::clamp((y + 0.5 - y0) / (y1 - y0), 0.0, 1.0));
    const Colour colour = top * (1.0F - t) + bottom * t;
    auto* row = canvas.ptr<cv::Vec3f>(y);
    const float* cover = coverage.ptr<float>(y);
    for (int x = 0; x < canvas.cols; ++x) {
      const float a = cover[x] * opacity;
      if (a > 0.0F) row[x] = row[x] * (1.0F - a) + colour * a;
    }
  }
}

cv::Mat1f Blurred(const cv::Mat1f& coverage, double sigma) {
  cv::Mat1f soft;
  cv::GaussianBlur(coverage, soft, cv::Size(0, 0), sigma, sigma, cv::BORDER_CONSTANT);
  return soft;
}

cv::Mat1f Shifted(const cv::Mat1f& coverage, double dx, double dy) {
  const cv::Matx23d move(1, 0, dx, 0, 1, dy);
  cv::Mat1f moved;
  cv::warpAffine(coverage, moved, move, coverage.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  return moved;
}

unsigned char ToByte(float value) { return static_cast<unsigned char>(std::clamp(std::lround(value), 0L, 255L)); }

// ---------------------------------------------------------------------------------------
// The placeholder: 1280x960, opaque RGB.

constexpr int kPlaceholderWidth = 1280;
constexpr int kPlaceholderHeight = 960;
constexpr int kPlaceholderScale = 3;

const Colour kAmber = Rgb(255, 178, 62);
const Colour kAmberDeep = Rgb(226, 128, 28);

cv::Mat3f PlaceholderBackground() {
  // A calm slate gradient, a little lighter behind the camera glyph, darker to the corners.
  const Colour top = Rgb(34, 40, 52);
  const Colour bottom = Rgb(13, 15, 21);
  const double glowX = kPlaceholderWidth * 0.5;
  const double glowY = 330.0;
  const Colour glow = Rgb(26, 30, 38);
  cv::Mat3f canvas(kPlaceholderHeight, kPlaceholderWidth);
  for (int y = 0; y < canvas.rows; ++y) {
    const float t = (static_cast<float>(y) + 0.5F) / static_cast<float>(canvas.rows);
    const Colour base = top * (1.0F - t) + bottom * t;
    auto* row = canvas.ptr<cv::Vec3f>(y);
    for (int x = 0; x < canvas.cols; ++x) {
      const double dx = (x + 0.5 - glowX) / kPlaceholderWidth;
      const double dy = (y + 0.5 - glowY) / kPlaceholderHeight;
      const float near = static_cast<float>(std::exp(-(dx * dx + dy * dy) / 0.06));
      const double cx = (x + 0.5) / kPlaceholderWidth - 0.5;
      const double cy = (y + 0.5) / kPlaceholderHeight - 0.5;
      const float vignette = static_cast<float>(1.0 - 0.35 * std::pow(std::min(1.0, 2.0 * (cx * cx + cy * cy)), 1.5));
      row[x] = (base + glow * near) * vignette;
    }
  }
  return canvas;
}

void DrawCameraGlyph(cv::Mat3f& canvas) {
  const cv::Size size(kPlaceholderWidth, kPlaceholderHeight);
  const double cx = kPlaceholderWidth * 0.5;
  const double bodyX0 = cx - 150, bodyX1 = cx + 150, bodyY0 = 250, bodyY1 = 440;
  const double lensY = (bodyY0 + bodyY1) * 0.5 + 4;
  const auto body = CMaskPainter::RoundedRect(bodyX0, bodyY0, bodyX1, bodyY1, 30);
  // The viewfinder housing on the body's top edge.
  const auto humpOutline = CMaskPainter::RoundedRect(cx - 58, bodyY0 - 36, cx + 58, bodyY0 + 10, 10);

  CMaskPainter silhouette(size, kPlaceholderScale);
  silhouette.Fill(body);
  silhouette.Fill(humpOutline);
  const cv::Mat1f shape = silhouette.Coverage();

  // Soft shadow below, then the body in a slightly lighter slate than the background.
  PaintOpaque(canvas, Shifted(Blurred(shape, 18.0), 0, 14), Rgb(0, 0, 0), 0.45F);
  PaintOpaqueGraded(canvas, shape, Rgb(62, 69, 84), Rgb(40, 45, 56), bodyY0 - 36, bodyY1);

  // A thin lighter edge along the top of the body reads as a rim light.
  CMaskPainter rim(size, kPlaceholderScale);
  rim.Fill(body);
  rim.Fill(humpOutline);
  rim.Erase(CMaskPainter::RoundedRect(bodyX0, bodyY0 + 3, bodyX1, bodyY1 + 3, 30));
  PaintOpaque(canvas, rim.Coverage(), Rgb(120, 130, 150), 0.35F);

  // Lens: a warm glow, an amber ring, dark glass and a small reflection.
  CMaskPainter glowMask(size, kPlaceholderScale);
  glowMask.Disc(cx, lensY, 70);
  PaintOpaque(canvas, Blurred(glowMask.Coverage(), 22.0), kAmber, 0.22F);

  CMaskPainter ring(size, kPlaceholderScale);
  ring.Disc(cx, lensY, 72);
  ring.EraseDisc(cx, lensY, 58);
  PaintOpaqueGraded(canvas, ring.Coverage(), kAmber, kAmberDeep, lensY - 72, lensY + 72);

  CMaskPainter glass(size, kPlaceholderScale);
  glass.Disc(cx, lensY, 58);
  PaintOpaqueGraded(canvas, glass.Coverage(), Rgb(36, 32, 30), Rgb(14, 13, 14), lensY - 58, lensY + 58);

  CMaskPainter innerRing(size, kPlaceholderScale);
  innerRing.Ring(cx, lensY, 36, 3);
  PaintOpaque(canvas, innerRing.Coverage(), kAmber, 0.35F);

  CMaskPainter reflection(size, kPlaceholderScale);
  reflection.Disc(cx - 20, lensY - 22, 10);
  reflection.Disc(cx - 2, lensY - 34, 4);
  PaintOpaque(canvas, Blurred(reflection.Coverage(), 1.0), Rgb(255, 244, 226), 0.75F);

  // Status light, off: the camera is waiting.
  CMaskPainter light(size, kPlaceholderScale);
  light.Disc(bodyX1 - 36, bodyY0 + 32, 9);
  PaintOpaque(canvas, light.Coverage(), Rgb(96, 104, 120));
}

// One line of text centred across the canvas, over a faint shadow for depth.
void DrawCentredText(cv::Mat3f& canvas, const std::string& text, double baselineY, int font, double fontScale,
                     double thickness, const Colour& colour) {
  const double x = (canvas.cols - TextWidth(text, font, fontScale, thickness)) * 0.5;
  CMaskPainter painter(canvas.size(), kPlaceholderScale);
  painter.Text(text, x, baselineY, font, fontScale, thickness);
  const cv::Mat1f coverage = painter.Coverage();
  PaintOpaque(canvas, Shifted(Blurred(coverage, 3.0), 0, 3), Rgb(0, 0, 0), 0.5F);
  PaintOpaque(canvas, coverage, colour);
}

// The largest font scale (up to `preferred`) at which `text` fits in `width`.
double FitScale(const std::string& text, int font, double preferred, double thickness, double width) {
  double scale = preferred;
  while (scale > 0.3 && TextWidth(text, font, scale, thickness) > width) scale -= 0.02;
  return scale;
}

cv::Mat3b DrawPlaceholder() {
  cv::Mat3f canvas = PlaceholderBackground();
  DrawCameraGlyph(canvas);

  const double textWidth = kPlaceholderWidth - 2 * 140.0;
  const std::string name = "Trelvox Amberline";
  const std::string message = "Start Trelvox to see your video here";
  const std::string detail = "The camera will switch to the live picture as soon as it runs.";

  DrawCentredText(canvas, name, 570, cv::FONT_HERSHEY_DUPLEX,
                  FitScale(name, cv::FONT_HERSHEY_DUPLEX, 1.9, 3, textWidth), 3, kAmber);

  CMaskPainter rule(canvas.size(), kPlaceholderScale);
  rule.Fill(CMaskPainter::RoundedRect(kPlaceholderWidth * 0.5 - 90, 612, kPlaceholderWidth * 0.5 + 90, 615, 1.5));
  PaintOpaque(canvas, rule.Coverage(), kAmber, 0.45F);

  DrawCentredText(canvas, message, 700, cv::FONT_HERSHEY_DUPLEX,
                  FitScale(message, cv::FONT_HERSHEY_DUPLEX, 1.7, 3, textWidth), 3, Rgb(240, 242, 246));
  DrawCentredText(canvas, detail, 775, cv::FONT_HERSHEY_SIMPLEX,
                  FitScale(detail, cv::FONT_HERSHEY_SIMPLEX, 1.1, 2.5, textWidth), 2.5, Rgb(170, 180, 196));

  cv::Mat3b out(canvas.size());
  for (int y = 0; y < canvas.rows; ++y) {
    const auto* in = canvas.ptr<cv::Vec3f>(y);
    auto* row = out.ptr<cv::Vec3b>(y);
    for (int x = 0; x < canvas.cols; ++x) {
      for (int c = 0; c < 3; ++c) row[x][c] = ToByte(in[x][c] * 255.0F);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// The logo: 96x48, straight (not premultiplied) RGBA.

constexpr int kLogoWidth = 96;
constexpr int kLogoHeight = 48;
constexpr int kLogoScale = 8;

// Premultiplied RGBA layer stack at the logo's size.
class CLayers {
 public:
  explicit CLayers(cv::Size size) : m_colour(size, Colour(0, 0, 0)), m_alpha(size, 0.0F) {}

  void Over(const cv::Mat1f& coverage, const Colour& colour, float opacity = 1.0F) {
    OverGraded(coverage, colour, colour, 0.0, 1.0, opacity);
  }
  // Colour graded from `top` to `bottom` across rows [y0, y1].
  void OverGraded(const cv::Mat1f& coverage, const Colour& top, const Colour& bottom, double y0, double y1,
                  float opacity = 1.0F) {
    for (int y = 0; y < m_alpha.rows; ++y) {
      const float t = static_cast<float>(std::clamp((y + 0.5 - y0) / (y1 - y0), 0.0, 1.0));
      const Colour colour = top * (1.0F - t) + bottom * t;
      for (int x = 0; x < m_alpha.cols; ++x) {
        const float a = coverage(y, x) * opacity;
        m_colour(y, x) = colour * a + m_colour(y, x) * (1.0F - a);
        m_alpha(y, x) = a + m_alpha(y, x) * (1.0F - a);
      }
    }
  }

  // Straight RGBA bytes. Pixels whose alpha rounds to zero are written as 0,0,0,0.
  cv::Mat4b Straight() const {
    cv::Mat4b out(m_alpha.size());
    for (int y = 0; y < m_alpha.rows; ++y) {
      for (int x = 0; x < m_alpha.cols; ++x) {
        const float a = m_alpha(y, x);
        const unsigned char alpha = ToByte(a * 255.0F);
        if (alpha == 0) {
          out(y, x) = cv::Vec4b(0, 0, 0, 0);
          continue;
        }
        const Colour c = m_colour(y, x) / a;
        out(y, x) = cv::Vec4b(ToByte(c[0] * 255.0F), ToByte(c[1] * 255.0F), ToByte(c[2] * 255.0F), alpha);
      }
    }
    return out;
  }

 private:
  cv::Mat3f m_colour;
  cv::Mat1f m_alpha;
};

cv::Mat4b DrawLogo() {
  const cv::Size size(kLogoWidth, kLogoHeight);
  const double markX = kLogoWidth * 0.5;
  const double markY = 15.0;
  const double markR = 12.0;

  CMaskPainter disc(size, kLogoScale);
  disc.Disc(markX, markY, markR);
  const cv::Mat1f discCoverage = disc.Coverage();

  CMaskPainter glass(size, kLogoScale);
  glass.Disc(markX, markY, 7.5);
  const cv::Mat1f glassCoverage = glass.Coverage();

  CMaskPainter innerRing(size, kLogoScale);
  innerRing.Ring(markX, markY, 4.4, 0.9);
  const cv::Mat1f innerRingCoverage = innerRing.Coverage();

  CMaskPainter spark(size, kLogoScale);
  spark.Disc(markX - 3.4, markY - 3.6, 1.3);
  const cv::Mat1f sparkCoverage = spark.Coverage();

  const std::string word = "Amberline";
  const int font = cv::FONT_HERSHEY_DUPLEX;
  const double wordThickness = 1.25;
  const double wordScale = FitScale(word, font, 0.6, wordThickness, kLogoWidth - 8.0);
  const double wordWidth = TextWidth(word, font, wordScale, wordThickness);
  const double wordBaseline = 42.0;
  CMaskPainter text(size, kLogoScale);
  text.Text(word, (kLogoWidth - wordWidth) * 0.5, wordBaseline, font, wordScale, wordThickness);
  const cv::Mat1f textCoverage = text.Coverage();

  // A soft shadow under everything keeps the mark and the word readable on light and
  // dark pictures alike.
  cv::Mat1f silhouette = cv::max(discCoverage, textCoverage);
  const cv::Mat1f shadow = Shifted(Blurred(silhouette, 1.1), 0.5, 0.9);

  CLayers layers(size);
  layers.Over(cv::min(shadow * 1.8, 1.0), Rgb(0, 0, 0), 0.65F);
  layers.OverGraded(discCoverage, Rgb(255, 196, 92), Rgb(224, 122, 24), markY - markR, markY + markR);
  layers.OverGraded(glassCoverage, Rgb(44, 36, 30), Rgb(16, 14, 14), markY - 7.5, markY + 7.5);
  layers.Over(innerRingCoverage, Rgb(255, 178, 62), 0.55F);
  layers.Over(sparkCoverage, Rgb(255, 246, 230), 0.85F);
  layers.Over(textCoverage, Rgb(255, 250, 242));
  return layers.Straight();
}

bool WritePng(const std::filesystem::path& file, const cv::Mat& image) {
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  if (error) {
    std::fprintf(stderr, "generate_pictures: cannot create %s: %s\n", file.parent_path().string().c_str(),
                 error.message().c_str());
    return false;
  }
  if (stbi_write_png(file.string().c_str(), image.cols, image.rows, image.channels(), image.data,
                     static_cast<int>(image.step)) == 0) {
    std::fprintf(stderr, "generate_pictures: cannot write %s\n", file.string().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argc > 0 ? argv[0] : "generate_pictures");
    return 2;
  }
  try {
    const std::filesystem::path root(argv[1]);
    const bool placeholder = WritePng(root / "Data" / "Images" / "VideoSrc" / "PleaseStart.png", DrawPlaceholder());
    const bool logo = WritePng(root / "data" / "effect_data" / "logo" / "logo.png", DrawLogo());
    return placeholder && logo ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "generate_pictures: %s\n", e.what());
    return 1;
  }
}
