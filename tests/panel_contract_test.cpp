// The panel keeps the right server running and never lets a removal into a
// walk: a server that died is replaced by the next check, a rename leaves the
// server of the new name, and Delete during an Add is refused. Servers run in
// a private network namespace of the test's own.
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "gui_testing.h"
#include "netns.h"
#include "panel/host_name_page.h"
#include "panel/my_property_sheet.h"
#include "panel/shared_folder_page.h"
#include "panel/ui/commands.h"
#include "panel/ui/resources.h"
#include "platform/process.h"
#include "platform/server_control.h"
#include "shares/folder_selection.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPort = 49250;

// Live MediaServer processes working in `folder`.
std::vector<pid_t> ServersIn(const fs::path& folder) {
  std::vector<pid_t> out;
  for (const auto& e : fs::directory_iterator("/proc")) {
    std::error_code ec;
    if (fs::read_symlink(e.path() / "exe", ec).filename() != "MediaServer" || ec) continue;
    if (fs::read_symlink(e.path() / "cwd", ec) != folder || ec) continue;
    std::string stat = ReadFile(e.path() / "stat");
    size_t close = stat.rfind(')');
    if (close != std::string::npos && stat[close + 2] != 'Z') out.push_back(atoi(e.path().filename().c_str()));
  }
  return out;
}

// The friendly name the running server publishes, from its device description.
std::string PublishedName() {
  std::string udn = ReadFile("MediaServer.uuid");
  while (!udn.empty() && (udn.back() == '\n' || udn.back() == '\r')) udn.pop_back();
  if (udn.rfind("uuid:", 0) == 0) udn.erase(0, 5);
  if (udn.empty()) return {};
  std::string command = "curl -s -m 3 http://127.0.0.1:" + std::to_string(kPort) + "/" + udn + ".xml";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return {};
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  pclose(p);
  size_t open = text.find("<friendlyName>"), close = text.find("</friendlyName>");
  if (open == std::string::npos || close == std::string::npos) return {};
  open += 14;
  return text.substr(open, close - open);
}

class PanelContract : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    g_enabledMediaTypes.LoadAll();
    CFolderSelection::ClearChosen();
  }
  void TearDown() override {
    for (pid_t pid : ServersIn(dir_)) kill(pid, SIGKILL);
    ReapChildren();
    CatalogTest::TearDown();
  }
  // Servers started from here publish only inside a namespace of our own.
  bool EnterNetwork() {
    std::string why;
    if (!net_.Enter(&why)) return false;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const std::string path = BinDir() + ":" + (getenv("PATH") ? getenv("PATH") : "");
    setenv("PATH", path.c_str(), 1);
    setenv("TARVEL_SERVER_INTERFACE", "lo", 1);
    setenv("TARVEL_SERVER_PORT", std::to_string(kPort).c_str(), 1);
    return true;
  }
  PrivateNetwork net_;
};

}  // namespace

// The 5-second check as it is: a server that dies is followed by a new one
// within a tick and a little.
TEST_F(PanelContract, AServerThatDiesIsReplacedWithinSevenSeconds) {
  if (!EnterNetwork()) GTEST_SKIP() << "no private network here";
  CMyPropertySheet sheet;
  ASSERT_TRUE(Until([&] { return ServersIn(dir_).size() == 1 && ServerControl::IsRunning(); }));
  const pid_t first = ServersIn(dir_)[0];
  kill(first, SIGKILL);
  ASSERT_TRUE(Until([&] { ReapChildren(); return ServersIn(dir_).empty(); }, 2s));
  const auto killed = std::chrono::steady_clock::now();
  std::vector<pid_t> now;
  EXPECT_TRUE(Until([&] {
    now = ServersIn(dir_);
    return now.size() == 1 && now[0] != first;
  }, 7s)) << "no new server 7 s after the old one died";
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 7s);
  ui::FindCommand(sheet.TrayMenu(), cmd::kExit)->trigger();
}

