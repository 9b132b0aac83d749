#include "panel/my_property_sheet.h"

#include <QAction>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QSystemTrayIcon>

#include "panel/about_page.h"
#include "panel/autostart_entry.h"
#include "panel/drag_window_profile.h"
#include "panel/host_name_page.h"
#include "panel/radio_list_page.h"
#include "panel/shared_folder_page.h"
#include "panel/ui/commands.h"
#include "panel/ui/resources.h"

CMyPropertySheet::CMyPropertySheet(Options options, QWidget* parent)
    : ui::PropertySheet("Tarvel Media Server", parent), options_(options) {
  setWindowIcon(ui::Icon(res::kProgramIcon));
  m_sharedFolderPage = new CSharedFolderPage;
  m_hostNamePage = new HostNamePage;
  m_aboutPage = new CAboutPage;
  m_radioListPage = new CRadioListPage;
  AddPage(m_sharedFolderPage);
  AddPage(m_hostNamePage);
  AddPage(m_aboutPage);
  AddPage(m_radioListPage);

  // A new name restarts the server through our own control, so the periodic
  // check knows the new server is starting and does not start another.
  m_hostNamePage->SetRestartServer([this] {
    if (!options_.startServer) return;
    server_.Restart();
    restartTimer_.start();
  });
  // While a restart waits for the old server to go, it is looked at often,
  // so the new one follows within a moment; never longer than 10 seconds.
  restartTimer_.setInterval(50);
  connect(&restartTimer_, &QTimer::timeout, this, [this] {
    server_.Check();
    if (!server_.RestartPending() || ++restartTicks_ > 200) {
      restartTimer_.stop();
      restartTicks_ = 0;
    }
  });

  // The menus' check marks follow the sheet as it is shown, hidden,
  // minimised and restored, whichever way that happens.
  installEventFilter(this);
  trayMenu_ = CreateTrayMenu(this, true);
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(ui::Icon(res::kProgramIcon), this);
    tray_->setToolTip("Tarvel Media Server");
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
      if (why == QSystemTrayIcon::Trigger) ShowAndRaise();
    });
    // The icon stays for the whole run: it is the way back to a hidden sheet.
    tray_->show();
    m_sharedFolderPage->SetWarningSink([this](const QString& text) {
      tray_->showMessage("Tarvel Media Server", text, QSystemTrayIcon::Warning);
    });
  } else {
    TellOnceThereIsNoTray();
  }

  if (options_.startServer) server_.Start();
  timer_.setInterval(options_.checkIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &CMyPropertySheet::OnTimer);
  timer_.start();
}

CMyPropertySheet::~CMyPropertySheet() {
  if (!exited_ && options_.startServer) server_.Shutdown();
}

QMenu* CMyPropertySheet::CreateTrayMenu(QWidget* parent, bool withDefault) {
  QMenu* menu = ui::LoadPopupMenu(res::kTrayMenu, parent);
  for (int command : {cmd::kShowSheet, cmd::kShowDropWindow, cmd::kStartAtLogin})
    ui::FindCommand(menu, command)->setCheckable(true);
  if (withDefault) menu->setDefaultAction(ui::FindCommand(menu, cmd::kExit));
  connect(menu, &QMenu::aboutToShow, this, [this, menu] { UpdateMenuChecks(menu); });
  connect(menu, &QMenu::triggered, this, [this](QAction* a) { OnCommand(ui::CommandOf(a)); });
  std::erase_if(menus_, [](const QPointer<QMenu>& m) { return m.isNull(); });
  menus_.emplace_back(menu);
  UpdateMenuChecks(menu);
  return menu;
}

