// What the package installs for the desktop and for systemd, checked with
// the tools that read it: desktop-file-validate, appstreamcli and
// systemd-analyze; and what the programs it installs load, with ldd. A tool
// that is not installed skips its check, saying so.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "shell.h"

namespace fs = std::filesystem;

namespace {

const fs::path kSource = TARVEL_SOURCE_DIR;
const fs::path kBinary = TARVEL_BINARY_DIR;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Packaging : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "tarvel-pkg-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

}  // namespace

TEST_F(Packaging, TheUserServiceVerifies) {
  if (!HaveCommand("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  // The unit as configured for installation, run from this build instead;
  // its manual pages where `man` finds them, as once they are installed.
  std::string unit = Read(kBinary / "tarvel.service");
  const std::string exec = "ExecStart=";
  const size_t at = unit.find("\n" + exec);
  ASSERT_NE(at, std::string::npos) << unit;
  const size_t program = at + 1 + exec.size();
  const size_t end = unit.find(' ', program);
  ASSERT_EQ(unit.substr(program, end - program).rfind("/tarvel"), end - program - 7) << unit;
  unit.replace(program, end - program, TARVEL_PROGRAM);
  std::ofstream(dir_ / "tarvel.service") << unit;
  fs::create_directories(dir_ / "man" / "man1");
  for (const char* page : {"tarvel.1", "MediaServer.1"})
    fs::copy_file(kSource / "res" / "man" / page, dir_ / "man" / "man1" / page);
  fs::create_directory(dir_ / "run");
  fs::permissions(dir_ / "run", fs::perms::owner_all);

  ShellResult r = Shell("cd " + Quoted(dir_.string()) + " && MANPATH=" + Quoted((dir_ / "man").string()) +
                        " XDG_RUNTIME_DIR=" + Quoted((dir_ / "run").string()) +
                        " systemd-analyze --user verify ./tarvel.service");
  EXPECT_EQ(r.status, 0) << r.out;
  // A setting it could not read is only a warning to systemd: any word is a fault.
  EXPECT_EQ(r.out, "") << unit;
  EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos);
  EXPECT_NE(unit.find("\nStartLimitBurst="), std::string::npos);
  EXPECT_NE(unit.find(" --user-data-dir serve\n"), std::string::npos);
}

TEST_F(Packaging, TheDesktopEntryAndTheMetainfoValidate) {
  if (HaveCommand("desktop-file-validate")) {
    ShellResult r = Shell("desktop-file-validate " + Quoted((kSource / "res" / "tarvel.desktop").string()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
  } else {
    fprintf(stderr, "desktop-file-validate is not installed: the desktop entry is not checked\n");
  }
  // No shell: the entry starts tarvel itself, which finds its data folder.
  EXPECT_NE(Read(kSource / "res" / "tarvel.desktop").find("\nExec=tarvel --user-data-dir\n"),
            std::string::npos);
  if (HaveCommand("appstreamcli")) {
    const fs::path metainfo = kBinary / (std::string(TARVEL_APP_ID) + ".metainfo.xml");
    ShellResult r = Shell("appstreamcli validate --no-net " + Quoted(metainfo.string()));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("W:"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("I:"), std::string::npos) << r.out;
  } else {
    fprintf(stderr, "appstreamcli is not installed: the metainfo is not checked\n");
  }
}

// The media server package is for machines without a desktop: MediaServer
// reads the catalogue and the station files, and loads neither Qt nor the
// tag reader that only the walk uses.
TEST_F(Packaging, TheMediaServerLoadsNeitherQtNorTagLib) {
  if (!HaveCommand("ldd")) GTEST_SKIP() << "ldd is not installed";
  ShellResult r = Shell("ldd " + Quoted(TARVEL_MEDIA_SERVER));
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_NE(r.out.find("libsqlite3.so"), std::string::npos) << r.out;
  for (const char* library : {"libQt", "libtag.so", "libtag_c.so"})
    EXPECT_EQ(r.out.find(library), std::string::npos) << library << " in\n" << r.out;
}

// The command line is what scripts and the user service start, often: it
// loads none of the panel's libraries, and with no command it becomes
// tarvel-panel beside it, which has them. libcurl it loads only once a link
// is downloaded (the radio tests download through it).
TEST_F(Packaging, TheCommandLineLoadsNoneOfThePanelsLibraries) {
  if (!HaveCommand("ldd")) GTEST_SKIP() << "ldd is not installed";
  const std::string tarvel = TARVEL_PROGRAM;
  ShellResult cli = Shell("ldd " + Quoted(tarvel));
  ASSERT_EQ(cli.status, 0) << cli.out;
  ASSERT_NE(cli.out.find("libsqlite3.so"), std::string::npos) << cli.out;
  for (const char* library : {"libQt6Widgets", "libQt6Gui", "libQt6Network", "libQt6DBus", "libX11", "libxcb", "libcurl"})
    EXPECT_EQ(cli.out.find(library), std::string::npos) << library << " in\n" << cli.out;
  ShellResult panel = Shell("ldd " + Quoted(tarvel + "-panel"));
  ASSERT_EQ(panel.status, 0) << panel.out;
  EXPECT_NE(panel.out.find("libQt6Widgets"), std::string::npos) << panel.out;
}
