// Draws the program's images into res/images/ (run once; the PNGs are kept in
// the repository). Build and run:
//   g++ -std=c++20 -fPIC scripts/make_images.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/mk
//   QT_QPA_PLATFORM=offscreen /tmp/mk res/images
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor kBlue(38, 110, 190), kDeep(18, 52, 110), kGold(245, 180, 40), kFolder(236, 190, 80);

QImage Canvas(int w, int h, QColor fill = Qt::transparent) {
  QImage img(w, h, QImage::Format_ARGB32);
  img.fill(fill);
  return img;
}

void Note(QPainter& p, QRectF r, QColor c) {
  // A beamed pair of eighth notes inside r.
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  const qreal w = r.width(), h = r.height();
  p.drawEllipse(QRectF(r.left(), r.top() + h * 0.68, w * 0.36, h * 0.28));
  p.drawEllipse(QRectF(r.left() + w * 0.58, r.top() + h * 0.58, w * 0.36, h * 0.28));
  p.drawRect(QRectF(r.left() + w * 0.28, r.top() + h * 0.12, w * 0.08, h * 0.7));
  p.drawRect(QRectF(r.left() + w * 0.86, r.top() + h * 0.02, w * 0.08, h * 0.7));
  QPolygonF beam;
  beam << QPointF(r.left() + w * 0.28, r.top() + h * 0.12) << QPointF(r.left() + w * 0.94, r.top())
       << QPointF(r.left() + w * 0.94, r.top() + h * 0.16) << QPointF(r.left() + w * 0.28, r.top() + h * 0.28);
  p.drawPolygon(beam);
}

void Folder(QPainter& p, QRectF r, bool open) {
  p.setPen(QPen(QColor(150, 110, 30), 1));
  p.setBrush(kFolder.darker(110));
  QPainterPath back;
  back.moveTo(r.left(), r.bottom());
  back.lineTo(r.left(), r.top() + r.height() * 0.12);
  back.lineTo(r.left() + r.width() * 0.4, r.top() + r.height() * 0.12);
  back.lineTo(r.left() + r.width() * 0.48, r.top() + r.height() * 0.28);
  back.lineTo(r.right(), r.top() + r.height() * 0.28);
  back.lineTo(r.right(), r.bottom());
  back.closeSubpath();
  p.drawPath(back);
  p.setBrush(kFolder);
  if (open) {
    QPolygonF front;
    front << QPointF(r.left() + r.width() * 0.18, r.top() + r.height() * 0.45)
          << QPointF(r.right() + 0.5, r.top() + r.height() * 0.45) << QPointF(r.right() - r.width() * 0.15, r.bottom())
          << QPointF(r.left(), r.bottom());
    p.drawPolygon(front);
  } else {
    p.drawRect(QRectF(r.left(), r.top() + r.height() * 0.38, r.width(), r.height() * 0.62));
  }
}

QImage ProgramIcon() {
  QImage img = Canvas(64, 64);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 0, 64);
  g.setColorAt(0, kBlue.lighter(130));
  g.setColorAt(1, kDeep);
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
  // A play triangle with broadcast arcs: media sent over the network.
  p.setBrush(Qt::white);
  QPolygonF play;
  play << QPointF(16, 18) << QPointF(16, 46) << QPointF(38, 32);
  p.drawPolygon(play);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(kGold, 4, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(24, 16, 28, 32), -50 * 16, 100 * 16);
  p.drawArc(QRectF(22, 8, 38, 48), -50 * 16, 100 * 16);
  return img;
}

