// The control panel's windows, driven in-process on the offscreen platform,
// over a real catalogue in a temporary folder.
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QTabWidget>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <functional>
#include <future>

#include "catalog/database.h"
#include "gui_testing.h"
#include "panel/about_page.h"
#include "panel/host_name_page.h"
#include "panel/my_property_sheet.h"
#include "panel/radio_list_page.h"
#include "panel/scan_disk_dialog.h"
#include "panel/shared_folder_page.h"
#include "panel/source_search_dialog.h"
#include "panel/ui/commands.h"
#include "panel/ui/dialog_template.h"
#include "panel/ui/resources.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/server_control.h"
#include "platform/server_name.h"
#include "shares/folder_selection.h"
#include "testing.h"

using namespace std::chrono_literals;

extern char** environ;

namespace {

// Runs `act` on the next modal dialog of type T once it is open.
template <typename T>
void WhenModal(std::function<void(T*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    if (auto* d = qobject_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(d);
    }
  });
  timer->start();
}

QTreeWidgetItem* ChildNamed(QTreeWidgetItem* parent, const QString& name) {
  for (int i = 0; i < parent->childCount(); ++i)
    if (parent->child(i)->text(0) == name) return parent->child(i);
  return nullptr;
}

QTreeWidgetItem* RootNamed(QTreeWidget* tree, const QString& name) {
  for (int i = 0; i < tree->topLevelItemCount(); ++i)
    if (tree->topLevelItem(i)->text(0) == name) return tree->topLevelItem(i);
  return nullptr;
}

// Live MediaServer processes working in `folder`.
std::vector<pid_t> ServerPidsIn(const fs::path& folder) {
  std::vector<pid_t> out;
  for (const auto& e : fs::directory_iterator("/proc")) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink(e.path() / "exe", ec);
    if (ec || exe.filename() != "MediaServer") continue;
    if (fs::read_symlink(e.path() / "cwd", ec) == folder && !ec) {
      std::string stat = ReadFile(e.path() / "stat");
      size_t close = stat.rfind(')');
      if (close != std::string::npos && stat[close + 2] != 'Z') out.push_back(atoi(e.path().filename().c_str()));
    }
  }
  return out;
}

// Whether `control` can be brought into view inside `window`: scrolled to
// within its scroll area, if it is in one, and that within the window.
bool Reachable(QWidget* window, QWidget* control) {
  for (QWidget* w = control->parentWidget(); w && w != window; w = w->parentWidget())
    if (auto* scroller = qobject_cast<QScrollArea*>(w)) {
      const QRect inside(control->mapTo(scroller->widget(), QPoint(0, 0)), control->size());
      scroller->ensureVisible(inside.center().x(), inside.center().y(), (inside.width() + 1) / 2,
                              (inside.height() + 1) / 2);
    }
  const QRect r(control->mapTo(window, QPoint(0, 0)), control->size());
  // Within what every widget up to the window shows of it; one larger than
  // that fills it. (A few pixels go to the rounding of dialog units.)
  QRect room(QPoint(0, 0), window->size());
  for (QWidget* w = control->parentWidget(); w && w != window; w = w->parentWidget())
    room &= QRect(w->mapTo(window, QPoint(0, 0)), w->size());
  const QRect seen = room & r;
  constexpr int kSlack = 3;
  if (seen.width() < qMin(r.width(), room.width()) - kSlack ||
      seen.height() < qMin(r.height(), room.height()) - kSlack)
    return false;
  return true;
}

int ServersIn(const fs::path& folder) { return static_cast<int>(ServerPidsIn(folder).size()); }

void KillServersIn(const fs::path& folder) {
  for (pid_t pid : ServerPidsIn(folder)) kill(pid, SIGKILL);
  ReapChildren();
}

class PanelTest : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    // Servers these tests start answer on loopback only: nothing they
    // announce leaves the machine.
    setenv("TARVEL_SERVER_INTERFACE", "lo", 1);
    g_enabledMediaTypes.LoadAll();
    CFolderSelection::ClearChosen();
    // The folder dialog offers "/" and the home folder: the test's own folder.
    home_ = dir_ / "home";
    fs::create_directories(home_);
    setenv("HOME", home_.c_str(), 1);
    WriteFile(dir_ / "mounts", "");
    CSourceSearchDialog::SetMountTable((dir_ / "mounts").string());
  }
  void TearDown() override {
    g_enabledMediaTypes.LoadAll();
    // No server a test started outlives it, whatever the test's outcome.
    KillServersIn(dir_);
    CatalogTest::TearDown();
  }

  // Picks home/<folder> in the folder dialog and answers the media-type
  // dialog with `apply` (after unticking everything when `none`).
  void PickInDialogs(const QString& folder, bool apply, bool none = false) {
    WhenModal<CSourceSearchDialog>([=, this](CSourceSearchDialog* d) {
      QTreeWidgetItem* home = RootNamed(d->Tree(), QString::fromStdString(home_.string()));
      ASSERT_NE(home, nullptr);
      home->setExpanded(true);
      QTreeWidgetItem* item = ChildNamed(home, folder);
      ASSERT_NE(item, nullptr);
      d->Tree()->setCurrentItem(item);
      WhenModal<CScanDiskDialog>([=](CScanDiskDialog* t) {
        if (none) t->OnUnselectAll();
        if (apply) t->accept();
        else t->reject();
      });
      d->accept();
    });
  }

  fs::path home_;
};

CMyPropertySheet::Options NoServer() {
  CMyPropertySheet::Options o;
  o.startServer = false;
  return o;
}

TEST(Template, ControlsScaleWithTheDialogFont) {
  const ui::DialogTemplate tpl = ui::LoadTemplate(res::kSharedFolderPage);
  ASSERT_EQ(tpl.caption, "Shared Folders");
  QWidget small, large;
  QFont f = small.font();
  f.setPointSize(8);
  small.setFont(f);
  f.setPointSize(16);
  large.setFont(f);
  ui::ControlSet a = ui::CreateControls(&small, tpl), b = ui::CreateControls(&large, tpl);
  // The Delete button keeps its place relative to the page at twice the font.
  QRect ra = a.Get(1003)->geometry(), rb = b.Get(1003)->geometry();
  EXPECT_NEAR(double(rb.x()) / large.width(), double(ra.x()) / small.width(), 0.02);
  EXPECT_NEAR(double(rb.y()) / large.height(), double(ra.y()) / small.height(), 0.02);
  EXPECT_GT(rb.width(), ra.width() * 3 / 2);

  QString error;
  EXPECT_EQ(ui::ParseTemplate("DIALOG 5 10 10 \"x\"\nSLIDER 1 0 0 5 5\n", &error).id, 0);
  EXPECT_TRUE(error.contains("SLIDER"));
  EXPECT_EQ(ui::ParseTemplate("DIALOG 5 10 10 \"x\"\nBUTTON 1 0 zero 5 5 \"a\"\n", &error).id, 0);
  EXPECT_EQ(ui::ParseTemplate("DIALOG 5 10 10 \"say \"\"hi\"\"\"\n").caption, "say \"hi\"");
}

