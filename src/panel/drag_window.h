// The drop window: a small skinned window that stays above the others and
// out of the taskbar. Links dropped on it become radio stations (its drop
// target); the left button moves it, the right button opens the tray menu,
// whose commands go to the sheet. Its place and visibility are kept in the
// profile from one run to the next.
#pragma once

#include <QPointer>
#include <QWidget>
#include <optional>

#include "panel/drag_drop_target.h"
#include "panel/drag_window_profile.h"
#include "panel/skin_bitmap.h"

class CMyPropertySheet;
class QMenu;

class CDragWindow : public QWidget {
  Q_OBJECT
 public:
  explicit CDragWindow(QWidget* parent = nullptr, DownloadLimits limits = {});
  ~CDragWindow() override;

  // Shapes and sizes the window from its skin, takes drops, and places and
  // shows (or hides) it as the profile says. False when it cannot take drops.
  bool Create();
  // The sheet: it receives the menu's commands, sets its check marks, and
  // comes forward when the window is pressed.
  bool SetOwnerWindow(CMyPropertySheet* owner);
  // At a first start (no place stored yet), moves the window beside
  // `other` (the sheet's frame) when it would cover it and the screen has
  // room on one side.
  void KeepClearOf(const QRect& other);

  CDragDropTarget* DropTarget() { return &m_dropTarget; }
  const CSkinBitmap& Skin() const { return m_pSkin; }
  QMenu* Menu() const { return menu_; }
  // Links queued or downloading, as the window shows them (tooltip and mark).
  int Pending() const { return pending_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void BringOwnerForward();
  void KeepOutOfTaskbar();
  bool Recording() const;
  void ShowPending(int pending);

  QPointer<CMyPropertySheet> m_pOwnerWnd;
  CSkinBitmap m_pSkin;
  QImage shown_;  // the skin as painted: its key colour turned transparent
  CDragDropTarget m_dropTarget;
  DragWindowProfile profile_;
  QMenu* menu_ = nullptr;
  int pending_ = 0;
  bool firstPlace_ = false;          // placed at the default, not where the user put it
  bool recording_ = false;           // placed: moves and visibility go to the profile
  std::optional<QPoint> moveGrip_;   // our own move, where the system has none
};
