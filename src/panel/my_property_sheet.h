// The main window: the sheet of pages, the tray icon and its menu, and the
// companion media server kept running while the panel runs. OK, Cancel,
// Enter, Escape and the close box only hide the sheet (minimise it, where
// there is no tray to bring it back); "&Exit" ends the program.
#pragma once

#include <QPointer>
#include <QTimer>
#include <vector>

#include "panel/ui/property_sheet.h"
#include "platform/server_control.h"

class CSharedFolderPage;
class HostNamePage;
class CAboutPage;
class CRadioListPage;
class QLabel;
class QMenu;
class QSystemTrayIcon;

class CMyPropertySheet : public ui::PropertySheet {
  Q_OBJECT
 public:
  struct Options {
    bool startServer = true;   // tests of the windows alone leave it out
    int checkIntervalMs = 5000;
  };
  explicit CMyPropertySheet(Options options, QWidget* parent = nullptr);
  explicit CMyPropertySheet(QWidget* parent = nullptr) : CMyPropertySheet(Options{}, parent) {}
  ~CMyPropertySheet() override;

  // The drop window, when there is one; the sheet shows, hides and checks it.
  void SetDropWindow(QWidget* window);
  QWidget* DropWindow() const { return m_pDropWindow; }

  // Commands of the tray menu (and of the drop window's menu, the same one).
  void OnCommand(int command);
  // Brings the sheet back (a tray click, or a second start of the program).
  void ShowAndRaise();
  // Sets the check marks of a menu from what is visible now.
  void UpdateMenuChecks(QMenu* menu);
  // A fresh copy of the tray menu, owned by `parent`, whose check marks
  // follow the sheet and the drop window as they are shown and hidden (a
  // D-Bus tray host reads them without opening the menu); `withDefault`
  // makes "&Exit" bold.
  QMenu* CreateTrayMenu(QWidget* parent, bool withDefault);
  // A dropped link became a station: the station page, when it is the page
  // shown, lists it at once.
  void OnStationStored();
  // A drop stored nothing: `why` goes to the tray as a message, where there
  // is a tray (standard error has it already).
  void OnStationRefused(const QString& why);
  // "&Exit" has run (or is running).
  bool Exiting() const { return exited_; }

  CSharedFolderPage* SharedFolderPage() const { return m_sharedFolderPage; }
  HostNamePage* NamePage() const { return m_hostNamePage; }
  CRadioListPage* RadioPage() const { return m_radioListPage; }
  QSystemTrayIcon* Tray() const { return tray_; }
  QMenu* TrayMenu() const { return trayMenu_; }
  // The line that tells, once, how to get the sheet back where there is no
  // tray; null when it was not shown.
  QLabel* NoTrayNotice() const { return noTrayNotice_; }
  ServerControl& Server() { return server_; }

 signals:
  // "&Exit" ran: the tray icon is gone and the server asked to close.
  void exitRequested();

 protected:
  void OnOk() override { HideSheet(); }
  void OnCancel() override { HideSheet(); }
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void HideSheet();
  void SyncMenuChecks();
  void TellOnceThereIsNoTray();
  void OnTimer();
  void Exit();

  Options options_;
  CSharedFolderPage* m_sharedFolderPage;
  HostNamePage* m_hostNamePage;
  CAboutPage* m_aboutPage;
  CRadioListPage* m_radioListPage;
  QPointer<QWidget> m_pDropWindow;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  std::vector<QPointer<QMenu>> menus_;  // every copy of the tray menu
  QLabel* noTrayNotice_ = nullptr;
  QTimer timer_;
  QTimer restartTimer_;
  int restartTicks_ = 0;
  ServerControl server_;
  bool exited_ = false;
};