// Large text (QT_FONT_DPI=144, a scale factor) makes every template larger
// than a small screen: windows open within its free area and scroll.
TEST_F(PanelTest, WithLargeTextEveryWindowFitsTheScreenAndEveryControlIsReachable) {
  const QSize room = QGuiApplication::primaryScreen()->availableGeometry().size();
  {
    // At the ordinary size on this screen the sheet is as the template says.
    CMyPropertySheet sheet(NoServer());
    sheet.show();
    QApplication::processEvents();
    ASSERT_LE(sheet.sizeHint().height(), room.height() - 60);
    EXPECT_EQ(sheet.minimumSize(), sheet.maximumSize());
    const QSize page = ui::DialogUnits(sheet.SharedFolderPage()->font()).ToPixels(QSize(360, 298));
    EXPECT_GE(sheet.SharedFolderPage()->width(), page.width());
    EXPECT_GE(sheet.SharedFolderPage()->height(), page.height());
  }
  const QFont normal = QApplication::font();
  const auto restore = qScopeGuard([&] { QApplication::setFont(normal); });
  QFont large = normal;
  large.setPointSizeF(normal.pointSizeF() * 2);
  QApplication::setFont(large);

  CMyPropertySheet sheet(NoServer());
  sheet.show();
  QApplication::processEvents();
  EXPECT_LE(sheet.width(), room.width());
  EXPECT_LE(sheet.height(), room.height());
  EXPECT_GT(sheet.SharedFolderPage()->height(), room.height());  // it does need to scroll
  EXPECT_LT(sheet.minimumHeight(), sheet.maximumHeight());       // and can be resized
  EXPECT_TRUE(Reachable(&sheet, sheet.Buttons()->button(QDialogButtonBox::Ok)));
  EXPECT_TRUE(Reachable(&sheet, sheet.Buttons()->button(QDialogButtonBox::Cancel)));
  for (int id : {1002, 1003, 1004}) EXPECT_TRUE(Reachable(&sheet, sheet.SharedFolderPage()->Control(id))) << id;
  sheet.SetActivePage(3);
  QApplication::processEvents();
  for (int id : {1019, 1011, 1005})
    EXPECT_TRUE(Reachable(&sheet, sheet.RadioPage()->Control(id))) << id;

  CScanDiskDialog types;
  CSourceSearchDialog folders;
  CAboutBox about;
  for (ui::TemplateDialog* d : std::initializer_list<ui::TemplateDialog*>{&types, &folders, &about}) {
    d->show();
    QApplication::processEvents();
    EXPECT_LE(d->width(), room.width()) << d->windowTitle().toStdString();
    EXPECT_LE(d->height(), room.height()) << d->windowTitle().toStdString();
    for (int id : {1, 2, 1009, 1010})
      if (QWidget* c = d->Control(id)) {
        EXPECT_TRUE(Reachable(d, c)) << id;
      }
    d->hide();
  }
}

// A screen reader names every control by its label, and modal dialogs
// offer nothing to minimise or maximise.
TEST_F(PanelTest, ControlsAreNamedByTheirLabelsAndModalDialogsHaveNoMinMax) {
  CSourceSearchDialog folders;
  CScanDiskDialog types;
  CAboutBox about;
  EXPECT_EQ(folders.Tree()->accessibleName(), "Search folder for being shared");
  QLabel* label = nullptr;
  for (QLabel* l : folders.findChildren<QLabel*>())
    if (l->text() == "Search folder for being shared :") label = l;
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->buddy(), folders.Tree());
  EXPECT_EQ(types.Tree()->accessibleName(), "Media types");
  EXPECT_EQ(types.Tree()->topLevelItem(6)->toolTip(0), QString(kMediaTypeTable[6]));
  for (QDialog* d : std::initializer_list<QDialog*>{&folders, &types, &about}) {
    EXPECT_FALSE(d->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(d->windowFlags() & Qt::WindowCloseButtonHint);
    for (QWidget* w : d->findChildren<QWidget*>())
      if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QTreeWidget*>(w) ||
          w->objectName().startsWith("control")) {
        EXPECT_FALSE(w->accessibleName().isEmpty()) << w->metaObject()->className();
      }
  }
  CMyPropertySheet sheet(NoServer());
  EXPECT_EQ(sheet.SharedFolderPage()->ListControl()->accessibleName(), "Shared Folders");
  EXPECT_EQ(sheet.NamePage()->Control(1021)->accessibleName(), "New Media Server Name");
  EXPECT_EQ(sheet.RadioPage()->Control(1005)->accessibleName(), "Station Description");
  for (int i = 0; i < sheet.PageCount(); ++i)
    for (QLabel* l : sheet.Page(i)->findChildren<QLabel*>())
      if (!l->pixmap().isNull()) {
        EXPECT_FALSE(l->accessibleName().isEmpty());
      }
}

