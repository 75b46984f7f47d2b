#include "contact_sheet.h"

#include <algorithm>

#include "digit_font.h"

namespace {
constexpr int kMaxThumbnailHeight = 4 * CContactSheet::kThumbnailWidth;
}  // namespace

CContactSheet::CContactSheet(int maxThumbnails) : m_max(std::max(maxThumbnails, 1)) {}

CContactSheet::Layout CContactSheet::Plan(int count, int frameWidth, int frameHeight) {
  Layout layout;
  if (count <= 0 || frameWidth <= 0 || frameHeight <= 0) return layout;
  layout.columns = std::min(count, kColumns);
  layout.rows = (count + layout.columns - 1) / layout.columns;
  layout.thumbnailWidth = kThumbnailWidth;
  const long long height = (static_cast<long long>(kThumbnailWidth) * frameHeight + frameWidth / 2) / frameWidth;
  layout.thumbnailHeight = static_cast<int>(std::clamp<long long>(height, 1, kMaxThumbnailHeight));
  layout.width = kMargin + layout.columns * (layout.thumbnailWidth + kMargin);
  layout.height = kMargin + layout.rows * (layout.thumbnailHeight + kMargin);
  return layout;
}

std::vector<long long> CContactSheet::Spread(const std::vector<long long>& candidates, int count) {
  if (count <= 0 || candidates.empty()) return {};
  if (candidates.size() <= static_cast<std::size_t>(count)) return candidates;
  if (count == 1) return {candidates.back()};
  std::vector<long long> chosen;
  const std::size_t last = candidates.size() - 1;
  for (int i = 0; i < count; ++i)
    chosen.push_back(candidates[(static_cast<std::size_t>(i) * last + (count - 1) / 2) / (count - 1)]);
  return chosen;
}

void CContactSheet::Offer(long long frameNumber, const CRgbPicture& frame) {
  if (frame.Empty()) return;
  if (m_frameWidth == 0) {
    m_frameWidth = frame.Width();
    m_frameHeight = frame.Height();
    m_first = frameNumber;
  }
  const Layout cell = Plan(1, m_frameWidth, m_frameHeight);
  Thumbnail thumbnail{frameNumber, frame.Scaled(cell.thumbnailWidth, cell.thumbnailHeight)};
  if ((frameNumber - m_first) % m_step == 0) {
    m_kept.push_back(thumbnail);
    if (m_kept.size() > static_cast<std::size_t>(2 * m_max)) {
      m_step *= 2;
      std::erase_if(m_kept, [this](const Thumbnail& t) { return (t.number - m_first) % m_step != 0; });
    }
  }
  m_last = std::move(thumbnail);
  m_haveLast = true;
}

std::vector<long long> CContactSheet::Chosen() const {
  std::vector<long long> candidates;
  for (const Thumbnail& t : m_kept) candidates.push_back(t.number);
  if (m_haveLast && (candidates.empty() || candidates.back() != m_last.number)) candidates.push_back(m_last.number);
  return Spread(candidates, m_max);
}

CRgbPicture CContactSheet::Render() const {
  const std::vector<long long> chosen = Chosen();
  const Layout layout = Plan(static_cast<int>(chosen.size()), m_frameWidth, m_frameHeight);
  if (chosen.empty()) return {};
  CRgbPicture sheet(layout.width, layout.height, 40, 40, 40);
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const CRgbPicture* picture = &m_last.picture;
    for (const Thumbnail& t : m_kept)
      if (t.number == chosen[i]) picture = &t.picture;
    const int x = layout.CellX(static_cast<int>(i));
    const int y = layout.CellY(static_cast<int>(i));
    sheet.Paste(*picture, x, y);
    const std::string label = std::to_string(chosen[i]);
    sheet.Fill(x, y, CDigitFont::TextWidth(label, kLabelScale) + 2 * kLabelPadding,
               CDigitFont::TextHeight(kLabelScale) + 2 * kLabelPadding, 0, 0, 0);
    CDigitFont::Draw(sheet, x + kLabelPadding, y + kLabelPadding, label, kLabelScale, 255, 255, 255);
  }
  return sheet;
}
