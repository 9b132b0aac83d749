// The tray menu's "Start at login": the XDG autostart entry it writes, read
// back by GLib as a desktop session would, and removed again.
#include <QCoreApplication>
#include <QMenu>
#include <QStringList>

#include "catalog/database.h"
#include "catalog/schema.h"
#include "panel/autostart_entry.h"
#include "panel/my_property_sheet.h"
#include "panel/ui/commands.h"
#include "panel/ui/resources.h"
#include "shell.h"
#include "testing.h"

namespace {

// The command line a desktop session runs for the entry: GLib reads the key
// file, splits Exec by the desktop entry rules and expands "%%".
std::vector<std::string> LaunchedCommand(const fs::path& entry) {
  const fs::path script = entry.parent_path() / "argv.py";
  WriteFile(script,
            "import sys, gi\n"
            "gi.require_version('Gio', '2.0')\n"
            "from gi.repository import Gio, GLib\n"
            "info = Gio.DesktopAppInfo.new_from_filename(sys.argv[1])\n"
            "ok, argv = GLib.shell_parse_argv(info.get_commandline())\n"
            "sys.stdout.write(''.join(a.replace('%%', '%') + '\\0' for a in argv))\n");
  ShellResult r = Shell("/usr/bin/python3 " + Quoted(script.string()) + " " + Quoted(entry.string()));
  fs::remove(script);
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> argv;
  for (size_t start = 0, end; (end = r.out.find('\0', start)) != std::string::npos; start = end + 1)
    argv.push_back(r.out.substr(start, end - start));
  return argv;
}

void ExpectValidEntry(const fs::path& entry) {
  if (!HaveCommand("desktop-file-validate")) {
    fprintf(stderr, "desktop-file-validate is not installed; the entry is only parsed\n");
    return;
  }
  ShellResult r = Shell("desktop-file-validate " + Quoted(entry.string()));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "") << ReadFile(entry);
}

class AutostartTest : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    setenv("HOME", (dir_ / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    CatalogTest::TearDown();
  }
};

CMyPropertySheet::Options NoServer() {
  CMyPropertySheet::Options o;
  o.startServer = false;
  return o;
}

bool Checked(QMenu* menu) {
  emit menu->aboutToShow();
  return ui::FindCommand(menu, cmd::kStartAtLogin)->isChecked();
}

}  // namespace

TEST_F(AutostartTest, TheMenuItemWritesAnEntryThatStartsThisPanelAndRemovesIt) {
  // A data folder whose name needs every kind of quoting the entry knows.
  const fs::path data = dir_ / "my data $HOME \"q\" 'a' 100% back\\slash `tick`";
  fs::create_directory(data);
  fs::current_path(data);
  ASSERT_EQ(EnsureCatalogueSchema(kCatalogueFile), 0);
  CMyPropertySheet sheet(NoServer());
  QMenu* menu = sheet.TrayMenu();

  // Below the menu's own items, after a separator; off by default.
  const QList<QAction*> actions = menu->actions();
  ASSERT_GE(actions.size(), 2);
  EXPECT_EQ(actions.back(), ui::FindCommand(menu, cmd::kStartAtLogin));
  EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
  EXPECT_EQ(actions.back()->text(), "Start at &login");
  EXPECT_TRUE(actions.back()->isCheckable());
  EXPECT_FALSE(Checked(menu));

  const fs::path entry = dir_ / "config" / "autostart" / "tarvel.desktop";
  ui::FindCommand(menu, cmd::kStartAtLogin)->trigger();
  ASSERT_TRUE(fs::is_regular_file(entry));
  EXPECT_TRUE(Checked(menu));
  ExpectValidEntry(entry);
  EXPECT_EQ(LaunchedCommand(entry),
            (std::vector<std::string>{QCoreApplication::applicationFilePath().toStdString(),
                                      "--data-dir", data.string()}))
      << ReadFile(entry);

  ui::FindCommand(menu, cmd::kStartAtLogin)->trigger();
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_FALSE(Checked(menu));
  EXPECT_TRUE(fs::exists(entry.parent_path()));  // the user's folder stays

  // Checked exactly when the entry is there, whoever wrote or removed it.
  WriteFile(entry, "[Desktop Entry]\nType=Application\nName=x\nExec=x\n");
  EXPECT_TRUE(Checked(menu));
  ui::FindCommand(menu, cmd::kStartAtLogin)->trigger();
  EXPECT_FALSE(fs::exists(entry));
}

TEST_F(AutostartTest, TheEntryFollowsTheConfigFolderAndRefusesWhatItCannotWrite) {
  // A relative XDG_CONFIG_HOME is ignored, as the base directory rules say.
  setenv("XDG_CONFIG_HOME", "relative", 1);
  EXPECT_EQ(AutostartEntry().Path().toStdString(),
            (dir_ / "home" / ".config" / "autostart" / "tarvel.desktop").string());
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(AutostartEntry().Path().toStdString(),
            (dir_ / "home" / ".config" / "autostart" / "tarvel.desktop").string());

  // A line end or a name that is not UTF-8 cannot be said in Exec: nothing
  // is written rather than an entry that starts something else.
  const AutostartEntry entry(QString::fromStdString((dir_ / "a" / "tarvel.desktop").string()));
  QString error;
  for (const QString& bad : {QString("two\nlines"), QString::fromUtf8("bad\xff" "byte")}) {
    EXPECT_FALSE(entry.Write({"/usr/bin/tarvel", "--data-dir", bad}, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(entry.Exists());
  }
  // A file where the folder should be: refused, and said why.
  WriteFile(dir_ / "b");
  const AutostartEntry blocked(QString::fromStdString((dir_ / "b" / "tarvel.desktop").string()));
  error.clear();
  EXPECT_FALSE(blocked.Write({"/usr/bin/tarvel"}, &error));
  EXPECT_TRUE(error.contains("b")) << error.toStdString();
  EXPECT_EQ(ReadFile(dir_ / "b"), "x");

  // Plain arguments stay plain.
  EXPECT_EQ(AutostartEntry::ExecValue({"/usr/bin/tarvel", "--data-dir", "/home/u/tarvel"}),
            "/usr/bin/tarvel --data-dir /home/u/tarvel");
}