TEST_F(PanelTest, SheetOnlyHidesAndExitEndsIt) {
  CMyPropertySheet sheet(NoServer());
  ASSERT_EQ(sheet.PageCount(), 4);
  EXPECT_EQ(sheet.Tabs()->tabText(0), "Shared Folders");
  EXPECT_EQ(sheet.Tabs()->tabText(1), "Media Server Name");
  EXPECT_EQ(sheet.Tabs()->tabText(2), "About");
  EXPECT_EQ(sheet.Tabs()->tabText(3), "Shoutcast Radio List");
  EXPECT_EQ(sheet.windowTitle(), "Tarvel Media Server");
  QWidget drop;  // something that can bring the sheet back
  drop.show();
  sheet.SetDropWindow(&drop);
  bool exited = false;
  QObject::connect(&sheet, &CMyPropertySheet::exitRequested, [&] { exited = true; });

  // Without a tray (offscreen has none) the sheet is minimised rather than
  // hidden; with one it is hidden.
  ASSERT_EQ(sheet.Tray(), nullptr);
  auto hiddenAfter = [&](const std::function<void()>& act) {
    sheet.showNormal();
    act();
    QApplication::processEvents();
    return sheet.isMinimized() && !exited;
  };
  EXPECT_TRUE(hiddenAfter([&] { sheet.Buttons()->button(QDialogButtonBox::Ok)->click(); }));
  EXPECT_TRUE(hiddenAfter([&] { sheet.Buttons()->button(QDialogButtonBox::Cancel)->click(); }));
  EXPECT_TRUE(hiddenAfter([&] { QTest::keyClick(&sheet, Qt::Key_Escape); }));
  EXPECT_TRUE(hiddenAfter([&] { QTest::keyClick(&sheet, Qt::Key_Return); }));
  EXPECT_TRUE(hiddenAfter([&] { sheet.close(); }));

  // The menu's check marks follow what is visible as the menu opens.
  QMenu* menu = sheet.TrayMenu();
  QAction* showSheet = ui::FindCommand(menu, cmd::kShowSheet);
  QAction* showDrop = ui::FindCommand(menu, cmd::kShowDropWindow);
  EXPECT_EQ(menu->defaultAction(), ui::FindCommand(menu, cmd::kExit));
  emit menu->aboutToShow();
  EXPECT_TRUE(showDrop->isChecked());
  showSheet->trigger();  // shows the sheet
  showDrop->trigger();   // hides the drop window
  emit menu->aboutToShow();
  EXPECT_TRUE(sheet.isVisible());
  EXPECT_TRUE(showSheet->isChecked());
  EXPECT_FALSE(showDrop->isChecked());
  EXPECT_FALSE(drop.isVisible());

  ui::FindCommand(menu, cmd::kExit)->trigger();
  EXPECT_TRUE(exited);
  EXPECT_FALSE(sheet.isVisible());
}

TEST_F(PanelTest, WithoutATrayTheSheetMinimisesInstead) {
  CMyPropertySheet sheet(NoServer());
  sheet.show();
  ASSERT_EQ(sheet.Tray(), nullptr);  // offscreen has no tray
  sheet.close();
  QApplication::processEvents();
  EXPECT_TRUE(sheet.isVisible());
  EXPECT_TRUE(sheet.isMinimized());
  // Also when the drop window's menu could bring it back: the taskbar is
  // where a user looks for it.
  QWidget drop;
  drop.show();
  sheet.SetDropWindow(&drop);
  sheet.showNormal();
  sheet.close();
  QApplication::processEvents();
  EXPECT_TRUE(sheet.isVisible());
  EXPECT_TRUE(sheet.isMinimized());
  sheet.OnCommand(cmd::kShowSheet);  // brings it back
  EXPECT_FALSE(sheet.isMinimized());
  sheet.SetDropWindow(nullptr);
  // And the drop window's menu has nothing to check when there is none.
  emit sheet.TrayMenu()->aboutToShow();
  EXPECT_FALSE(ui::FindCommand(sheet.TrayMenu(), cmd::kShowDropWindow)->isEnabled());
}

// A D-Bus tray host reads the menu's marks whenever it likes, without
// opening the menu: they follow the windows however these are shown and
// hidden, in every copy of the menu.
TEST_F(PanelTest, MenuMarksFollowTheWindowsWithoutTheMenuOpening) {
  CMyPropertySheet sheet(NoServer());
  QWidget holder;
  QMenu* copy = sheet.CreateTrayMenu(&holder, false);  // as the drop window's
  auto marks = [&](bool sheetShown, bool dropShown) {
    bool ok = true;
    for (QMenu* menu : {sheet.TrayMenu(), copy}) {
      ok = ok && ui::FindCommand(menu, cmd::kShowSheet)->isChecked() == sheetShown &&
           ui::FindCommand(menu, cmd::kShowDropWindow)->isChecked() == dropShown;
    }
    return ok;
  };
  EXPECT_TRUE(marks(false, false));
  QWidget drop;
  drop.show();
  sheet.SetDropWindow(&drop);
  EXPECT_TRUE(marks(false, true));
  sheet.show();
  EXPECT_TRUE(marks(true, true));

  // The windows' own ways.
  sheet.hide();
  EXPECT_TRUE(marks(false, true));
  sheet.showNormal();
  EXPECT_TRUE(marks(true, true));
  sheet.showMinimized();  // restored, not hidden, by the item
  EXPECT_TRUE(marks(false, true));
  sheet.showNormal();
  sheet.Buttons()->button(QDialogButtonBox::Ok)->click();  // no tray: minimised
  EXPECT_TRUE(marks(false, true));
  sheet.ShowAndRaise();
  EXPECT_TRUE(marks(true, true));
  drop.hide();
  EXPECT_TRUE(marks(true, false));
  drop.setVisible(true);
  EXPECT_TRUE(marks(true, true));

  // The menu's items: a checkable item flips its own mark as it is chosen,
  // and the mark still says what is shown.
  QAction* showSheet = ui::FindCommand(sheet.TrayMenu(), cmd::kShowSheet);
  showSheet->trigger();
  EXPECT_TRUE(sheet.isMinimized());
  EXPECT_TRUE(marks(false, true));
  showSheet->trigger();
  EXPECT_TRUE(marks(true, true));
  ui::FindCommand(copy, cmd::kShowDropWindow)->trigger();
  EXPECT_FALSE(drop.isVisible());
  EXPECT_TRUE(marks(true, false));
  ui::FindCommand(copy, cmd::kShowDropWindow)->trigger();
  EXPECT_TRUE(marks(true, true));

  // A drop window that goes takes its mark and its item with it.
  auto* gone = new QWidget;
  gone->show();
  sheet.SetDropWindow(gone);
  delete gone;
  QApplication::processEvents();
  EXPECT_TRUE(marks(true, false));
  EXPECT_FALSE(ui::FindCommand(copy, cmd::kShowDropWindow)->isEnabled());

  ui::FindCommand(copy, cmd::kExit)->trigger();
  EXPECT_TRUE(marks(false, false));
}

// Without a tray the sheet says once, at the first such start, how to get
// it back; later starts say nothing.
TEST_F(PanelTest, WithoutATrayTheSheetSaysOnceHowToGetItBack) {
  setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
  const auto restore = qScopeGuard([] { unsetenv("XDG_CONFIG_HOME"); });
  {
    CMyPropertySheet sheet(NoServer());
    ASSERT_EQ(sheet.Tray(), nullptr);
    ASSERT_NE(sheet.NoTrayNotice(), nullptr);
    sheet.show();
    EXPECT_TRUE(sheet.NoTrayNotice()->isVisible());
    EXPECT_NE(sheet.NoTrayNotice()->text().indexOf("start Tarvel Media Server again"), -1);
  }
  EXPECT_NE(ReadFile(dir_ / "config" / "tarvel.ini").find("NoTrayNoticeShown=1"), std::string::npos);
  CMyPropertySheet again(NoServer());
  EXPECT_EQ(again.NoTrayNotice(), nullptr);
}

