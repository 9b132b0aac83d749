// Windows made from templates grow with the font: with large text a template
// can be taller than the screen. Such a window opens no larger than the
// screen's free area, can be resized, and its template scrolls, so that every
// control stays within reach; at ordinary sizes nothing changes.
#pragma once

#include <QScrollArea>
#include <QSize>

class QWidget;

namespace ui {

// Holds a template's controls; asks for the whole template as its size and
// scrolls when it is given less.
class TemplateScroller : public QScrollArea {
  Q_OBJECT
 public:
  explicit TemplateScroller(QWidget* body, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
};

// The room a top-level window may take on its screen: the free area, less
// what the window manager adds around it.
QSize RoomOnScreen(const QWidget* window);

// Sizes `window` to `natural` and fixes it there when that fits its screen;
// otherwise to the room there is, resizable up to `natural`.
void FitToScreen(QWidget* window, QSize natural);

}  // namespace ui
