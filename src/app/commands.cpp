#include "app/commands.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "app/radio_commands.h"
#include "app/terminal_view.h"
#include "catalog/database.h"
#include "platform/named_mutex.h"
#include "platform/presence.h"
#include "platform/server_control.h"
#include "platform/server_name.h"
#include "platform/signals.h"
#include "shares/folder_selection.h"
#include "shares/shared_folder_core.h"

namespace fs = std::filesystem;

std::string g_invocationDir;

namespace {

// How long a running media server is given to close when asked.
constexpr int kServerCloseLimitMs = 10000;

int CatalogCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  CatalogConnection db = OpenCatalogue();
  if (!db) return 1;
  for (const char* table : {"AUDIO", "VIDEO", "IMAGE", "SHAREDFOLDER"}) {
    std::string sql = std::string("select count(*) from ") + table;
    Recordset rs = Query(db.get(), sql);
    int n = 0;
    if (!rs->Next()) return 1;
    rs->GetInt(0, &n);
    printf("%s %d\n", table, n);
  }
  return 0;
}

// The engine as the command line uses it: list loaded, quiet on stdout. The
// view is declared first so that it outlives the engine's workers, which the
// engine's destructor joins.
struct Engine {
  TerminalView view;
  CSharedFolderCore core;
  Engine() {
    core.SetView(&view);
    core.SetEchoList(false);
    core.LoadList();
  }
};

// PATH made absolute and tidy, without a trailing '/' (except the root).
std::string FolderArgument(const std::string& arg) {
  fs::path given(arg);
  if (given.is_relative() && !g_invocationDir.empty()) given = fs::path(g_invocationDir) / given;
  std::string p = fs::absolute(given).lexically_normal().string();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

bool ReadableFolder(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec) && access(path.c_str(), R_OK | X_OK) == 0;
}

// Whether a command's argument is an option (or an empty path, which would
// silently mean the current folder): those it does not take are usage errors.
bool NotAPath(const std::string& arg) { return arg.empty() || arg[0] == '-'; }

// Splits off "--types LIST" and sets the enabled media types from it.
// False when LIST is missing or not understood (an unknown type is named).
bool TakeTypesOption(std::vector<std::string>& args, bool* given = nullptr) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string list;
    if (args[i] == "--types") {
      if (i + 1 >= args.size()) return false;
      list = args[i + 1];
      args.erase(args.begin() + i, args.begin() + i + 2);
    } else if (args[i].rfind("--types=", 0) == 0) {
      list = args[i].substr(8);
      args.erase(args.begin() + i);
    } else {
      continue;
    }
    if (given) *given = true;
    if (list == "none") {
      g_enabledMediaTypes.Clear();
      return true;
    }
    std::vector<std::string> exts, unknown;
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(',', start);
      std::string e = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (!e.empty() && e[0] == '.') e.erase(0, 1);
      if (!e.empty()) exts.push_back(e);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    std::vector<std::string> rows = MediaTypesForExtensions(exts, &unknown);
    if (!unknown.empty() || exts.empty()) {
      fprintf(stderr, "tarvel: unknown media type in --types: %s\n",
              unknown.empty() ? list.c_str() : unknown.front().c_str());
      return false;
    }
    g_enabledMediaTypes.Set(rows);
    return true;
  }
  return true;
}

int ShareCommand(const std::vector<std::string>& argsIn) {
  std::vector<std::string> args = argsIn;
  if (!TakeTypesOption(args)) return kUsageError;
  if (args.size() != 1 || NotAPath(args[0])) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  const std::string path = FolderArgument(args[0]);
  if (!ReadableFolder(path)) {
    fprintf(stderr, "tarvel: %s is not a readable folder\n", args[0].c_str());
    return 1;
  }
  const std::string label = path == "/" ? "/" : fs::path(path).filename().string();
  Engine engine;
  std::atomic<bool> interrupted{false};
  StopSignals signals([&](int) {
    interrupted = true;
    engine.core.RequestStop();
  });
  if (!engine.core.StartAdd(path, label)) return 1;
  engine.core.WaitForAdds();
  if (engine.core.RefusedAdds() > 0 || engine.core.FailedAdds() > 0) return 1;
  if (interrupted) {
    fprintf(stderr, "tarvel: interrupted; %s was not shared\n", path.c_str());
    return 1;
  }
  return 0;
}