bool Installed(const char* path) { return access(path, X_OK) == 0; }

// One run of the D-Bus tray host's probe (sni_host.py): its output, or why
// it failed.
std::string TrayHost(const std::vector<std::string>& args) {
  std::vector<std::string> full{std::string(TARVEL_TEST_DIR) + "/sni_host.py"};
  full.insert(full.end(), args.begin(), args.end());
  Child probe("/usr/bin/python3", full, "probe");
  if (probe.Wait(10s) != 0) return "failed: " + ReadFile("probe.err");
  return ReadFile("probe.out");
}

// The desktops that show tray icons through D-Bus (StatusNotifierItem): a
// minimal watcher on a private session bus, and the panel on an X server of
// its own without an XEmbed tray (Qt's D-Bus tray needs a desktop platform,
// not offscreen). The host reads the menu's marks as hosts do, without
// asking the menu to open first.
TEST_F(PanelTest, OnADBusTrayTheIconActivatesAndTheMenuMarksFollowTheWindows) {
  for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/dbus-daemon", "/usr/bin/python3", "/usr/bin/xdotool"})
    if (!Installed(tool)) GTEST_SKIP() << tool << " is not installed (see scripts/packages.txt)";
  if (Child("/usr/bin/python3", {"-c", "from gi.repository import Gio"}).Wait(10s) != 0)
    GTEST_SKIP() << "python3-gi is not installed";
  const auto restore = qScopeGuard([] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    unsetenv("DISPLAY");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  });
  Child xserver("/usr/bin/Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                                  "-noreset"}, "xvfb");
  ASSERT_TRUE(Eventually([] { return ReadFile("xvfb.out").find('\n') != std::string::npos; }, 10s));
  const std::string bus = (dir_ / "bus").string();
  Child busDaemon("/usr/bin/dbus-daemon", {"--session", "--nofork", "--address=unix:path=" + bus}, "bus");
  ASSERT_TRUE(Eventually([&] { return fs::exists(bus); }, 10s));
  setenv("DISPLAY", (":" + ReadFile("xvfb.out").substr(0, ReadFile("xvfb.out").find('\n'))).c_str(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  Child watcher("/usr/bin/python3", {std::string(TARVEL_TEST_DIR) + "/sni_host.py", "watch"}, "watcher");
  ASSERT_TRUE(Eventually([] { return ReadFile("watcher.out").find("ready") != std::string::npos; }, 10s));

  // Qt's D-Bus library leaves a few bytes behind at exit, none of them ours:
  // a sanitised build would otherwise end the panel with a leak report.
  WriteFile(dir_ / "lsan.supp", "leak:libQt6DBus.so\n");
  setenv("LSAN_OPTIONS", ("suppressions=" + (dir_ / "lsan.supp").string()).c_str(), 1);
  Child panel = StartTarvel({"--data-dir", (dir_ / "data").string()}, "panel");
  unsetenv("LSAN_OPTIONS");
  ASSERT_TRUE(Eventually([] { return ReadFile("watcher.out").find("item ") != std::string::npos; }, 15s))
      << ReadFile("panel.err");
  EXPECT_EQ(TrayHost({"title"}), "Tarvel Media Server\n");
  auto sheetShown = [] {
    return Child("/usr/bin/xdotool", {"search", "--onlyvisible", "--name", "^Tarvel Media Server$"}, "xdo")
               .Wait(5s) == 0;
  };
  // The two show items' marks ("Start at login" has a mark of its own).
  auto marksAre = [](const std::string& marks) {
    return Eventually([&] {
      std::string toggles = TrayHost({"toggles"});
      const std::string login = "Start at login=0\n";
      if (size_t at = toggles.find(login); at != std::string::npos) toggles.erase(at, login.size());
      return toggles == marks;
    });
  };
  // At start both windows show, and so do both marks.
  EXPECT_TRUE(marksAre("Show Drop Window=1\nShow Media Server=1\n")) << TrayHost({"toggles"});
  EXPECT_TRUE(sheetShown());

  // Chosen in the menu, the item hides the sheet; its mark goes with it.
  EXPECT_EQ(TrayHost({"click", "Show Media Server"}), "");
  EXPECT_TRUE(marksAre("Show Drop Window=1\nShow Media Server=0\n")) << TrayHost({"toggles"});
  EXPECT_FALSE(sheetShown());
  // A click on the icon brings it back.
  EXPECT_EQ(TrayHost({"activate"}), "");
  EXPECT_TRUE(marksAre("Show Drop Window=1\nShow Media Server=1\n")) << TrayHost({"toggles"});
  EXPECT_TRUE(Eventually(sheetShown));
  // The drop window's item, both ways.
  EXPECT_EQ(TrayHost({"click", "Show Drop Window"}), "");
  EXPECT_TRUE(marksAre("Show Drop Window=0\nShow Media Server=1\n")) << TrayHost({"toggles"});
  EXPECT_EQ(TrayHost({"click", "Show Drop Window"}), "");
  EXPECT_TRUE(marksAre("Show Drop Window=1\nShow Media Server=1\n")) << TrayHost({"toggles"});

  // "Exit" from the host's menu ends the panel, and its server with it.
  EXPECT_EQ(TrayHost({"click", "Exit"}), "");
  EXPECT_EQ(panel.Wait(15s), 0) << ReadFile("panel.err");
  EXPECT_TRUE(Eventually([&] { ReapChildren(); return ServersIn(dir_ / "data") == 0; }, 10s));
}

TEST_F(PanelTest, AddThroughBothDialogsSharesAndRefusesADuplicate) {
  WriteFile(home_ / "Music" / "a.mp3");
  WriteFile(home_ / "Music" / "b.jpg");
  WriteFile(home_ / "Music" / "Sub" / "c.avi");
  CSharedFolderPage page;
  page.show();
  QPushButton* add = page.ControlAs<QPushButton>(1002);

  // The walk waits to take its bar down while we hold ALTERNATEMUTEX, so the
  // page can be looked at in the middle of an Add.
  auto hold = std::make_unique<NamedLock>(kAlternateMutex);
  PickInDialogs("Music", true);
  page.OnAdd();
  ASSERT_TRUE(Until([&] { return page.ProgressBar() != nullptr; }));
  ASSERT_TRUE(Until([&] { return page.ProgressBar()->value() > 0; }));
  EXPECT_FALSE(add->isEnabled());
  EXPECT_FALSE(page.ControlAs<QPushButton>(1003)->isEnabled());
  EXPECT_FALSE(page.ControlAs<QPushButton>(1004)->isEnabled());
  EXPECT_EQ(page.ProgressBar()->maximum(), 3);
  hold.reset();
  ASSERT_TRUE(Until([&] { return add->isEnabled() && page.ListControl()->topLevelItemCount() == 1; }));
  EXPECT_EQ(page.ProgressBar(), nullptr);
  const std::string listed = (home_ / "Music").string() + "/";
  EXPECT_EQ(page.ListControl()->topLevelItem(0)->text(0).toStdString(), listed);
  EXPECT_EQ(Count("AUDIO"), 1);
  EXPECT_EQ(Count("IMAGE"), 1);
  EXPECT_EQ(Count("VIDEO"), 1);
  EXPECT_EQ(Rows("select Label from SHAREDFOLDER")[0][0], "Music");

  // The same folder again: refused with the message, nothing changes.
  PickInDialogs("Music", true);
  page.OnAdd();
  ASSERT_TRUE(Until([&] { return page.LastMessageBox() != nullptr; }));
  EXPECT_EQ(page.LastMessageBox()->text(), "This folder has been shared");
  EXPECT_EQ(page.LastMessageBox()->windowTitle(), "Marlune");
  page.LastMessageBox()->accept();
  QApplication::processEvents();
  EXPECT_EQ(page.ListControl()->topLevelItemCount(), 1);
  EXPECT_EQ(Count("AUDIO"), 1);
}

TEST_F(PanelTest, MediaTypeChoiceDecidesWhatAnAddTakes) {
  WriteFile(home_ / "Films" / "a.avi");
  WriteFile(home_ / "Songs" / "a.mp3");
  CSharedFolderPage page;
  // Cancel in the media-type dialog: nothing is shared.
  PickInDialogs("Films", false);
  page.OnAdd();
  QApplication::processEvents();
  EXPECT_FALSE(CFolderSelection::IsChosen());
  EXPECT_EQ(page.ListControl()->topLevelItemCount(), 0);
  EXPECT_EQ(Count("SHAREDFOLDER"), 0);
  // Apply with every type unticked: listed, with no media rows.
  PickInDialogs("Songs", true, true);
  page.OnAdd();
  ASSERT_TRUE(Until([&] { return page.ListControl()->topLevelItemCount() == 1; }));
  page.Engine().WaitForAdds();
  // Every Add has ended by now, so the cancelled one too, had it run.
  QApplication::processEvents();
  EXPECT_EQ(page.ListControl()->topLevelItemCount(), 1);
  EXPECT_EQ(Rows("select FullPath from sharedfolder"),
            (std::vector<std::vector<std::string>>{{(home_ / "Songs").string() + "/"}}));
  EXPECT_EQ(Count("AUDIO"), 0);
}

TEST_F(PanelTest, MediaTypeDialogOpensAllCheckedAndAppliesInTableOrder) {
  g_enabledMediaTypes.Set({kMediaTypeTable[0]});
  CScanDiskDialog d;
  QTreeWidget* tree = d.Tree();
  ASSERT_EQ(tree->topLevelItemCount(), kMediaTypeCount);
  for (int i = 0; i < kMediaTypeCount; ++i) EXPECT_EQ(tree->topLevelItem(i)->checkState(0), Qt::Checked);
  d.OnUnselectAll();
  tree->topLevelItem(8)->setCheckState(0, Qt::Checked);   // mp3
  tree->topLevelItem(11)->setCheckState(0, Qt::Checked);  // jpg
  d.accept();
  EXPECT_EQ(g_enabledMediaTypes.Get(),
            (std::vector<std::string>{kMediaTypeTable[8], kMediaTypeTable[11]}));
  CFolderSelection::SetChosen();
  CScanDiskDialog again;
  EXPECT_EQ(again.Tree()->topLevelItem(0)->checkState(0), Qt::Checked);
  again.reject();
  EXPECT_TRUE(g_enabledMediaTypes.Get().empty());
  EXPECT_FALSE(CFolderSelection::IsChosen());
}

TEST_F(PanelTest, FolderTreeIsReadLazily) {
  fs::create_directories(home_ / "Music" / "Jazz");
  WriteFile(home_ / "Files" / "only.mp3");  // files only: nothing to open
  fs::create_directories(home_ / ".hidden");
  CSourceSearchDialog::SetRunsMediaTypeDialog(false);
  CSourceSearchDialog d;
  QTreeWidgetItem* home = RootNamed(d.Tree(), QString::fromStdString(home_.string()));
  ASSERT_NE(home, nullptr);
  EXPECT_NE(RootNamed(d.Tree(), "/"), nullptr);
  EXPECT_EQ(d.Tree()->topLevelItem(0)->text(0), "/");
  // One placeholder until opened.
  ASSERT_EQ(home->childCount(), 1);
  EXPECT_EQ(home->child(0)->text(0), "");
  home->setExpanded(true);
  ASSERT_EQ(home->childCount(), 3);
  EXPECT_EQ(home->child(0)->text(0), ".hidden");  // sorted among its siblings
  QTreeWidgetItem* files = ChildNamed(home, "Files");
  QTreeWidgetItem* music = ChildNamed(home, "Music");
  EXPECT_EQ(files->childCount(), 0);  // no expand button
  EXPECT_EQ(music->childCount(), 1);
  // Opening a folder with nothing inside closes it again.
  fs::remove_all(home_ / "Music" / "Jazz");
  music->setExpanded(true);
  EXPECT_FALSE(music->isExpanded());
  EXPECT_EQ(music->childCount(), 0);
  // Collapse and reopen reads the folder again.
  home->setExpanded(false);
  fs::create_directories(home_ / "New");
  home->setExpanded(true);
  EXPECT_NE(ChildNamed(home, "New"), nullptr);
  EXPECT_EQ(home->childCount(), 4);  // read afresh, nothing kept twice
  // OK on a folder stores its path (no trailing '/') and its name.
  QTreeWidgetItem* created = ChildNamed(home, "New");
  d.Tree()->setCurrentItem(created);
  d.accept();
  EXPECT_TRUE(CFolderSelection::IsChosen());
  EXPECT_EQ(d.Chosen().path, (home_ / "New").string());
  EXPECT_EQ(d.Chosen().label, "New");
  // OK on a root gives its path as both; OK with nothing selected chooses nothing.
  CSourceSearchDialog d2;
  d2.Tree()->setCurrentItem(RootNamed(d2.Tree(), "/"));
  d2.accept();
  EXPECT_EQ(d2.Chosen().path, "/");
  EXPECT_EQ(d2.Chosen().label, "/");
  CSourceSearchDialog d3;
  d3.Tree()->clearSelection();
  d3.Tree()->setCurrentItem(nullptr);
  d3.accept();
  EXPECT_FALSE(CFolderSelection::IsChosen());
  CSourceSearchDialog::SetRunsMediaTypeDialog(true);
}

TEST(Drives, MountTableGivesRootsByKind) {
  char tmpl[] = "/tmp/tarvel-mounts-XXXXXX";
  int fd = mkstemp(tmpl);
  const std::string table =
      "proc /proc proc rw 0 0\n"
      "/dev/sda1 / ext4 rw 0 0\n"
      "tmpfs /run tmpfs rw 0 0\n"
      "tmpfs /run/user/1000 tmpfs rw 0 0\n"
      "/dev/sdb1 /media/me/USB\\040Stick vfat rw 0 0\n"
      "/dev/sr0 /mnt/dvd iso9660 ro 0 0\n"
      "srv:/music /srv/nas nfs4 rw 0 0\n"
      "tmpfs /scratch tmpfs rw 0 0\n"
      "/dev/sda2 /data ext4 rw 0 0\n"
      "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n";
  ASSERT_EQ(write(fd, table.data(), table.size()), static_cast<ssize_t>(table.size()));
  close(fd);
  std::vector<Drive> d = ListDrives(tmpl, "/home/me/");
  unlink(tmpl);
  std::vector<std::pair<std::string, DriveKind>> got;
  for (const Drive& x : d) got.push_back({x.root, x.kind});
  EXPECT_EQ(got, (std::vector<std::pair<std::string, DriveKind>>{
                     {"/", DriveKind::Fixed},
                     {"/media/me/USB Stick", DriveKind::Removable},
                     {"/mnt/dvd", DriveKind::CdRom},
                     {"/srv/nas", DriveKind::Remote},
                     {"/scratch", DriveKind::RamDisk},
                     {"/data", DriveKind::Fixed},
                     {"/home/me", DriveKind::Fixed}}));
}

TEST_F(PanelTest, RescanDeleteAndDeleteAllFromThePage) {
  WriteFile(home_ / "A" / "x.mp3");
  WriteFile(home_ / "B" / "y.mp3");
  CSharedFolderPage page;
  for (const char* f : {"A", "B"}) {
    ASSERT_TRUE(page.Engine().StartAdd((home_ / f).string(), f));
    page.Engine().WaitForAdds();
  }
  ASSERT_TRUE(Until([&] { return page.ListControl()->topLevelItemCount() == 2; }));
  QTreeWidget* list = page.ListControl();

  // Rescan of A with only images ticked: A's song goes, the label becomes the
  // folder's own name. Cancel would have left everything as it was.
  WriteFile(home_ / "A" / "z.jpg");
  list->topLevelItem(0)->setSelected(true);
  WhenModal<CScanDiskDialog>([](CScanDiskDialog* t) { t->reject(); });
  page.OnCommand(cmd::kOperateRescan);
  page.Engine().WaitForAdds();
  EXPECT_EQ(Count("AUDIO"), 2);
  WhenModal<CScanDiskDialog>([](CScanDiskDialog* t) {
    t->OnUnselectAll();
    t->Tree()->topLevelItem(11)->setCheckState(0, Qt::Checked);
    t->accept();
  });
  page.OnCommand(cmd::kOperateRescan);
  ASSERT_TRUE(Until([&] { return !page.Busy() && Count("IMAGE") == 1; }));
  page.Engine().WaitForAdds();
  EXPECT_EQ(Count("AUDIO"), 1);

  // The Delete key removes the selected folder and its rows.
  list->clearSelection();
  list->topLevelItem(1)->setSelected(true);
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Delete);
  ASSERT_TRUE(Until([&] { return list->topLevelItemCount() == 1; }));
  page.Engine().WaitForAdds();  // the row goes from the list before the change commits
  EXPECT_EQ(Count("AUDIO"), 0);
  EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), (home_ / "A").string() + "/");

  page.ControlAs<QPushButton>(1004)->click();  // Delete All
  ASSERT_TRUE(Until([&] { return list->topLevelItemCount() == 0; }));
  page.Engine().WaitForAdds();
  EXPECT_EQ(Count("IMAGE") + Count("SHAREDFOLDER"), 0);
}

