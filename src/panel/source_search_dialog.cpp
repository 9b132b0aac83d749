#include "panel/source_search_dialog.h"

#include <QBitmap>
#include <QTreeWidget>

#include "panel/scan_disk_dialog.h"
#include "panel/ui/commands.h"
#include "panel/ui/resources.h"
#include "shares/folder_selection.h"

std::string CSourceSearchDialog::mountTable_ = "/proc/self/mounts";
bool CSourceSearchDialog::runsMediaTypes_ = true;

namespace {

enum Image { kHardDisk, kFloppy, kCompactDisc, kNetworkDrive, kFolderClosed, kFolderOpen };

// Items keep the folder's own bytes: a name that is not valid UTF-8 still
// gives back the exact path.
constexpr int kNameRole = Qt::UserRole;

std::string NameOf(const QTreeWidgetItem* item) {
  return item->data(0, kNameRole).toByteArray().toStdString();
}

QTreeWidgetItem* NewItem(const std::string& name, const QIcon& icon) {
  auto* item = new QTreeWidgetItem(QStringList{QString::fromUtf8(name.data(), static_cast<int>(name.size()))});
  item->setData(0, kNameRole, QByteArray::fromStdString(name));
  item->setIcon(0, icon);
  return item;
}

bool IsPlaceholder(const QTreeWidgetItem* item) { return NameOf(item).empty(); }

std::string Join(const std::string& folder, const std::string& name) {
  return (!folder.empty() && folder.back() == '/' ? folder : folder + "/") + name;
}

}  // namespace

CSourceSearchDialog::CSourceSearchDialog(QWidget* parent)
    : ui::TemplateDialog(res::kSourceSearchDialog, parent) {
  setWindowTitle("Scandisk to search for media files");
  tree_ = ControlAs<QTreeWidget>(1007);
  tree_->setSelectionBehavior(QAbstractItemView::SelectRows);
  // The strip's six 16 x 15 images, magenta being transparent.
  const QPixmap strip = ui::Bitmap(res::kDriveImages);
  for (int i = 0; i < 6; ++i) {
    QPixmap image = strip.copy(i * 16, 0, 16, 15);
    image.setMask(image.createMaskFromColor(QColor(255, 0, 255), Qt::MaskInColor));
    images_ << QIcon(image);
  }
  // Folder items show the open folder while selected.
  folderIcon_ = images_.value(kFolderClosed);
  folderIcon_.addPixmap(images_.value(kFolderOpen).pixmap(16, 15), QIcon::Selected);
  connect(tree_, &QTreeWidget::itemExpanded, this, &CSourceSearchDialog::OnItemExpanded);
  connect(tree_, &QTreeWidget::itemCollapsed, this, &CSourceSearchDialog::OnItemCollapsed);
  InsertDrives();
}

void CSourceSearchDialog::AddPlaceholder(QTreeWidgetItem* item) {
  item->addChild(NewItem("", images_.value(kFolderClosed)));
}

int CSourceSearchDialog::InsertDrives() {
  int added = 0;
  for (const Drive& d : ListDrives(mountTable_))
    if (InsertDrive(d)) ++added;
  return added;
}

bool CSourceSearchDialog::InsertDrive(const Drive& drive) {
  Image image = kHardDisk;
  bool readNow = true;
  switch (drive.kind) {
    case DriveKind::Removable:
      image = kFloppy;
      readNow = false;
      break;
    case DriveKind::CdRom:
      image = kCompactDisc;
      readNow = false;
      break;
    case DriveKind::Remote:
      image = kNetworkDrive;
      break;
    case DriveKind::Fixed:
    case DriveKind::RamDisk:
      break;
  }
  auto* item = NewItem(drive.root, images_.value(image));
  tree_->addTopLevelItem(item);
  // Removable media and discs are not touched until the user opens them.
  if (readNow) AddPlaceholderIfHasSubfolder(item, drive.root);
  else AddPlaceholder(item);
  return true;
}

bool CSourceSearchDialog::AddPlaceholderIfHasSubfolder(QTreeWidgetItem* item, const std::string& path) {
  if (!HasSubfolder(path)) return false;
  AddPlaceholder(item);
  return true;
}

int CSourceSearchDialog::AddSubfolders(QTreeWidgetItem* item, const std::string& path) {
  std::vector<std::string> names;
  if (!ListSubfolders(path, &names)) {
    if (item->childCount() == 0) AddPlaceholder(item);
    return 0;
  }
  for (const std::string& name : names) {
    QTreeWidgetItem* child = NewItem(name, folderIcon_);
    // Sorted among its siblings, the way a person reads a folder list.
    const QString text = child->text(0);
    int at = 0;
    while (at < item->childCount()) {
      const QString other = item->child(at)->text(0);
      int c = text.compare(other, Qt::CaseInsensitive);
      if (c == 0) c = text.compare(other, Qt::CaseSensitive);
      if (c < 0) break;
      ++at;
    }
    item->insertChild(at, child);
    AddPlaceholderIfHasSubfolder(child, Join(path, name));
  }
  return static_cast<int>(names.size());
}

void CSourceSearchDialog::DeleteAllChildren(QTreeWidgetItem* item) {
  qDeleteAll(item->takeChildren());
}

void CSourceSearchDialog::DeleteFirstChild(QTreeWidgetItem* item) {
  if (item->childCount() > 0) delete item->takeChild(0);
}

std::string CSourceSearchDialog::GetItemPath(QTreeWidgetItem* item) const {
  if (!item) return {};
  std::string path = NameOf(item);
  for (QTreeWidgetItem* p = item->parent(); p; p = p->parent()) path = Join(NameOf(p), path);
  return path;
}

void CSourceSearchDialog::OnItemExpanded(QTreeWidgetItem* item) {
  if (refusing_) return;
  // Every opening reads the folder afresh.
  const std::string path = GetItemPath(item);
  DeleteFirstChild(item);
  if (AddSubfolders(item, path) == 0) {
    // Nothing to show: the item closes again, keeping whatever placeholder
    // the listing left (a disc not yet inserted can be opened later).
    refusing_ = true;
    item->setExpanded(false);
    refusing_ = false;
  }
}

void CSourceSearchDialog::OnItemCollapsed(QTreeWidgetItem* item) {
  if (refusing_) return;
  // The subtree is thrown away; one placeholder stands for it until the
  // next opening reads the folder again.
  DeleteAllChildren(item);
  AddPlaceholder(item);
}

void CSourceSearchDialog::accept() {
  QTreeWidgetItem* item = tree_->currentItem();
  if (item && !item->isSelected()) item = nullptr;
  if (item && IsPlaceholder(item)) item = nullptr;
  const std::string path = GetItemPath(item);
  if (!path.empty()) {
    chosen_ = FolderPair{NameOf(item), path};
    CFolderSelection::SetChosen();
  } else {
    CFolderSelection::ClearChosen();
  }
  ui::TemplateDialog::accept();
  if (!path.empty() && runsMediaTypes_) {
    // Still inside OK: the folder dialog's run ends only after this one.
    CScanDiskDialog types;
    types.exec();
  }
}

void CSourceSearchDialog::reject() {
  CFolderSelection::ClearChosen();
  ui::TemplateDialog::reject();
}
