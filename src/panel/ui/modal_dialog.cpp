#include "panel/ui/modal_dialog.h"

#include <QPushButton>

namespace ui {

TemplateDialog::TemplateDialog(int templateId, QWidget* parent)
    : QDialog(parent), template_(LoadTemplate(templateId)) {
  setWindowTitle(template_.caption);
  controls_ = CreateControls(this, template_);
  setFixedSize(size());
  // Buttons 1 and 2 are OK and Cancel, as in every template.
  if (auto* ok = controls_.As<QPushButton>(1)) connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  if (auto* cancel = controls_.As<QPushButton>(2))
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

}  // namespace ui
