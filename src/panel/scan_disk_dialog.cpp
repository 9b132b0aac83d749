#include "panel/scan_disk_dialog.h"

#include <QPushButton>
#include <QTreeWidget>

#include "panel/ui/commands.h"
#include "shares/folder_selection.h"

CScanDiskDialog::CScanDiskDialog(QWidget* parent) : ui::TemplateDialog(res::kScanDiskDialog, parent) {
  tree_ = ControlAs<QTreeWidget>(1008);
  tree_->setAccessibleName("Media types");
  for (int i = 0; i < kMediaTypeCount; ++i) {
    const QString row = QString::fromUtf8(kMediaTypeTable[i]);
    auto* item = new QTreeWidgetItem(tree_, QStringList{row});
    item->setToolTip(0, row);  // the template is narrower than the longer rows
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    item->setCheckState(0, Qt::Checked);
    items_ << item;
  }
  connect(ControlAs<QPushButton>(1009), &QPushButton::clicked, this, &CScanDiskDialog::OnSelectAll);
  connect(ControlAs<QPushButton>(1010), &QPushButton::clicked, this, &CScanDiskDialog::OnUnselectAll);
}

void CScanDiskDialog::CheckAll(bool checked) {
  for (QTreeWidgetItem* item : items_) item->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
}

void CScanDiskDialog::OnSelectAll() { CheckAll(true); }

void CScanDiskDialog::OnUnselectAll() { CheckAll(false); }

void CScanDiskDialog::accept() {
  std::vector<std::string> rows;
  for (int i = 0; i < items_.size(); ++i)
    if (items_[i]->checkState(0) == Qt::Checked) rows.push_back(kMediaTypeTable[i]);
  g_enabledMediaTypes.Set(std::move(rows));
  ui::TemplateDialog::accept();
}

void CScanDiskDialog::reject() {
  CFolderSelection::ClearChosen();
  g_enabledMediaTypes.Clear();
  CheckAll(false);
  ui::TemplateDialog::reject();
}