TEST_F(PanelTest, NamePageShowsAndAppliesTheName) {
  HostNamePage page;
  int restarts = 0;
  page.SetRestartServer([&] { ++restarts; });
  page.OnSetActive();
  EXPECT_EQ(page.CurrentName()->text(), "tarvel");
  EXPECT_FALSE(page.CurrentName()->isEnabled());

  page.NewName()->setText("");
  page.OnApplyName();
  ASSERT_NE(page.LastMessageBox(), nullptr);
  EXPECT_EQ(page.LastMessageBox()->text(), "Irregular name!");
  EXPECT_FALSE(fs::exists(kServerNameFile));
  page.LastMessageBox()->accept();

  page.NewName()->setText(QString(256, 'n'));
  page.OnApplyName();
  EXPECT_FALSE(fs::exists(kServerNameFile));
  EXPECT_EQ(restarts, 0);

  page.NewName()->setText("Living Room");
  page.OnApplyName();
  EXPECT_EQ(ReadFile(kServerNameFile), "Living Room");
  EXPECT_EQ(page.CurrentName()->text(), "Living Room");
  EXPECT_EQ(page.NewName()->text(), "");
  EXPECT_EQ(restarts, 1);
  page.OnSetActive();
  EXPECT_EQ(page.CurrentName()->text(), "Living Room");
}

