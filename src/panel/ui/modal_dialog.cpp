#include "panel/ui/modal_dialog.h"

#include <QPushButton>
#include <QVBoxLayout>

#include "panel/ui/screen_fit.h"

namespace ui {

TemplateDialog::TemplateDialog(int templateId, QWidget* parent)
    : QDialog(parent), template_(LoadTemplate(templateId)) {
  setWindowTitle(template_.caption);
  // Modal: nothing to minimise it to, nothing to gain from maximising it.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  auto* body = new QWidget(this);  // takes the dialog's font before the scroller takes it
  controls_ = CreateControls(body, template_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(new TemplateScroller(body, this));
  // Buttons 1 and 2 are OK and Cancel, as in every template.
  if (auto* ok = controls_.As<QPushButton>(1)) connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  if (auto* cancel = controls_.As<QPushButton>(2))
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TemplateDialog::setVisible(bool visible) {
  if (visible && !fitted_) {
    fitted_ = true;
    FitToScreen(this, sizeHint());
  }
  QDialog::setVisible(visible);
}

}  // namespace ui
