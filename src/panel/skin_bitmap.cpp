#include "panel/skin_bitmap.h"

#include <QPainter>

#include "panel/ui/resources.h"

QRegion RegionFromSkin(const QImage& skin) {
  if (skin.isNull()) return {};
  // Compared as 32-bit values, so that the image's own format does not matter
  // and nothing is rounded: a pixel one step off the key colour is shown.
  const QImage image = skin.format() == QImage::Format_ARGB32 || skin.format() == QImage::Format_RGB32
                           ? skin
                           : skin.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = image.pixel(0, 0);
  const int width = image.width();
  QRegion shape;
  for (int y = 0; y < image.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    QRegion runs;  // the row's runs, united with the shape once per row
    int start = -1;
    // x == width is one past the right edge: it only closes an open run.
    for (int x = 0; x <= width; ++x) {
      if (x == width || row[x] == key) {
        if (start >= 0) runs += QRect(start, y, x - start, 1);
        start = -1;
      } else if (start < 0) {
        start = x;
      }
    }
    if (!runs.isEmpty()) shape += runs;
  }
  return shape;
}

CSkinBitmap::CSkinBitmap(int id) {
  if (id != 0) Load(id);
}

bool CSkinBitmap::Load(int id) { return Load(ui::Image(id)); }

bool CSkinBitmap::Load(const QImage& image) {
  if (image.isNull()) return false;
  m_bitmap = image;
  m_nWidth = image.width();
  m_nHeight = image.height();
  return true;
}

void CSkinBitmap::Draw(QPainter& painter, int x, int y, int width, int height, int sx, int sy) const {
  if (m_bitmap.isNull()) return;
  if (width == 0) width = m_nWidth;
  if (height == 0) height = m_nHeight;
  if (sx == -1) sx = 0;
  if (sy == -1) sy = 0;
  painter.drawImage(QPoint(x, y), m_bitmap, QRect(sx, sy, width, height));
}