TEST_F(PanelTest, ARenameLeavesExactlyOneServerWhateverTheCheckTiming) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  const std::string path = BinDir() + ":" + (getenv("PATH") ? getenv("PATH") : "");
  setenv("PATH", path.c_str(), 1);
  {
    CMyPropertySheet::Options o;
    o.checkIntervalMs = 20;  // a check falls in every gap a restart leaves
    CMyPropertySheet sheet(o);
    ASSERT_TRUE(Until([&] { return ServersIn(dir_) == 1 && ServerControl::IsRunning(); }));
    HostNamePage* page = sheet.NamePage();
    for (const char* name : {"One", "Two", "Three"}) {
      page->NewName()->setText(name);
      page->OnApplyName();
      // Let the old server go and the new one settle, checks running meanwhile.
      const auto end = std::chrono::steady_clock::now() + 1500ms;
      Until([&] { return std::chrono::steady_clock::now() > end; }, 3s);
      EXPECT_EQ(ServersIn(dir_), 1) << "after renaming to " << name;
      EXPECT_TRUE(ServerControl::IsRunning());
    }
    ui::FindCommand(sheet.TrayMenu(), cmd::kExit)->trigger();
  }
  EXPECT_TRUE(Eventually([&] { ReapChildren(); return ServersIn(dir_) == 0; }));
}

