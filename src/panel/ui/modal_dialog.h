// A modal dialog whose controls come from a template.
#pragma once

#include <QDialog>

#include "panel/ui/dialog_template.h"

namespace ui {

class TemplateDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TemplateDialog(int templateId, QWidget* parent = nullptr);
  QWidget* Control(int id) const { return controls_.Get(id); }
  template <typename T>
  T* ControlAs(int id) const {
    return controls_.As<T>(id);
  }
  // Opens no larger than the screen's free area (see screen_fit.h).
  void setVisible(bool visible) override;

 protected:
  DialogTemplate template_;
  ControlSet controls_;

 private:
  bool fitted_ = false;
};

}  // namespace ui
