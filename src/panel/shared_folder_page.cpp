#include "panel/shared_folder_page.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include "panel/scan_disk_dialog.h"
#include "panel/source_search_dialog.h"
#include "panel/ui/commands.h"
#include "panel/ui/resources.h"
#include "shares/folder_selection.h"

namespace {
constexpr int kListId = 1006, kAddId = 1002, kDeleteId = 1003, kDeleteAllId = 1004;
}

CSharedFolderPage::CSharedFolderPage(QWidget* parent)
    : ui::PropertyPage(res::kSharedFolderPage, parent), view_(this) {
  list_ = ControlAs<QTreeWidget>(kListId);
  list_->setColumnCount(1);
  list_->setHeaderLabels({"Shared Folder Path"});
  list_->header()->resizeSection(0, 300);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  contextMenu_ = ui::LoadPopupMenu(res::kFolderMenu, this);

  connect(ControlAs<QPushButton>(kAddId), &QPushButton::clicked, this, &CSharedFolderPage::OnAdd);
  connect(ControlAs<QPushButton>(kDeleteId), &QPushButton::clicked, this, &CSharedFolderPage::OnDelete);
  connect(ControlAs<QPushButton>(kDeleteAllId), &QPushButton::clicked, this, [this] { OnReset(); });
  connect(list_, &QTreeWidget::customContextMenuRequested, this, &CSharedFolderPage::OnContextMenu);
  list_->installEventFilter(this);

  warningLine_ = new QLabel(this);
  warningLine_->setWordWrap(true);
  warningLine_->setStyleSheet("color: #a04000");
  warningLine_->hide();

  engine_.SetView(&view_);
  // The page shows the list; standard output carries only a command's results.
  engine_.SetEchoList(false);
  engine_.LoadList();
  engine_.StartMonitor();
}

CSharedFolderPage::~CSharedFolderPage() {
  // The workers end before the widgets they post to.
  engine_.RequestStop();
  engine_.StopMonitor();
  engine_.WaitForAdds();
  engine_.SetView(nullptr);
}

bool CSharedFolderPage::eventFilter(QObject* watched, QEvent* event) {
  // The Delete key in the list deletes the selected folders.
  if (watched == list_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
    OnDelete();
    return true;
  }
  return ui::PropertyPage::eventFilter(watched, event);
}

std::vector<std::string> CSharedFolderPage::SelectedFolders() const {
  // Named by path, not by row: the worker may still change the list before
  // it acts on them.
  std::vector<std::string> folders;
  for (int i = 0; i < list_->topLevelItemCount(); ++i)
    if (list_->topLevelItem(i)->isSelected()) folders.push_back(list_->topLevelItem(i)->text(0).toStdString());
  return folders;
}

void CSharedFolderPage::OnAdd() {
  FolderPair chosen;
  {
    CSourceSearchDialog dialog;
    dialog.exec();
    chosen = dialog.Chosen();
  }
  if (QWidget* w = window(); w->isMinimized()) w->showNormal();
  if (!CFolderSelection::IsChosen()) return;
  // The checks read the catalogue and the disk: they run on the worker too.
  engine_.QueueAdd(chosen.path, chosen.label);
}

void CSharedFolderPage::OnDelete() {
  // While a walk writes, removal waits for it: a folder taken out half way
  // through its own walk would keep the rows written after.
  if (Busy()) return;
  engine_.StartDelete(SelectedFolders());
}

void CSharedFolderPage::OnReset() {
  if (Busy()) return;
  engine_.StartReset();
}

void CSharedFolderPage::OnOperateRescan() {
  if (Busy()) return;
  const std::vector<std::string> folders = SelectedFolders();
  if (folders.empty()) return;
  CScanDiskDialog dialog;
  // Cancel keeps the folders as they are: nothing is taken out.
  if (dialog.exec() != QDialog::Accepted) return;
  // The types ticked in the dialog, which become the folders' own.
  engine_.StartRescan(folders, g_enabledMediaTypes.Get());
}

void CSharedFolderPage::OnCommand(int command) {
  if (command == cmd::kOperateDelete) OnDelete();
  else if (command == cmd::kOperateRescan) OnOperateRescan();
}

void CSharedFolderPage::OnContextMenu(const QPoint& pos) {
  QAction* chosen = contextMenu_->exec(list_->viewport()->mapToGlobal(pos));
  if (chosen) OnCommand(ui::CommandOf(chosen));
}

QRect CSharedFolderPage::ProgressRect() const {
  // Within the page's frame: as wide as the list above it.
  const int h = height();
  return QRect(list_->x(), h / 2 - 30, list_->width(), 30);
}

void CSharedFolderPage::ShowButtonsEnabled(bool enabled) {
  busy_ += enabled ? -1 : 1;
  if (busy_ < 0) busy_ = 0;
  for (int id : {kAddId, kDeleteId, kDeleteAllId}) Control(id)->setEnabled(busy_ == 0);
}

void CSharedFolderPage::ShowWaitingLabel(const QString& text) {
  if (!waiting_) {
    waiting_ = new QLabel(this);
    waiting_->setObjectName("control325");
    waiting_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    waiting_->setAutoFillBackground(true);
  }
  waiting_->setText(text);
  waiting_->setGeometry(ProgressRect());
  waiting_->show();
  waiting_->raise();
}

void CSharedFolderPage::HideWaitingLabel() { delete waiting_; }

void CSharedFolderPage::ShowProgress(int range) {
  if (!progress_) progress_ = new QProgressBar(this);
  progress_->setRange(0, range);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  progress_->setGeometry(ProgressRect());
  progress_->show();
  progress_->raise();
}

void CSharedFolderPage::StepProgress(int position) {
  if (progress_) progress_->setValue(qMin(position, progress_->maximum()));
}

void CSharedFolderPage::HideProgress() { delete progress_; }

void CSharedFolderPage::InsertItem(int index, const std::string& text) {
  auto* item = new QTreeWidgetItem(QStringList{QString::fromStdString(text)});
  item->setFlags(item->flags() & ~Qt::ItemIsEditable);
  list_->insertTopLevelItem(qBound(0, index, list_->topLevelItemCount()), item);
}

void CSharedFolderPage::RemoveItem(int index) { delete list_->takeTopLevelItem(index); }

void CSharedFolderPage::ClearItems() { list_->clear(); }

void CSharedFolderPage::ShowMessageBox(const QString& text) {
  // Window-modal and not waited for: a worker's message never stops the
  // messages behind it.
  auto* box = new QMessageBox(QMessageBox::NoIcon, kMessageCaption, text, QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
  lastMessage_ = box;
}

void CSharedFolderPage::ShowWarning(const QString& text) {
  if (warningSink_) {
    warningSink_(text);
    return;
  }
  warningLine_->setText(text);
  warningLine_->setGeometry(10, height() - 40, width() - 20, 36);
  warningLine_->show();
}
