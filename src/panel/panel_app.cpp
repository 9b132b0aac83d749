#include "panel/panel_app.h"

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QScopeGuard>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "panel/drag_window.h"
#include "panel/my_property_sheet.h"
#include "panel/ui/commands.h"
#include "platform/named_mutex.h"
#include "platform/presence.h"
#include "platform/runtime_dir.h"
#include "platform/server_control.h"
#include "platform/signals.h"

namespace {

constexpr const char* kShowRequest = "show\n";

// Qt's own complaints while looking for a display would bury the one line
// that matters; they are kept back until a display is found.
bool g_quietQt = true;
void QtMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (g_quietQt && type != QtFatalMsg) return;
  fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// Qt picks the desktop's platform itself only when the user has not; X11
// first (on Wayland through XWayland, where windows can place themselves),
// and "offscreen" last so that no display is an answer instead of an abort.
bool ChooseQtPlatform() {
  if (const char* chosen = getenv("QT_QPA_PLATFORM"); chosen && *chosen) return true;
  setenv("QT_QPA_PLATFORM", "xcb;wayland;offscreen", 1);
  return false;
}

// The data folder a running instance's note names ("process N (what, data
// folder PATH)"); empty when the note names none.
std::string NoteDataFolder(const std::string& note) {
  const std::string mark = ", data folder ";
  const size_t at = note.find(mark);
  if (at == std::string::npos || note.empty() || note.back() != ')') return {};
  return note.substr(at + mark.size(), note.size() - 1 - at - mark.size());
}

// The local socket through which a second start asks the running panel to
// show its sheet.
QString PanelSocketPath() { return QString::fromStdString(RuntimeDir()) + "/panel.socket"; }

// Asks a running panel to show its sheet; false when none answers.
bool AskRunningPanelToShow() {
  if (RuntimeDir().empty()) return false;
  QLocalSocket socket;
  socket.connectToServer(PanelSocketPath());
  if (!socket.waitForConnected(1000)) return false;
  socket.write(kShowRequest);
  socket.waitForBytesWritten(1000);
  // The panel answers once it has brought its sheet forward.
  return socket.waitForReadyRead(2000) && socket.readAll().startsWith("ok");
}

}  // namespace

int RunControlPanel(int argc, char** argv, const std::string& dataFolder,
                    const std::function<int()>& enterDataFolder) {
  // One panel (or serve, or watch) at a time. A second panel for the same
  // data folder hands over to the first one and leaves; one for another
  // folder would show the user the wrong library, so it says which.
  std::unique_ptr<NamedMutex> instance;
  if (!ClaimSingleInstance(kInstanceMutex, &instance)) {
    const std::string note = NamedMutex::ReadNote(kInstanceMutex);
    const std::string theirs = NoteDataFolder(note);
    if ((theirs.empty() || theirs == dataFolder) && AskRunningPanelToShow()) return 0;
    fprintf(stderr,
            "tarvel: %s already follows its data folder; only one watch, serve or control panel "
            "runs at a time\n",
            note.empty() ? "another tarvel" : note.c_str());
    return 1;
  }
  if (int rc = enterDataFolder()) return rc;
  std::error_code ec;
  if (instance)
    instance->SetNote("process " + std::to_string(getpid()) + " (control panel, data folder " +
                      std::filesystem::current_path(ec).string() + ")");
  // A server left running by an earlier run is asked to close, only now that
  // we know we are the one that runs.
  if (ServerControl::AskToClose()) WaitUntilAbsent(kServerTitle, 5000);

  // SIGINT and SIGTERM (a logout, a kill) are an Exit: the server goes too.
  // Blocked before Qt starts any thread of its own.
  // Once the panel has begun to end, a further stop signal has nothing left
  // to do: they stay blocked (and are dropped at exit) after the signal
  // thread is gone, instead of killing the panel half way through its end.
  const sigset_t stopSet = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
  QPointer<CMyPropertySheet> exitTarget;
  std::atomic<bool> stopped{false};
  // The signal thread reaches the application only while it exists: the
  // pointer is set and cleared under this lock, and cleared before the
  // application is destroyed.
  std::mutex appMutex;
  QApplication* running = nullptr;
  StopSignals stopSignals([&](int) {
    stopped = true;
    std::lock_guard lock(appMutex);
    if (running)
      QMetaObject::invokeMethod(running, [&exitTarget] {
        if (exitTarget) exitTarget->OnCommand(cmd::kExit);
      }, Qt::QueuedConnection);
  });

  const bool userChosePlatform = ChooseQtPlatform();
  qInstallMessageHandler(QtMessages);
  QApplication app(argc, argv);
  const auto forgetApp = qScopeGuard([&] {
    std::lock_guard lock(appMutex);
    running = nullptr;
  });
  if (!userChosePlatform && QGuiApplication::platformName() == "offscreen") {
    fprintf(stderr,
            "tarvel: no display to open the control panel on (is DISPLAY set?); "
            "run 'tarvel serve' to do its work without one\n");
    return 1;
  }
  g_quietQt = false;
  qInstallMessageHandler(nullptr);
  QApplication::setQuitOnLastWindowClosed(false);
  // A D-Bus tray host lists the icon under the application's name (its
  // Title and Id): the program's name, as the tooltip and the sheet say it.
  QApplication::setApplicationName("Tarvel Media Server");

  // The drop window first, as it stands on the desktop on its own; it goes
  // after the sheet (or earlier, when the user closes it).
  QPointer<CDragWindow> drop = new CDragWindow;
  const auto dropGone = qScopeGuard([&drop] { delete drop.data(); });
  if (!drop->Create()) delete drop.data();

  CMyPropertySheet sheet;
  if (drop) {
    drop->SetOwnerWindow(&sheet);
    sheet.SetDropWindow(drop);
  }
  exitTarget = &sheet;
  {
    std::lock_guard lock(appMutex);
    running = &app;
  }
  if (stopped) return 0;  // asked to stop while starting up
  QObject::connect(&sheet, &CMyPropertySheet::exitRequested, &app, &QApplication::quit);

  // We hold the instance lock, so a socket left behind is a crashed panel's.
  QLocalServer server;
  QLocalServer::removeServer(PanelSocketPath());
  server.setSocketOptions(QLocalServer::UserAccessOption);
  if (!RuntimeDir().empty() && server.listen(PanelSocketPath())) {
    QObject::connect(&server, &QLocalServer::newConnection, &sheet, [&server, &sheet] {
      while (QLocalSocket* peer = server.nextPendingConnection()) {
        QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        QObject::connect(peer, &QLocalSocket::readyRead, &sheet, [peer, &sheet] {
          if (!peer->readAll().startsWith("show")) return;
          sheet.ShowAndRaise();
          peer->write("ok\n");
          peer->flush();
        });
      }
    });
  }

  sheet.show();
  // At a first start the drop window stands beside the sheet, not on it.
  if (drop) drop->KeepClearOf(sheet.frameGeometry());
  app.exec();
  server.close();
  return 0;
}
