#include "panel/radio_list_page.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QTextBrowser>
#include <QTreeWidget>

#include "panel/ui/commands.h"
#include "panel/ui/resources.h"
#include "radio/drop.h"
#include "radio/stations.h"

namespace {
constexpr int kListId = 1001, kDescriptionId = 1005, kDeleteId = 1011, kRefreshId = 1019;
}

CRadioListPage::CRadioListPage(QWidget* parent) : ui::PropertyPage(res::kRadioListPage, parent) {
  list_ = ControlAs<QTreeWidget>(kListId);
  description_ = ControlAs<QTextBrowser>(kDescriptionId);
  list_->setColumnCount(1);
  list_->setHeaderLabels({"Radio Name"});
  list_->header()->setStretchLastSection(false);
  list_->header()->resizeSection(0, 1200);
  list_->setIconSize(QSize(16, 16));
  list_->setSortingEnabled(false);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  popupMenu_ = ui::LoadPopupMenu(res::kRadioMenu, this);

  connect(ControlAs<QPushButton>(kRefreshId), &QPushButton::clicked, this, &CRadioListPage::OnRefresh);
  connect(ControlAs<QPushButton>(kDeleteId), &QPushButton::clicked, this,
          &CRadioListPage::OnDeleteStation);
  connect(list_, &QTreeWidget::itemClicked, this, [this] { OnClickStation(); });
  connect(list_, &QTreeWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { OnRightClickStation(list_->viewport()->mapToGlobal(pos)); });
  list_->installEventFilter(this);

  FillStationList(GetRadioFolder());
}

std::string CRadioListPage::GetRadioFolder() const { return ::GetRadioFolder(); }

bool CRadioListPage::OnSetActive() {
  ClearStationList();
  FillStationList(GetRadioFolder());
  return true;
}

bool CRadioListPage::OnKillActive() {
  ClearStationList();
  ShowDescription(QString());
  return true;
}

void CRadioListPage::OnRefresh() {
  // The description stays: it still describes the station last clicked.
  ClearStationList();
  FillStationList(GetRadioFolder());
}

void CRadioListPage::FillStationList(const std::string& folder) {
  const QIcon icon = ui::Icon(res::kStationIcon);
  for (const std::string& name : ListStations(folder)) {
    // Names and titles come from the network: shown without controls or
    // direction overrides (U+202E would make "evil" read "live").
    auto* item = new QTreeWidgetItem(QStringList{QString::fromStdString(DisplayText(name))});
    item->setIcon(0, icon);
    // The file name as it is on disk, even when it is not valid UTF-8, so
    // that describing and deleting find the file again.
    item->setData(0, Qt::UserRole, QByteArray::fromStdString(name));
    list_->insertTopLevelItem(stationCount_, item);
    ++stationCount_;
  }
}

void CRadioListPage::ClearStationList() {
  list_->clear();
  stationCount_ = 0;
}

void CRadioListPage::ShowDescription(const QString& text) {
  // A title comes from the network: shown as text, never as markup.
  description_->setPlainText(text);
}

void CRadioListPage::OnClickStation() {
  if (list_->selectedItems().isEmpty()) return;
  // The item last clicked or moved to, as long as it is one of the selected.
  QTreeWidgetItem* item = list_->currentItem();
  if (!item || !item->isSelected()) item = list_->selectedItems().last();
  const std::string path =
      GetRadioFolder() + item->data(0, Qt::UserRole).toByteArray().toStdString();
  std::string title;
  ReadStationTitle(path.c_str(), &title);
  ShowDescription(QString::fromStdString(DisplayText(title)));
}

void CRadioListPage::OnDeleteStation() {
  const std::string folder = GetRadioFolder();
  // In list order, one at a time: a station already gone from the disk, or
  // one whose file cannot be deleted, leaves the list all the same and does
  // not keep the others (a file that stays comes back at the next fill).
  for (int i = 0; i < list_->topLevelItemCount();) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    if (!item->isSelected()) {
      ++i;
      continue;
    }
    const std::string name = item->data(0, Qt::UserRole).toByteArray().toStdString();
    std::string error;
    RemoveStations(folder, {name}, &error);
    delete list_->takeTopLevelItem(i);
    --stationCount_;
  }
  ShowDescription(" ");
}

void CRadioListPage::OnRightClickStation(const QPoint& globalPos) {
  if (list_->selectedItems().isEmpty()) return;
  QAction* chosen = popupMenu_->exec(globalPos);
  if (chosen) OnCommand(ui::CommandOf(chosen));
}

void CRadioListPage::OnCommand(int command) {
  if (command == cmd::kRadioDelete) OnDeleteStation();
}

bool CRadioListPage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
    OnDeleteStation();
    return true;
  }
  return ui::PropertyPage::eventFilter(watched, event);
}
