#include "app/cli.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/commands.h"
#include "catalog/database.h"
#include "catalog/schema.h"
#include "panel/panel_app.h"
#include "platform/runtime_dir.h"
#include "shares/catalogue_change.h"

namespace {

constexpr const char* kUsage =
    "usage: tarvel [--data-dir DIR | --user-data-dir] [COMMAND [ARGS]]\n"
    "\n"
    "With no command, opens the control panel.\n"
    "\n"
    "  --data-dir DIR           working folder holding data.sqlite and the other files\n"
    "                           (default: the current folder; made when missing)\n"
    "  --user-data-dir          use $XDG_DATA_HOME/tarvel (else ~/.local/share/tarvel)\n"
    "                           as the data folder, as the desktop entry and service do\n"
    "  --version                print the version and exit\n"
    "\n"
    "commands:\n"
    "  catalog                  print the row count of each catalogue table\n"
    "  share PATH [--types LIST]\n"
    "                           share a folder: walk it into the catalogue; LIST is\n"
    "                           comma-separated extensions (mp3,jpg) or none\n"
    "  list                     print the shared folders, one per line\n"
    "  unshare PATH... | --all  stop sharing these folders (or all): their rows go\n"
    "  rescan PATH... [--types LIST]\n"
    "                           walk shared folders into the catalogue afresh\n"
    "  watch                    follow changes in the shared folders until SIGINT/SIGTERM\n"
    "  name                     print the media server's name\n"
    "  rename NAME              give the media server a new name and restart it\n"
    "  serve                    run the panel's work without a display: keep the media\n"
    "                           server running and follow the shared folders\n"
    "  stations                 print the radio stations: file name, a tab, title\n"
    "  add-station URL          download the .pls playlist at URL into RadioList and\n"
    "                           name it after its station's title\n"
    "  remove-station NAME...   delete these station files from RadioList\n";

int Usage(const char* problem) {
  if (problem) fprintf(stderr, "tarvel: %s\n", problem);
  fputs(kUsage, stderr);
  return 2;
}

// Makes the folder and any missing parents, open to the user alone.
// True when it had to make the folder itself.
bool MakeFolder(const std::string& dir, bool* made) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return true;  // a file there is for chdir to refuse
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    partial = dir.substr(0, pos);
    if (mkdir(partial.c_str(), 0700) == 0) {
      *made = true;
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return true;
}

std::string g_dataDir;  // as given with --data-dir; empty: the current folder

// The user's own data folder for tarvel, by the XDG base directory rules
// (a relative XDG_DATA_HOME is to be ignored); empty when there is no home.
std::string UserDataDir() {
  const char* xdg = getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/tarvel";
  const char* home = getenv("HOME");
  if (!home || home[0] != '/') {
    const passwd* pw = getpwuid(getuid());
    home = pw ? pw->pw_dir : nullptr;
  }
  if (!home || home[0] != '/') return {};
  return std::string(home) + "/.local/share/tarvel";
}

// tarvel -DTARVEL_PANEL=OFF has no control panel to open.
constexpr bool kPanelBuilt = TARVEL_PANEL;

}  // namespace

int EnterDataFolder(bool catalogue) {
  // Without working locks two tarvels would write the same rows twice.
  if (RuntimeDir().empty()) {
    fprintf(stderr,
            "tarvel: the runtime folder %s is not a private folder of this user (mode 0700, "
            "owned by uid %u); without it locks cannot work\n",
            RuntimeDirPath().c_str(), static_cast<unsigned>(getuid()));
    return 1;
  }
  if (!g_dataDir.empty()) {
    bool made = false;
    if (!MakeFolder(g_dataDir, &made) || chdir(g_dataDir.c_str()) != 0) {
      fprintf(stderr, "tarvel: cannot use %s as the data folder: %s\n", g_dataDir.c_str(),
              strerror(errno));
      return 1;
    }
    if (made) fprintf(stderr, "tarvel: created the data folder %s\n", g_dataDir.c_str());
  }
  if (!catalogue) return 0;
  if (EnsureCatalogueSchema(kCatalogueFile) != 0) return 1;
  // Whatever an interrupted tarvel left half done is set right first.
  return RepairCatalogue() ? 0 : 1;
}

int RunTarvel(int argc, char** argv) {
  std::string dataDir;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    // Options of tarvel itself come before the command; what follows it is
    // the command's own ("rename -h" names the server "-h").
    if (!args.empty()) {
      args.push_back(a);
    } else if (a == "--data-dir") {
      if (i + 1 >= argc || !*argv[i + 1]) return Usage("--data-dir needs a folder");
      dataDir = argv[++i];
    } else if (a.rfind("--data-dir=", 0) == 0) {
      dataDir = a.substr(strlen("--data-dir="));
      if (dataDir.empty()) return Usage("--data-dir needs a folder");
    } else if (a == "--user-data-dir") {
      dataDir = UserDataDir();
      if (dataDir.empty()) {
        fputs("tarvel: --user-data-dir: no home folder to keep the data folder in\n", stderr);
        return 1;
      }
    } else if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      printf("tarvel %s\n", TARVEL_VERSION);
      return 0;
    } else {
      args.push_back(a);
    }
  }
  std::error_code ec;
  g_invocationDir = std::filesystem::current_path(ec).string();
  g_dataDir = dataDir;
  // Nothing is written before the command line is known to be right: each
  // command enters the data folder once its arguments have passed.
  if (args.empty()) {
    // Built without the panel, it says so before touching any file.
    if (!kPanelBuilt) return RunControlPanel(argc, argv, dataDir, [] { return 0; });
    // The panel enters (and makes) its data folder only once it knows it is
    // the one that runs: a second start for another folder changes nothing.
    namespace fs = std::filesystem;
    const fs::path given = (fs::path(g_invocationDir) / dataDir).lexically_normal();
    fs::path folder = fs::weakly_canonical(given, ec);
    if (ec) folder = given;
    return RunControlPanel(argc, argv, folder.string(), [] { return EnterDataFolder(); });
  }
  const std::string command = args.front();
  args.erase(args.begin());
  for (const Command& c : Commands()) {
    if (command == c.name) {
      int rc = c.run(args);
      return rc == kUsageError ? Usage(nullptr) : rc;
    }
  }
  return Usage(("unknown command: " + command).c_str());
}
