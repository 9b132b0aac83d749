#include "panel/ui/property_sheet.h"

#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "panel/ui/screen_fit.h"

namespace ui {

PropertyPage::PropertyPage(int templateId, QWidget* parent)
    : QWidget(parent), template_(LoadTemplate(templateId)) {
  controls_ = CreateControls(this, template_);
}

PropertySheet::PropertySheet(const QString& caption, QWidget* parent) : QDialog(parent) {
  setWindowTitle(caption);
  tabs_ = new QTabWidget(this);
  buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons_->button(QDialogButtonBox::Ok)->setText("OK");
  buttons_->button(QDialogButtonBox::Cancel)->setText("Cancel");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(buttons_);
  connect(buttons_, &QDialogButtonBox::accepted, this, [this] { OnOk(); });
  connect(buttons_, &QDialogButtonBox::rejected, this, [this] { OnCancel(); });
  connect(tabs_, &QTabWidget::currentChanged, this, &PropertySheet::OnTabChanged);
}

void PropertySheet::AddPage(PropertyPage* page) {
  pages_ << page;
  tabs_->addTab(new TemplateScroller(page), page->Caption());
  if (active_ < 0) {
    active_ = 0;
    page->OnSetActive();
  }
}

PropertyPage* PropertySheet::ActivePage() const { return pages_.value(active_); }

void PropertySheet::SetActivePage(int index) { tabs_->setCurrentIndex(index); }

void PropertySheet::OnTabChanged(int index) {
  if (switching_ || index == active_ || index < 0) return;
  PropertyPage* from = pages_.value(active_);
  PropertyPage* to = pages_.value(index);
  // A page that refuses to be left, or to be shown, keeps the sheet where it was.
  if ((from && !from->OnKillActive()) || (to && !to->OnSetActive())) {
    switching_ = true;
    tabs_->setCurrentIndex(active_);
    switching_ = false;
    return;
  }
  active_ = index;
}

void PropertySheet::setVisible(bool visible) {
  // Sized once, as it first opens: later the user's size stands.
  if (visible && !fitted_) {
    fitted_ = true;
    FitToScreen(this, sizeHint());
  }
  QDialog::setVisible(visible);
}

void PropertySheet::keyPressEvent(QKeyEvent* event) {
  // Enter is OK and Escape is Cancel wherever the focus is.
  switch (event->key()) {
    case Qt::Key_Escape:
      OnCancel();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (!event->modifiers() || event->modifiers() == Qt::KeypadModifier) {
        OnOk();
        return;
      }
      break;
    default:
      break;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace ui
