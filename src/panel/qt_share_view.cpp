#include "panel/qt_share_view.h"

#include <QMetaObject>

#include "panel/shared_folder_page.h"

template <typename F>
void QtShareView::Post(F f) {
  // Queued calls to one receiver run in the order they were posted; when the
  // page is gone, pending calls are dropped with it.
  QMetaObject::invokeMethod(page_, std::move(f), Qt::QueuedConnection);
}

void QtShareView::SetButtonsEnabled(bool enabled) {
  Post([p = page_, enabled] { p->ShowButtonsEnabled(enabled); });
}

void QtShareView::ShowWaitingLabel(const std::string& text) {
  Post([p = page_, t = QString::fromStdString(text)] { p->ShowWaitingLabel(t); });
}

void QtShareView::HideWaitingLabel() {
  Post([p = page_] { p->HideWaitingLabel(); });
}

void QtShareView::CreateProgress(int range) {
  position_ = 0;
  Post([p = page_, range] { p->ShowProgress(range); });
}

void QtShareView::SetProgress(int position) {
  position_ = position;
  if (positionPosted_.exchange(true)) return;
  Post([this, p = page_] {
    positionPosted_ = false;
    p->StepProgress(position_);
  });
}

void QtShareView::DestroyProgress() {
  Post([p = page_] { p->HideProgress(); });
}

void QtShareView::ItemInserted(int index, const std::string& text) {
  Post([p = page_, index, t = text] { p->InsertItem(index, t); });
}

void QtShareView::ItemRemoved(int index) {
  Post([p = page_, index] { p->RemoveItem(index); });
}

void QtShareView::ItemsCleared() {
  Post([p = page_] { p->ClearItems(); });
}

void QtShareView::ShowMessage(const std::string& text) {
  Post([p = page_, t = QString::fromStdString(text)] { p->ShowMessageBox(t); });
}

void QtShareView::Warn(const std::string& text) {
  Post([p = page_, t = QString::fromStdString(text)] { p->ShowWarning(t); });
}