// Selects the listed items for these paths; false (after saying which) when
// one is not listed.
bool SelectListed(CSharedFolderCore& core, const std::vector<std::string>& paths) {
  std::vector<int> indices;
  for (const std::string& arg : paths) {
    int index = core.FindListIndex(FolderArgument(arg));
    if (index < 0) {
      fprintf(stderr, "tarvel: %s is not a shared folder\n", arg.c_str());
      return false;
    }
    indices.push_back(index);
  }
  for (int i : indices) core.List().SetSelected(i, true);
  return true;
}

int UnshareCommand(const std::vector<std::string>& args) {
  if (args.empty()) return kUsageError;
  const bool all = args.size() == 1 && args[0] == "--all";
  for (const std::string& a : args)
    if (!all && NotAPath(a)) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  Engine engine;
  if (all) {
    engine.core.OnReset();
    return engine.core.LastChangeOk() ? 0 : 1;
  }
  if (!SelectListed(engine.core, args)) return 1;
  engine.core.DeleteSelected();
  return engine.core.LastChangeOk() ? 0 : 1;
}

int RescanCommand(const std::vector<std::string>& argsIn) {
  std::vector<std::string> args = argsIn;
  bool typesGiven = false;
  if (!TakeTypesOption(args, &typesGiven)) return kUsageError;
  if (args.empty()) return kUsageError;
  for (const std::string& a : args)
    if (NotAPath(a)) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  Engine engine;
  if (!SelectListed(engine.core, args)) return 1;
  // Without --types each folder keeps the types it was shared with.
  if (typesGiven) engine.core.SetRescanTypes(g_enabledMediaTypes.Get());
  // Stopped like a share: what the rescan did is taken back.
  std::atomic<bool> interrupted{false};
  StopSignals signals([&](int) {
    interrupted = true;
    engine.core.RequestStop();
  });
  engine.core.RescanSelected();
  bool ok = engine.core.LastChangeOk();
  if (interrupted) {
    fprintf(stderr, "tarvel: interrupted; nothing was rescanned\n");
    return 1;
  }
  return ok ? 0 : 1;
}

// SIGINT and SIGTERM, turned into a request to stop. Made before any thread
// is started, so that every thread leaves the signals to it.
class StopRequest {
 public:
  StopRequest()
      : signals_([this](int) {
          std::lock_guard lock(mutex_);
          stop_ = true;
          wake_.notify_all();
        }) {}
  // Runs `tick` every 5 seconds until a stop is requested.
  void RunUntilStopped(const std::function<void()>& tick) {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::seconds(5), [&] { return stop_; })) {
      lock.unlock();
      tick();
      lock.lock();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  StopSignals signals_;
};

// Claims the single-instance guard and leaves a note there of who holds it;
// a second one says which process follows which data folder.
bool ClaimInstance(const char* what, std::unique_ptr<NamedMutex>* instance) {
  if (!ClaimSingleInstance(kInstanceMutex, instance)) {
    std::string note = NamedMutex::ReadNote(kInstanceMutex);
    if (note.empty()) note = "another tarvel";
    fprintf(stderr,
            "tarvel: %s already follows its data folder; only one watch, serve or control panel "
            "runs at a time\n",
            note.c_str());
    return false;
  }
  std::error_code ec;
  if (*instance)
    (*instance)->SetNote("process " + std::to_string(getpid()) + " (" + what + ", data folder " +
                         fs::current_path(ec).string() + ")");
  return true;
}