QImage StationIcon() {
  QImage img = Canvas(32, 32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  Folder(p, QRectF(1, 4, 30, 25), false);
  Note(p, QRectF(9, 12, 14, 15), kDeep);
  return img;
}

QImage SearchIcon() {
  QImage img = Canvas(32, 32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  Folder(p, QRectF(1, 3, 24, 20), false);
  p.setPen(QPen(kDeep, 3));
  p.setBrush(QColor(255, 255, 255, 170));
  p.drawEllipse(QRectF(13, 12, 12, 12));
  p.setPen(QPen(kDeep, 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(24, 23), QPointF(30, 29));
  return img;
}

QImage DriveStrip() {
  // Six 16 x 15 images on magenta, the transparent colour of the strip.
  QImage img(96, 15, QImage::Format_RGB32);
  img.fill(QColor(255, 0, 255));
  QPainter p(&img);
  auto box = [](int i) { return QRectF(i * 16, 0, 16, 15); };
  // 0: hard disk
  p.setPen(QColor(60, 60, 60));
  p.setBrush(QColor(190, 190, 195));
  p.drawRect(QRectF(box(0).left() + 1, 4, 13, 8));
  p.setBrush(QColor(40, 200, 60));
  p.drawRect(QRectF(box(0).left() + 11, 9, 1, 1));
  // 1: floppy
  p.setBrush(QColor(50, 60, 120));
  p.drawRect(QRectF(box(1).left() + 2, 1, 11, 12));
  p.setBrush(QColor(220, 220, 220));
  p.drawRect(QRectF(box(1).left() + 4, 1, 7, 4));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(box(1).left() + 4, 8, 7, 5));
  // 2: compact disc
  p.setPen(QColor(90, 90, 110));
  p.setBrush(QColor(205, 210, 230));
  p.drawEllipse(QRectF(box(2).left() + 1, 0, 13, 13));
  p.setBrush(QColor(255, 0, 255));
  p.drawEllipse(QRectF(box(2).left() + 6, 5, 3, 3));
  // 3: network drive
  p.setPen(QColor(60, 60, 60));
  p.setBrush(QColor(190, 190, 195));
  p.drawRect(QRectF(box(3).left() + 1, 2, 13, 6));
  p.setPen(QPen(QColor(40, 90, 170), 1));
  p.drawLine(QPointF(box(3).left() + 7.5, 8), QPointF(box(3).left() + 7.5, 12));
  p.drawLine(QPointF(box(3).left() + 2, 12.5), QPointF(box(3).left() + 13, 12.5));
  // 4, 5: closed and open folder
  Folder(p, QRectF(box(4).left() + 1, 1, 13, 12), false);
  Folder(p, QRectF(box(5).left() + 1, 1, 13, 12), true);
  return img;
}

QImage Skin() {
  // The drop window: a round badge on a key colour (the top-left pixel).
  QImage img(54, 54, QImage::Format_RGB32);
  const QColor key(255, 0, 255);
  img.fill(key);
  QPainter p(&img);  // no antialiasing: edge pixels must be key or skin, nothing between
  QRadialGradient g(QPointF(20, 18), 36);
  g.setColorAt(0, kBlue.lighter(150));
  g.setColorAt(1, kDeep);
  p.setPen(QPen(QColor(10, 30, 70), 2));
  p.setBrush(g);
  p.drawEllipse(QRectF(2, 2, 49, 49));
  Note(p, QRectF(15, 13, 24, 26), Qt::white);
  return img;
}

QImage Banner() {
  QImage img(450, 75, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 450, 0);
  g.setColorAt(0, kDeep);
  g.setColorAt(1, kBlue.lighter(120));
  p.fillRect(img.rect(), g);
  p.drawImage(QRectF(8, 6, 63, 63), ProgramIcon());
  QFont f("DejaVu Sans", 22, QFont::Bold);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRectF(84, 8, 360, 36), Qt::AlignLeft | Qt::AlignVCenter, "Tarvel Media Server");
  QFont s("DejaVu Sans", 10);
  p.setFont(s);
  p.setPen(QColor(255, 230, 170));
  p.drawText(QRectF(86, 44, 360, 22), Qt::AlignLeft | Qt::AlignVCenter,
             "music, video and pictures for your home network");
  return img;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QString dir = argc > 1 ? argv[1] : "res/images";
  bool ok = ProgramIcon().save(dir + "/128.png") && StationIcon().save(dir + "/146.png") &&
            SearchIcon().save(dir + "/149.png") && DriveStrip().save(dir + "/153.png") &&
            Skin().convertToFormat(QImage::Format_RGB888).save(dir + "/158.png") &&
            Banner().save(dir + "/166.png");
  return ok ? 0 : 1;
}