// Which server runs after a rename, by the name it publishes: the old one
// has gone, the new one serves the new name.
TEST_F(PanelContract, ARenameLeavesTheServerOfTheNewName) {
  if (!EnterNetwork()) GTEST_SKIP() << "no private network here";
  CMyPropertySheet sheet;
  ASSERT_TRUE(Until([&] { return PublishedName() == "tarvel"; }, 15s));
  const pid_t old = ServersIn(dir_).at(0);
  sheet.NamePage()->NewName()->setText("Living Room");
  sheet.NamePage()->OnApplyName();
  EXPECT_TRUE(Until([&] { return PublishedName() == "Living Room"; }, 15s)) << PublishedName();
  EXPECT_TRUE(Until([&] { ReapChildren(); return ServersIn(dir_).size() == 1; }));
  const std::vector<pid_t> running = ServersIn(dir_);
  EXPECT_EQ(std::count(running.begin(), running.end(), old), 0) << "the server of the old name still runs";
  ui::FindCommand(sheet.TrayMenu(), cmd::kExit)->trigger();
}

// Delete pressed while an Add walks is refused at once: the folder being
// added ends whole, the selected one stays until Delete is pressed again.
TEST_F(PanelContract, DeleteDuringAnAddIsRefusedAndTheAddEndsWhole) {
  const fs::path a = dir_ / "A", b = dir_ / "B";
  WriteFile(a / "x.mp3");
  for (int i = 0; i < 50; ++i) WriteFile(b / (std::to_string(i) + ".jpg"));
  CSharedFolderPage page;
  ASSERT_TRUE(page.Engine().StartAdd(a.string(), "A"));
  page.Engine().WaitForAdds();
  QTreeWidget* list = page.ListControl();
  ASSERT_TRUE(Until([&] { return list->topLevelItemCount() == 1 && !page.Busy(); }));

  WalkPause pause;
  ASSERT_TRUE(page.Engine().StartAdd(b.string(), "B"));
  ASSERT_TRUE(Until([&] { return pause.Reached() && page.Busy(); }));
  // Should the press wait for the walk, the walk is let go after a while, so
  // that the test fails instead of hanging.
  std::mutex m;
  std::condition_variable cv;
  bool pressed = false;
  std::thread watchdog([&] {
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, 5s, [&] { return pressed; })) pause.Release();
  });
  list->topLevelItem(0)->setSelected(true);
  list->setFocus();
  const auto begin = std::chrono::steady_clock::now();
  QTest::keyClick(list, Qt::Key_Delete);
  const auto took = std::chrono::steady_clock::now() - begin;
  {
    std::lock_guard lock(m);
    pressed = true;
  }
  cv.notify_all();
  watchdog.join();
  EXPECT_LT(took, 1s) << "Delete waited for the Add";
  EXPECT_EQ(Count("AUDIO"), 1);
  EXPECT_EQ(list->topLevelItemCount(), 1);

  pause.Release();
  page.Engine().WaitForAdds();
  ASSERT_TRUE(Until([&] { return list->topLevelItemCount() == 2 && !page.Busy(); }));
  EXPECT_EQ(Count("IMAGE"), 50);
  EXPECT_EQ(Count("AUDIO"), 1);
  EXPECT_EQ(Count("SHAREDFOLDER"), 2);
  // Pressed again once the Add has ended, it removes the selected folder only.
  list->clearSelection();
  list->topLevelItem(0)->setSelected(true);
  QTest::keyClick(list, Qt::Key_Delete);
  ASSERT_TRUE(Until([&] { return list->topLevelItemCount() == 1; }));
  page.Engine().WaitForAdds();  // the row leaves the list before the change commits
  EXPECT_EQ(Count("AUDIO"), 0);
  EXPECT_EQ(Count("IMAGE"), 50);
  EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), b.string() + "/");
}
