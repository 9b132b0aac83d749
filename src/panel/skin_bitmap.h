// The drop window's skin: one image whose top-left pixel gives the colour
// that is not part of the window. The window's shape is every other pixel.
#pragma once

#include <QImage>
#include <QRegion>

class QPainter;

// The shape of a skin: every pixel whose colour differs (exactly) from the
// top-left pixel's, gathered row by row as one-pixel-high runs. Empty when
// no pixel differs, or the image is empty: the window then keeps its
// rectangle.
QRegion RegionFromSkin(const QImage& skin);

class CSkinBitmap {
 public:
  // Loads image `id` unless it is 0.
  explicit CSkinBitmap(int id = 0);

  // Loads image `id`; false (keeping the size it had) when there is none.
  bool Load(int id);
  // The same for an image in hand.
  bool Load(const QImage& image);

  int Width() const { return m_nWidth; }
  int Height() const { return m_nHeight; }
  const QImage& Image() const { return m_bitmap; }

  QRegion CreateRegion() const { return RegionFromSkin(m_bitmap); }

  // Copies the skin's part at (sx, sy) onto `painter` at (x, y). A width or
  // height of 0 stands for the skin's own; a source of -1 for 0.
  void Draw(QPainter& painter, int x, int y, int width = 0, int height = 0, int sx = -1,
            int sy = -1) const;

 private:
  QImage m_bitmap;
  int m_nWidth = 0;
  int m_nHeight = 0;
};
