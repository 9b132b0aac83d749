// Dialog templates: the controls of a dialog or page, placed in dialog units
// and read from res/dialogs/<id>.dlg. A dialog unit is a quarter of the dialog
// font's average character width across and an eighth of its height down, so
// a template keeps its arrangement at any font size and screen scale.
#pragma once

#include <QFont>
#include <QMap>
#include <QRect>
#include <QSize>
#include <QString>
#include <QVector>

class QWidget;

namespace ui {

enum class ControlKind {
  Button,         // push button
  DefaultButton,  // the default push button
  Static,         // a line or block of text
  GroupBox,
  Edit,           // single-line edit
  ReadOnlyEdit,   // single-line edit the user cannot change
  RichText,       // read-only rich text
  ListView,       // report-style list
  TreeView,       // tree with buttons and lines
  CheckTree,      // tree of check boxes
  Icon,           // icon by numeric identifier
  Bitmap,         // bitmap by numeric identifier
};

struct ControlTemplate {
  ControlKind kind;
  int id;        // control identifier; -1 for controls nobody addresses
  QRect rect;    // dialog units
  QString text;  // caption; for Icon and Bitmap the image's identifier
};

struct DialogTemplate {
  int id = 0;
  QString caption;
  QSize size;  // dialog units
  QVector<ControlTemplate> controls;
};

// Reads template `id` from the compiled-in resources; an empty template
// (id 0) when there is none or it does not parse.
DialogTemplate LoadTemplate(int id);
// Parses the text of a template; `error` says why when the result is empty.
DialogTemplate ParseTemplate(const QString& text, QString* error = nullptr);

// Converts dialog units into pixels for a font.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  QRect ToPixels(const QRect& dlu) const;
  QSize ToPixels(const QSize& dlu) const;
  int BaseX() const { return baseX_; }
  int BaseY() const { return baseY_; }

 private:
  int baseX_;
  int baseY_;
};

// The controls made from a template, by identifier.
class ControlSet {
 public:
  QWidget* Get(int id) const { return byId_.value(id, nullptr); }
  template <typename T>
  T* As(int id) const {
    return qobject_cast<T*>(Get(id));
  }
  const QVector<QWidget*>& All() const { return all_; }

 private:
  friend ControlSet CreateControls(QWidget*, const DialogTemplate&);
  QMap<int, QWidget*> byId_;
  QVector<QWidget*> all_;
};

// Creates the template's controls as children of `parent`, placed by the
// parent's font, and sizes the parent to the template.
ControlSet CreateControls(QWidget* parent, const DialogTemplate& tpl);

}  // namespace ui