// Starts tarvel with arguments in the current folder; the guard kills and
// reaps it, also when the test fails.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

pid_t Spawn(const std::vector<std::string>& args) {
  std::string program = BinDir() + "/tarvel";
  std::vector<char*> argv{program.data()};
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

TEST_F(PanelTest, ASecondStartHandsOverToTheFirstAndLeaves) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  Child first;
  first.pid = Spawn({"--data-dir", dir_.string()});
  ASSERT_TRUE(Eventually([&] { return fs::exists(dir_ / "run" / "tarvel" / "panel.socket"); }, 10s));
  const auto start = std::chrono::steady_clock::now();
  RunResult second = RunProgram("tarvel", {"--data-dir", dir_.string()});
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  // The first one is still there, and still the one that answers.
  EXPECT_EQ(waitpid(first.pid, nullptr, WNOHANG), 0);
  EXPECT_EQ(RunProgram("tarvel", {"--data-dir", dir_.string()}).status, 0);
  // The panel and serve exclude each other: serve leaves at once.
  RunResult serve = RunProgram("tarvel", {"--data-dir", dir_.string(), "serve"});
  EXPECT_EQ(waitpid(first.pid, nullptr, WNOHANG), 0);
  // SIGTERM is an Exit: the panel ends with status 0, its server with it.
  kill(first.pid, SIGTERM);
  int status = -1;
  ASSERT_TRUE(Eventually([&] { return waitpid(first.pid, &status, WNOHANG) == first.pid; }, 10s));
  first.pid = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(Eventually([&] { ReapChildren(); return ServersIn(dir_) == 0; }));
}

// A second panel for another data folder would show the first panel's
// library: it says which process follows which folder, exits 1 and leaves
// the other folder untouched. One for the same folder (also by a link to it)
// hands over.
TEST_F(PanelTest, ASecondPanelForAnotherDataFolderSaysWhichAndCreatesNothing) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const fs::path mine = dir_ / "mine";
  Child first;
  first.pid = Spawn({"--data-dir", mine.string()});
  ASSERT_TRUE(Eventually([&] { return fs::exists(dir_ / "run" / "tarvel" / "panel.socket"); }, 10s));
  ASSERT_TRUE(Eventually([&] { return fs::exists(mine / "data.sqlite"); }, 10s));

  fs::create_directories(dir_ / "other");
  for (const fs::path& other : {dir_ / "other", dir_ / "new"}) {
    RunResult second = RunProgram("tarvel", {"--data-dir", other.string()});
    EXPECT_EQ(second.status, 1) << second.err;
    EXPECT_NE(second.err.find("process " + std::to_string(first.pid) + " (control panel, data folder " +
                              mine.string() + ")"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(std::count(second.err.begin(), second.err.end(), '\n'), 1) << second.err;
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "other"));
  EXPECT_FALSE(fs::exists(dir_ / "new"));

  fs::create_directory_symlink(mine, dir_ / "link");
  RunResult same = RunProgram("tarvel", {"--data-dir", (dir_ / "link").string()});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(waitpid(first.pid, nullptr, WNOHANG), 0);
  kill(first.pid, SIGTERM);
  ASSERT_TRUE(Eventually([&] { return waitpid(first.pid, nullptr, WNOHANG) == first.pid; }, 10s));
  first.pid = -1;
  EXPECT_TRUE(Eventually([&] { ReapChildren(); return ServersIn(mine) == 0; }));
}

