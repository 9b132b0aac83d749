#include "panel/ui/resources.h"

#include <QAction>
#include <QFile>
#include <QMenu>

namespace ui {

QIcon Icon(int id) { return QIcon(QString(":/res/images/%1.png").arg(id)); }

QPixmap Bitmap(int id) { return QPixmap(QString(":/res/images/%1.png").arg(id)); }

QImage Image(int id) { return QImage(QString(":/res/images/%1.png").arg(id)); }

QMenu* LoadPopupMenu(int id, QWidget* parent) {
  // The file holds one popup:  POPUP "title"  then  ITEM command "text"  lines
  // and SEPARATOR lines.
  auto* menu = new QMenu(parent);
  QFile file(QString(":/res/menus/%1.menu").arg(id));
  if (!file.open(QIODevice::ReadOnly)) return menu;
  const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
  for (const QString& raw : lines) {
    const QString line = raw.trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;
    const int open = line.indexOf('"'), close = line.lastIndexOf('"');
    const QString text = open >= 0 && close > open ? line.mid(open + 1, close - open - 1) : QString();
    if (line.startsWith("POPUP")) {
      menu->setTitle(text);
    } else if (line.startsWith("SEPARATOR")) {
      menu->addSeparator();
    } else if (line.startsWith("ITEM")) {
      const int command = line.mid(4, open - 4).trimmed().toInt();
      QAction* action = menu->addAction(text);
      action->setData(command);
    }
  }
  return menu;
}

int CommandOf(const QAction* action) { return action ? action->data().toInt() : 0; }

QAction* FindCommand(QMenu* menu, int command) {
  for (QAction* a : menu->actions())
    if (!a->isSeparator() && CommandOf(a) == command) return a;
  return nullptr;
}

}  // namespace ui
