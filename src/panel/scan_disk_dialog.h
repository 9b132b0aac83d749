// The media-type dialog: the 19 media types as check boxes, all checked at
// every opening. Apply makes the checked ones the scan's filter; Cancel
// clears the filter and the folder choice.
#pragma once

#include <QVector>

#include "panel/ui/modal_dialog.h"

class QTreeWidget;
class QTreeWidgetItem;

class CScanDiskDialog : public ui::TemplateDialog {
  Q_OBJECT
 public:
  explicit CScanDiskDialog(QWidget* parent = nullptr);
  void accept() override;  // Apply
  void reject() override;  // Cancel, Escape, the close box
  void OnSelectAll();
  void OnUnselectAll();
  QTreeWidget* Tree() const { return tree_; }

 private:
  void CheckAll(bool checked);
  QTreeWidget* tree_;
  QVector<QTreeWidgetItem*> items_;  // one per media type, in table order
};
