// A property sheet: a dialog of tabbed pages with OK and Cancel. Pages are
// told when they become active and when they are left, and can be reset.
#pragma once

#include <QDialog>
#include <QVector>
#include <QWidget>

#include "panel/ui/dialog_template.h"

class QDialogButtonBox;
class QTabWidget;

namespace ui {

class PropertyPage : public QWidget {
  Q_OBJECT
 public:
  // The page's controls come from template `templateId`; its caption is the
  // tab's text.
  explicit PropertyPage(int templateId, QWidget* parent = nullptr);
  QString Caption() const { return template_.caption; }
  QWidget* Control(int id) const { return controls_.Get(id); }
  template <typename T>
  T* ControlAs(int id) const {
    return controls_.As<T>(id);
  }

  // The page is about to be shown; false keeps the previous page.
  virtual bool OnSetActive() { return true; }
  // The page is being left; false keeps it.
  virtual bool OnKillActive() { return true; }
  virtual void OnReset() {}

 protected:
  DialogTemplate template_;
  ControlSet controls_;
};

class PropertySheet : public QDialog {
  Q_OBJECT
 public:
  explicit PropertySheet(const QString& caption, QWidget* parent = nullptr);
  void AddPage(PropertyPage* page);
  int PageCount() const { return pages_.size(); }
  PropertyPage* Page(int index) const { return pages_.value(index); }
  PropertyPage* ActivePage() const;
  void SetActivePage(int index);
  QTabWidget* Tabs() const { return tabs_; }
  QDialogButtonBox* Buttons() const { return buttons_; }
  // Opens no larger than the screen's free area (see screen_fit.h).
  void setVisible(bool visible) override;

 protected:
  // OK and Cancel (buttons, Enter, Escape) arrive here.
  virtual void OnOk() { accept(); }
  virtual void OnCancel() { reject(); }
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnTabChanged(int index);

  QTabWidget* tabs_;
  QDialogButtonBox* buttons_;
  QVector<PropertyPage*> pages_;
  int active_ = -1;
  bool switching_ = false;
  bool fitted_ = false;
};

}  // namespace ui