TEST_F(PanelTest, WithoutADisplayThePanelSaysSoAndNamesServe) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
  RunResult r = RunProgram("tarvel", {"--data-dir", dir_.string()});
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("tarvel serve"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_F(PanelTest, AFolderWalkedWhileTheDialogsAreOpenLeavesTheChoiceAlone) {
  WriteFile(home_ / "Music" / "a.mp3");
  WriteFile(home_ / "Watched" / "w.mp3");
  CSharedFolderPage page;  // follows what it shares
  ASSERT_TRUE(page.Engine().StartAdd((home_ / "Watched").string(), "Watched"));
  page.Engine().WaitForAdds();
  ASSERT_TRUE(Until([&] { return page.Engine().MonitorRunning(); }));
  // While the media-type dialog is open, a folder with a subfolder appears
  // in the watched tree and is walked into the catalogue.
  WhenModal<CSourceSearchDialog>([this](CSourceSearchDialog* d) {
    QTreeWidgetItem* home = RootNamed(d->Tree(), QString::fromStdString(home_.string()));
    home->setExpanded(true);
    d->Tree()->setCurrentItem(ChildNamed(home, "Music"));
    WhenModal<CScanDiskDialog>([this](CScanDiskDialog* t) {
      // Made elsewhere and moved in whole, so that the walk meets the subfolder.
      WriteFile(home_ / "Staging" / "New" / "Sub" / "n.mp3");
      fs::rename(home_ / "Staging" / "New", home_ / "Watched" / "New");
      EXPECT_TRUE(Until([] { return Count("AUDIO") == 2; }, 15s));
      t->accept();
    });
    d->accept();
  });
  page.OnAdd();
  page.Engine().WaitForAdds();
  ASSERT_TRUE(Until([&] { return page.ListControl()->topLevelItemCount() == 2; }));
  EXPECT_EQ(page.ListControl()->topLevelItem(1)->text(0).toStdString(), (home_ / "Music").string() + "/");
  EXPECT_EQ(page.LastMessageBox(), nullptr);
  EXPECT_EQ(Count("AUDIO"), 3);
}

// Another program writing the catalogue (a long transaction) does not hold up
// the Shared Folders page's opening: the monitor it starts drops old stamps,
// which waits for that writer, on the worker.
TEST_F(PanelTest, ThePageOpensAtOnceWhileAnotherProgramWritesTheCatalogue) {
  WriteFile(home_ / "A" / "x.mp3");
  {
    CSharedFolderPage first;
    ASSERT_TRUE(first.Engine().StartAdd((home_ / "A").string(), "A"));
    first.Engine().WaitForAdds();
  }
  CatalogConnection writer = OpenCatalogue();
  ASSERT_TRUE(writer);
  ASSERT_EQ(writer->ExecNow("BEGIN IMMEDIATE"), 0);
  auto rollback = qScopeGuard([&] { writer->ExecNow("ROLLBACK", false); });
  const auto start = std::chrono::steady_clock::now();
  CSharedFolderPage page;
  const auto opened = std::chrono::steady_clock::now() - start;
  // The catalogue's busy wait is 5 s.
  EXPECT_LT(opened, 2s);
  EXPECT_TRUE(Until([&] { return page.ListControl()->topLevelItemCount() == 1; }));
  writer->ExecNow("ROLLBACK", false);
  rollback.dismiss();
  EXPECT_TRUE(Until([&] { return page.Engine().MonitorRunning(); }));
}

TEST_F(PanelTest, DeleteWaitsForTheCatalogueLockWithoutHoldingUpTheWindow) {
  WriteFile(home_ / "A" / "x.mp3");
  CSharedFolderPage page;
  page.show();
  ASSERT_TRUE(page.Engine().StartAdd((home_ / "A").string(), "A"));
  page.Engine().WaitForAdds();
  ASSERT_TRUE(Until([&] { return page.ListControl()->topLevelItemCount() == 1; }));
  // Someone else (a share in a terminal) holds the catalogue lock: flock
  // makes a holder on another descriptor of this process as good as one in
  // another process, and its end is the test's to choose.
  struct Holder {
    std::promise<void> taken;
    std::atomic<bool> letGo{false};
    std::thread thread{[this] {
      NamedLock lock(kCatalogueMutex);
      taken.set_value();
      // At most 3 s: a Delete that blocked the window would otherwise wait
      // for a test it holds up.
      const auto end = std::chrono::steady_clock::now() + 3s;
      while (!letGo && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    }};
    void Kill() {
      letGo = true;
      if (thread.joinable()) thread.join();
    }
    ~Holder() { Kill(); }
  } holder;
  holder.taken.get_future().wait();
  QTreeWidget* list = page.ListControl();
  list->topLevelItem(0)->setSelected(true);
  list->setFocus();
  // The event loop keeps answering while Delete waits for the lock.
  auto last = std::chrono::steady_clock::now();
  auto longest = std::chrono::steady_clock::duration::zero();
  QTimer beat;
  QObject::connect(&beat, &QTimer::timeout, [&] {
    const auto now = std::chrono::steady_clock::now();
    longest = std::max(longest, now - last);
    last = now;
  });
  beat.start(10);
  QTest::keyClick(list, Qt::Key_Delete);
  Until([] { return false; }, 1s);
  // Blocked, the loop would stop for the 3 s the lock is held; live, its
  // longest gap is a few milliseconds, but a loaded machine running the
  // sanitizer build can hold any thread up for a tenth of a second.
  EXPECT_LT(longest, 500ms);
  EXPECT_EQ(list->topLevelItemCount(), 1);  // not before the lock is let go
  EXPECT_EQ(Count("SHAREDFOLDER"), 1);
  holder.Kill();
  ASSERT_TRUE(Until([&] { return list->topLevelItemCount() == 0; }));
  EXPECT_LT(longest, 500ms);
  RecordProperty("longest_gap_ms", static_cast<int>(longest / 1ms));
  page.Engine().WaitForAdds();
  EXPECT_EQ(Count("AUDIO") + Count("SHAREDFOLDER"), 0);
}

TEST_F(PanelTest, ThePanelsOwnChangesLeaveTheListAndItsSelectionAlone) {
  WriteFile(home_ / "A" / "x.mp3");
  WriteFile(home_ / "B" / "y.mp3");
  WriteFile(home_ / "C" / "z.mp3");
  CSharedFolderPage page;
  QTreeWidget* list = page.ListControl();
  for (const char* f : {"A", "B"}) ASSERT_TRUE(page.Engine().StartAdd((home_ / f).string(), f));
  page.Engine().WaitForAdds();
  ASSERT_TRUE(Until([&] { return list->topLevelItemCount() == 2; }));
  QTreeWidgetItem* a = list->topLevelItem(0);
  a->setSelected(true);
  // The 5-second check after the panel's own Add and Delete: the rows stay
  // the same items, the selection with them.
  ASSERT_TRUE(page.Engine().StartAdd((home_ / "C").string(), "C"));
  page.Engine().StartDelete({(home_ / "B").string() + "/"});
  page.Engine().StartReloadIfChanged();
  page.Engine().WaitForAdds();
  ASSERT_TRUE(Until([&] { return list->topLevelItemCount() == 2; }));
  QApplication::processEvents();
  EXPECT_EQ(list->topLevelItem(0), a);
  EXPECT_TRUE(a->isSelected());
  EXPECT_FALSE(page.Engine().ReloadListIfChanged());
  // A folder shared by another tarvel is still taken up.
  WriteFile(home_ / "D" / "w.mp3");
  ASSERT_EQ(RunProgram("tarvel", {"share", (home_ / "D").string()}).status, 0);
  page.Engine().StartReloadIfChanged();
  page.Engine().WaitForAdds();
  EXPECT_TRUE(Until([&] { return list->topLevelItemCount() == 3; }));
}

TEST_F(PanelTest, SignalsWhileThePanelEndsEndItCleanly) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // A stop signal that arrives while the panel is taking itself down must
  // find nothing destroyed under it: a storm of them, at every moment.
  for (int round = 0; round < 5; ++round) {
    Child panel;
    panel.pid = Spawn({"--data-dir", dir_.string()});
    ASSERT_TRUE(Eventually([&] { return fs::exists(dir_ / "run" / "tarvel" / "panel.socket"); }, 10s));
    int status = -1;
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (waitpid(panel.pid, &status, WNOHANG) != panel.pid) {
      ASSERT_LT(std::chrono::steady_clock::now(), end);
      kill(panel.pid, SIGTERM);
      std::this_thread::sleep_for(50us);
    }
    panel.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ", status " << status;
    EXPECT_TRUE(Eventually([&] { ReapChildren(); return ServersIn(dir_) == 0; }));
  }
}

}  // namespace
