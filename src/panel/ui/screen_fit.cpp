#include "panel/ui/screen_fit.h"

#include <QScreen>
#include <QStyle>
#include <QWidget>

namespace ui {

TemplateScroller::TemplateScroller(QWidget* body, QWidget* parent) : QScrollArea(parent) {
  setFrameShape(QFrame::NoFrame);
  setWidgetResizable(true);
  setWidget(body);
}

QSize TemplateScroller::sizeHint() const {
  // QScrollArea caps its hint at a few dozen lines; the template is the size.
  return widget() ? widget()->minimumSize() : QScrollArea::sizeHint();
}

QSize TemplateScroller::minimumSizeHint() const {
  const int line = fontMetrics().height();
  return QSize(8 * line, 4 * line).boundedTo(sizeHint());
}

QSize RoomOnScreen(const QWidget* window) {
  const QScreen* screen = window->screen();
  if (!screen) return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  // Not shown yet, the frame is unknown: a title bar and a border each side.
  const int border = 8;
  const int title = window->style()->pixelMetric(QStyle::PM_TitleBarHeight) + border;
  const QSize free = screen->availableGeometry().size();
  return QSize(qMax(1, free.width() - 2 * border), qMax(1, free.height() - title - border));
}

void FitToScreen(QWidget* window, QSize natural) {
  const QSize room = RoomOnScreen(window);
  if (natural.width() <= room.width() && natural.height() <= room.height()) {
    window->setFixedSize(natural);
    return;
  }
  window->setMinimumSize(window->minimumSizeHint().boundedTo(room));
  window->setMaximumSize(natural.expandedTo(window->minimumSize()));
  window->resize(natural.boundedTo(room));
}

}  // namespace ui
