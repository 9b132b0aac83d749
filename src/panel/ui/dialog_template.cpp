#include "panel/ui/dialog_template.h"

#include <QCheckBox>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBrowser>
#include <QTreeWidget>

#include "panel/ui/resources.h"

namespace ui {

namespace {

bool KindFromName(const QString& name, ControlKind* kind) {
  static const QMap<QString, ControlKind> kinds = {
      {"BUTTON", ControlKind::Button},     {"DEFBUTTON", ControlKind::DefaultButton},
      {"STATIC", ControlKind::Static},     {"GROUPBOX", ControlKind::GroupBox},
      {"EDIT", ControlKind::Edit},         {"EDITRO", ControlKind::ReadOnlyEdit},
      {"RICHTEXT", ControlKind::RichText}, {"LISTVIEW", ControlKind::ListView},
      {"TREEVIEW", ControlKind::TreeView}, {"CHECKTREE", ControlKind::CheckTree},
      {"ICON", ControlKind::Icon},         {"BITMAP", ControlKind::Bitmap},
  };
  auto it = kinds.find(name);
  if (it == kinds.end()) return false;
  *kind = *it;
  return true;
}

// Splits a line into words; a word in double quotes may hold blanks, and ""
// inside it stands for one quote.
QStringList Words(const QString& line) {
  QStringList words;
  int i = 0;
  const int n = line.size();
  while (i < n) {
    if (line[i].isSpace()) {
      ++i;
      continue;
    }
    QString word;
    if (line[i] == '"') {
      ++i;
      while (i < n) {
        if (line[i] == '"') {
          if (i + 1 < n && line[i + 1] == '"') {
            word += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        word += line[i++];
      }
    } else {
      while (i < n && !line[i].isSpace()) word += line[i++];
    }
    words << word;
  }
  return words;
}

// What a screen reader says for a label's text: without mnemonic marks and
// the colon that only ties it to its control.
QString SpokenLabel(QString text) {
  text.remove(QRegularExpression("&(?!&)"));
  while (text.endsWith(':') || text.endsWith(' ')) text.chop(1);
  return text.simplified();
}

// What the template's pictures show, for those who cannot see them.
QString PictureName(int image, const QString& caption) {
  switch (image) {
    case 128:
    case 166:
      return "Tarvel Media Server";
    case 149:
      return "Search for folders";
    default:
      return caption;
  }
}

bool TakesALabel(ControlKind kind) {
  switch (kind) {
    case ControlKind::Edit:
    case ControlKind::ReadOnlyEdit:
    case ControlKind::RichText:
    case ControlKind::ListView:
    case ControlKind::TreeView:
    case ControlKind::CheckTree:
      return true;
    default:
      return false;
  }
}

// Accessible names: a control's own text, else the text of the label right
// before it in the template (which becomes its buddy), else the template's
// caption; pictures say what they show.
void NameControl(QWidget* w, const ControlTemplate& c, QLabel* label, const QString& caption) {
  if (c.kind == ControlKind::Icon || c.kind == ControlKind::Bitmap) {
    w->setAccessibleName(PictureName(c.text.toInt(), caption));
  } else if (!TakesALabel(c.kind)) {
    if (!c.text.isEmpty()) w->setAccessibleName(SpokenLabel(c.text));
  } else if (label && !label->text().isEmpty()) {
    label->setBuddy(w);
    w->setAccessibleName(SpokenLabel(label->text()));
  } else {
    w->setAccessibleName(SpokenLabel(caption));
  }
}

}  // namespace

DialogTemplate ParseTemplate(const QString& text, QString* error) {
  DialogTemplate tpl;
  auto fail = [&](int lineNo, const QString& why) {
    if (error) *error = QString("line %1: %2").arg(lineNo).arg(why);
    return DialogTemplate{};
  };
  int lineNo = 0;
  for (const QString& raw : text.split('\n')) {
    ++lineNo;
    const QString line = raw.trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;
    const QStringList w = Words(line);
    bool ok[5] = {true, true, true, true, true};
    if (w[0] == "DIALOG") {
      // DIALOG id width height "caption"
      if (w.size() != 5) return fail(lineNo, "DIALOG needs an id, a size and a caption");
      tpl.id = w[1].toInt(&ok[0]);
      tpl.size = QSize(w[2].toInt(&ok[1]), w[3].toInt(&ok[2]));
      tpl.caption = w[4];
    } else {
      // KIND id x y width height ["text"]
      ControlTemplate c;
      if (!KindFromName(w[0], &c.kind)) return fail(lineNo, "unknown control " + w[0]);
      if (w.size() < 6 || w.size() > 7) return fail(lineNo, "a control needs an id and a rectangle");
      c.id = w[1].toInt(&ok[0]);
      c.rect = QRect(w[2].toInt(&ok[1]), w[3].toInt(&ok[2]), w[4].toInt(&ok[3]), w[5].toInt(&ok[4]));
      if (w.size() == 7) c.text = w[6];
      tpl.controls << c;
    }
    for (bool b : ok)
      if (!b) return fail(lineNo, "a number is not a number");
  }
  if (tpl.id <= 0) return fail(lineNo, "no DIALOG line");
  return tpl;
}

DialogTemplate LoadTemplate(int id) {
  QFile file(QString(":/res/dialogs/%1.dlg").arg(id));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return ParseTemplate(QString::fromUtf8(file.readAll()));
}

DialogUnits::DialogUnits(const QFont& font) {
  // The base units of the dialog font: the average width of the 52 Latin
  // letters and the font's height.
  QFontMetrics fm(font);
  const QString letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  baseX_ = qMax(1, (fm.horizontalAdvance(letters) / 26 + 1) / 2);
  baseY_ = qMax(1, fm.height());
}

QRect DialogUnits::ToPixels(const QRect& dlu) const {
  const int x = dlu.x() * baseX_ / 4, y = dlu.y() * baseY_ / 8;
  const int r = (dlu.x() + dlu.width()) * baseX_ / 4, b = (dlu.y() + dlu.height()) * baseY_ / 8;
  return QRect(x, y, r - x, b - y);
}

QSize DialogUnits::ToPixels(const QSize& dlu) const {
  return QSize(dlu.width() * baseX_ / 4, dlu.height() * baseY_ / 8);
}

ControlSet CreateControls(QWidget* parent, const DialogTemplate& tpl) {
  ControlSet set;
  const DialogUnits units(parent->font());
  QLabel* label = nullptr;  // the label right before the control, if any
  for (const ControlTemplate& c : tpl.controls) {
    QWidget* w = nullptr;
    switch (c.kind) {
      case ControlKind::Button:
      case ControlKind::DefaultButton: {
        auto* b = new QPushButton(c.text, parent);
        b->setAutoDefault(false);
        b->setDefault(c.kind == ControlKind::DefaultButton);
        w = b;
        break;
      }
      case ControlKind::Static: {
        auto* l = new QLabel(c.text, parent);
        l->setWordWrap(true);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        w = l;
        break;
      }
      case ControlKind::GroupBox:
        w = new QGroupBox(c.text, parent);
        break;
      case ControlKind::Edit:
      case ControlKind::ReadOnlyEdit: {
        auto* e = new QLineEdit(c.text, parent);
        e->setEnabled(c.kind == ControlKind::Edit);
        w = e;
        break;
      }
      case ControlKind::RichText: {
        auto* t = new QTextBrowser(parent);
        t->setReadOnly(true);
        t->setOpenLinks(false);
        w = t;
        break;
      }
      case ControlKind::ListView: {
        auto* t = new QTreeWidget(parent);
        t->setRootIsDecorated(false);
        t->setItemsExpandable(false);
        t->setSelectionMode(QAbstractItemView::ExtendedSelection);
        t->setEditTriggers(QAbstractItemView::NoEditTriggers);
        t->setUniformRowHeights(true);
        w = t;
        break;
      }
      case ControlKind::TreeView:
      case ControlKind::CheckTree: {
        auto* t = new QTreeWidget(parent);
        t->setHeaderHidden(true);
        // Long names scroll sideways instead of being cut short.
        t->header()->setStretchLastSection(false);
        t->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
        t->setEditTriggers(QAbstractItemView::NoEditTriggers);
        if (c.kind == ControlKind::CheckTree) t->setRootIsDecorated(false);
        w = t;
        break;
      }
      case ControlKind::Icon:
      case ControlKind::Bitmap: {
        auto* l = new QLabel(parent);
        const int image = c.text.toInt();
        if (c.kind == ControlKind::Icon)
          l->setPixmap(Icon(image).pixmap(units.ToPixels(c.rect).size().boundedTo(QSize(48, 48))));
        else
          l->setPixmap(Bitmap(image));
        w = l;
        break;
      }
    }
    w->setGeometry(units.ToPixels(c.rect));
    // A bitmap control takes the size of its bitmap, as it draws it whole.
    if (c.kind == ControlKind::Bitmap) w->resize(static_cast<QLabel*>(w)->pixmap().size());
    // Group boxes are drawn behind the controls they frame.
    if (c.kind == ControlKind::GroupBox) w->lower();
    NameControl(w, c, label, tpl.caption);
    label = c.kind == ControlKind::Static ? static_cast<QLabel*>(w) : nullptr;
    if (c.id != -1) {
      w->setObjectName(QString("control%1").arg(c.id));
      set.byId_.insert(c.id, w);
    }
    set.all_ << w;
  }
  parent->setMinimumSize(units.ToPixels(tpl.size));
  parent->resize(units.ToPixels(tpl.size));
  return set;
}

}  // namespace ui