// TARVEL_SETTLE_MS (1 to 60000), undocumented: how long `watch` gives a file
// written without being closed before taking it. The 2 s default suits slow
// copies; the test suite follows a watcher with a short one instead of
// waiting it out. Anything else keeps the default.
void SettleFromEnvironment(CSharedFolderCore& core) {
  const char* text = getenv("TARVEL_SETTLE_MS");
  if (!text) return;
  char* end = nullptr;
  errno = 0;
  long ms = strtol(text, &end, 10);
  if (errno == 0 && end != text && *end == '\0' && ms >= 1 && ms <= 60000)
    core.SetMonitorSettle(std::chrono::milliseconds(ms));
}

int WatchCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  // One watcher, serve or panel at a time.
  std::unique_ptr<NamedMutex> instance;
  if (!ClaimInstance("watch", &instance)) return 1;
  StopRequest stop;
  Engine engine;
  SettleFromEnvironment(engine.core);
  engine.core.EnableMonitor();
  // Folders shared or unshared meanwhile by another tarvel are taken up.
  stop.RunUntilStopped([&] { engine.core.StartReloadIfChanged(); });
  engine.core.RequestStop();  // a catch-up under way ends early
  engine.core.StopMonitor();
  return 0;
}

int NameCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return kUsageError;
  if (int rc = EnterDataFolder(false)) return rc;
  printf("%s\n", ReadServerName().c_str());
  return 0;
}

int RenameCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) return kUsageError;
  if (int rc = EnterDataFolder(false)) return rc;
  const std::string& name = args[0];
  if (name.empty()) {
    fprintf(stderr, "Irregular name!\n");
    return 1;
  }
  if (name.size() > kMaxServerName) {
    fprintf(stderr, "tarvel: the name is %zu bytes long; at most %zu are allowed\n", name.size(),
            kMaxServerName);
    return 1;
  }
  // The name is written first: when it cannot be, the running server is
  // left alone and none is started.
  if (!WriteServerName(name)) {
    fprintf(stderr, "tarvel: cannot write %s: %s\n", kServerNameFile, strerror(errno));
    return 1;
  }
  // The old server must be gone before the new one starts, or both would run.
  ServerControl::AskToClose();
  if (!WaitUntilAbsent(kServerTitle, kServerCloseLimitMs)) {
    fprintf(stderr,
            "tarvel: the media server did not close within %d seconds; it takes the new name "
            "when it is started again\n",
            kServerCloseLimitMs / 1000);
    return 1;
  }
  if (!ServerControl::StartUnrecorded()) {
    fprintf(stderr, "tarvel: the name was changed, but no %s could be started\n", kServerCommand);
    return 1;
  }
  return 0;
}

int ServeCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  // One panel or serve at a time; a second one leaves without disturbing
  // the first one's server.
  std::unique_ptr<NamedMutex> instance;
  if (!ClaimInstance("serve", &instance)) return 1;
  // A server left running by an earlier run is asked to close first.
  if (ServerControl::AskToClose()) WaitUntilAbsent(kServerTitle, kServerCloseLimitMs);
  StopRequest stop;
  ServerControl server;
  server.Start();
  Engine engine;
  engine.core.EnableMonitor();
  stop.RunUntilStopped([&] {
    server.Check();
    engine.core.StartReloadIfChanged();
  });
  server.Shutdown();
  engine.core.RequestStop();  // a catch-up under way ends early
  engine.core.StopMonitor();
  return 0;
}

int ListCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  Engine engine;
  // One line a folder: a line feed in a path is written "\n", and a
  // backslash "\\", so that every line reads back as one path.
  for (const std::string& item : engine.core.List().Items()) {
    std::string line;
    for (char c : item) {
      if (c == '\\') line += "\\\\";
      else if (c == '\n') line += "\\n";
      else line += c;
    }
    printf("%s\n", line.c_str());
  }
  return 0;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"catalog", CatalogCommand},
      {"share", ShareCommand},
      {"list", ListCommand},
      {"unshare", UnshareCommand},
      {"rescan", RescanCommand},
      {"watch", WatchCommand},
      {"name", NameCommand},
      {"rename", RenameCommand},
      {"serve", ServeCommand},
      {"stations", StationsCommand},
      {"add-station", AddStationCommand},
      {"remove-station", RemoveStationCommand},
  };
  return commands;
}