void CMyPropertySheet::SetDropWindow(QWidget* window) {
  if (m_pDropWindow) m_pDropWindow->removeEventFilter(this);
  m_pDropWindow = window;
  if (window) {
    window->installEventFilter(this);
    // Queued: by then the pointer to it reads null.
    connect(window, &QObject::destroyed, this, &CMyPropertySheet::SyncMenuChecks,
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
  }
  SyncMenuChecks();
}

bool CMyPropertySheet::eventFilter(QObject* watched, QEvent* event) {
  // Qt has set what isVisible() and isMinimized() say before these arrive.
  const QEvent::Type type = event->type();
  if ((watched == this || (m_pDropWindow && watched == m_pDropWindow)) &&
      (type == QEvent::Show || type == QEvent::Hide || type == QEvent::WindowStateChange))
    SyncMenuChecks();
  return ui::PropertySheet::eventFilter(watched, event);
}

void CMyPropertySheet::SyncMenuChecks() {
  for (const QPointer<QMenu>& menu : menus_)
    if (menu) UpdateMenuChecks(menu);
}

void CMyPropertySheet::TellOnceThereIsNoTray() {
  // Only the first run without a tray says it: from then on the user knows.
  QSettings profile(ProfilePath(), QSettings::IniFormat);
  if (profile.value("Panel/NoTrayNoticeShown").toInt() == 1) return;
  profile.setValue("Panel/NoTrayNoticeShown", 1);
  noTrayNotice_ = new QLabel(
      "This desktop shows no tray icons, so there is no icon to bring this window back. "
      "Closing it minimises it instead; to get it back, use the taskbar, the drop window's "
      "right-click menu, or start Tarvel Media Server again.",
      this);
  noTrayNotice_->setWordWrap(true);
  noTrayNotice_->setObjectName("noTrayNotice");
  if (auto* box = qobject_cast<QBoxLayout*>(layout())) box->insertWidget(0, noTrayNotice_);
}

void CMyPropertySheet::OnStationStored() {
  if (ActivePage() == m_radioListPage) m_radioListPage->OnRefresh();
}

void CMyPropertySheet::OnStationRefused(const QString& why) {
  if (tray_ && tray_->isVisible())
    tray_->showMessage("Tarvel Media Server", "Dropped " + why, QSystemTrayIcon::Warning);
}

void CMyPropertySheet::UpdateMenuChecks(QMenu* menu) {
  // A minimised sheet is not shown: the item restores it rather than hides it.
  ui::FindCommand(menu, cmd::kShowSheet)->setChecked(isVisible() && !isMinimized());
  QAction* drop = ui::FindCommand(menu, cmd::kShowDropWindow);
  drop->setEnabled(m_pDropWindow != nullptr);
  drop->setChecked(m_pDropWindow && m_pDropWindow->isVisible());
  ui::FindCommand(menu, cmd::kStartAtLogin)->setChecked(AutostartEntry().Exists());
}

void CMyPropertySheet::ShowAndRaise() {
  if (isMinimized() || !isVisible()) showNormal();
  raise();
  activateWindow();
}

void CMyPropertySheet::HideSheet() {
  // Hidden only while the tray icon can bring it back. Without a tray it is
  // minimised, so that the taskbar still shows it: the drop window's menu is
  // a way back too, but not one a user looks for.
  if (tray_ && tray_->isVisible()) hide();
  else showMinimized();
}

void CMyPropertySheet::closeEvent(QCloseEvent* event) {
  if (exited_) {
    event->accept();
    return;
  }
  event->ignore();
  HideSheet();
}

void CMyPropertySheet::OnCommand(int command) {
  switch (command) {
    case cmd::kShowSheet:
      if (isVisible() && !isMinimized()) HideSheet();
      else ShowAndRaise();
      break;
    case cmd::kShowDropWindow:
      if (m_pDropWindow) m_pDropWindow->setVisible(!m_pDropWindow->isVisible());
      break;
    case cmd::kAbout: {
      CAboutBox box;
      box.exec();
      break;
    }
    case cmd::kExit:
      Exit();
      break;
    case cmd::kStartAtLogin:
      AutostartEntry().Toggle();
      break;
    default:
      break;
  }
  // A checkable item flips its own mark as it is chosen, also when the
  // command changed nothing: the marks say what is, not what was clicked.
  SyncMenuChecks();
}

void CMyPropertySheet::OnTimer() {
  if (options_.startServer) server_.Check();
  // Folders shared or unshared meanwhile by a tarvel on the command line
  // show up here, unless one of our own walks is under way.
  if (!m_sharedFolderPage->Busy()) m_sharedFolderPage->Engine().StartReloadIfChanged();
}

void CMyPropertySheet::Exit() {
  if (exited_) return;
  exited_ = true;
  timer_.stop();
  restartTimer_.stop();
  if (tray_) tray_->hide();
  if (options_.startServer) server_.Shutdown();
  hide();
  if (m_pDropWindow) m_pDropWindow->hide();
  emit exitRequested();
}
