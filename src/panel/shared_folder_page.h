// The Shared Folders page: the list of shared folders and Add, Delete, Delete
// All and Rescan. The page holds the sharing engine and shows it: every
// decision is the engine's, the page only shows it and asks the user.
#pragma once

#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <functional>
#include <memory>

#include "panel/qt_share_view.h"
#include "panel/ui/property_sheet.h"
#include "shares/shared_folder_core.h"

class QMenu;
class QTreeWidget;

class CSharedFolderPage : public ui::PropertyPage {
  Q_OBJECT
 public:
  explicit CSharedFolderPage(QWidget* parent = nullptr);
  ~CSharedFolderPage() override;

  // Where the change monitor's warnings go (a tray message); without one the
  // page shows them on a line of its own.
  void SetWarningSink(std::function<void(const QString&)> sink) { warningSink_ = std::move(sink); }

  // The engine the page shows; it reports back through the page's view.
  CSharedFolderCore& Engine() { return engine_; }

  // Delete All.
  void OnReset();

  void OnAdd();
  void OnDelete();
  void OnOperateRescan();
  void OnCommand(int command);
  // True while an Add or a Rescan works (the buttons are disabled).
  bool Busy() const { return busy_ > 0; }

  QTreeWidget* ListControl() const { return list_; }
  QProgressBar* ProgressBar() const { return progress_; }
  QLabel* WaitingLabel() const { return waiting_; }
  QMessageBox* LastMessageBox() const { return lastMessage_; }
  QLabel* WarningLine() const { return warningLine_; }

  // The view's calls, on the user-interface thread.
  void ShowButtonsEnabled(bool enabled);
  void ShowWaitingLabel(const QString& text);
  void HideWaitingLabel();
  void ShowProgress(int range);
  void StepProgress(int position);
  void HideProgress();
  void InsertItem(int index, const std::string& text);
  void RemoveItem(int index);
  void ClearItems();
  void ShowMessageBox(const QString& text);
  void ShowWarning(const QString& text);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QRect ProgressRect() const;
  std::vector<std::string> SelectedFolders() const;
  void OnContextMenu(const QPoint& pos);

  QtShareView view_;
  // After the view, so that it ends first: its workers report to the view.
  CSharedFolderCore engine_;
  QTreeWidget* list_;
  QMenu* contextMenu_;
  QPointer<QLabel> waiting_;
  QPointer<QProgressBar> progress_;
  QPointer<QMessageBox> lastMessage_;
  QLabel* warningLine_;
  std::function<void(const QString&)> warningSink_;
  int busy_ = 0;
};

inline constexpr const char* kMessageCaption = "Marlune";
