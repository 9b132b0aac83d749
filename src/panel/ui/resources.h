// Images and menus compiled into the program, addressed by their numeric
// identifiers as in res/.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

class QAction;
class QMenu;
class QWidget;

namespace ui {

QIcon Icon(int id);      // res/images/<id>.png
QPixmap Bitmap(int id);  // res/images/<id>.png
QImage Image(int id);    // the same, as pixels (no display needed)

// Menu resource `id` (res/menus/<id>.menu): its first popup, owned by
// `parent`. Each action carries its command identifier (see CommandOf).
QMenu* LoadPopupMenu(int id, QWidget* parent);
int CommandOf(const QAction* action);
QAction* FindCommand(QMenu* menu, int command);

}  // namespace ui
