// The folder dialog of Add: the roots (the file system's root, the mounted
// file systems and the home folder) and their folders as a tree that is read
// from disk only as far as the user opens it. OK keeps the pick (Chosen) and
// goes on to the media-type dialog.
#pragma once

#include <QIcon>
#include <QVector>

#include "panel/ui/modal_dialog.h"
#include "platform/drives.h"
#include "shares/folder_selection.h"

class QTreeWidget;
class QTreeWidgetItem;

class CSourceSearchDialog : public ui::TemplateDialog {
  Q_OBJECT
 public:
  explicit CSourceSearchDialog(QWidget* parent = nullptr);
  void accept() override;
  void reject() override;

  QTreeWidget* Tree() const { return tree_; }
  // The folder picked with OK (empty before, and after Cancel).
  const FolderPair& Chosen() const { return chosen_; }
  // The folder an item stands for: its parents' labels joined with '/'.
  std::string GetItemPath(QTreeWidgetItem* item) const;
  // The mount table read for the roots (for tests).
  static void SetMountTable(const std::string& path) { mountTable_ = path; }
  // Runs the media-type dialog after OK (tests turn it off to drive it apart).
  static void SetRunsMediaTypeDialog(bool runs) { runsMediaTypes_ = runs; }

 protected:
  virtual int AddSubfolders(QTreeWidgetItem* item, const std::string& path);
  virtual void DeleteAllChildren(QTreeWidgetItem* item);
  virtual void DeleteFirstChild(QTreeWidgetItem* item);
  virtual bool AddPlaceholderIfHasSubfolder(QTreeWidgetItem* item, const std::string& path);
  virtual bool InsertDrive(const Drive& drive);
  virtual int InsertDrives();

 private:
  void AddPlaceholder(QTreeWidgetItem* item);

  FolderPair chosen_;
  void OnItemExpanded(QTreeWidgetItem* item);
  void OnItemCollapsed(QTreeWidgetItem* item);

  QTreeWidget* tree_;
  QVector<QIcon> images_;  // the six images of the strip
  QIcon folderIcon_;
  bool refusing_ = false;  // a refused expansion is being undone
  static std::string mountTable_;
  static bool runsMediaTypes_;
};
