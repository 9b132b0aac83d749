#include "testing.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "catalog/database.h"
#include "catalog/schema.h"
#include "shares/folder_selection.h"

extern char** environ;

void CatalogTest::SetUp() {
  oldCwd_ = fs::current_path();
  std::string tmpl = (fs::temp_directory_path() / "tarvel-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  dir_ = fs::canonical(tmpl);
  fs::current_path(dir_);
  // Locks and presence files of this test stay in its own folder.
  fs::create_directory(dir_ / "run");
  fs::permissions(dir_ / "run", fs::perms::owner_all);
  setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
  ASSERT_EQ(EnsureCatalogueSchema(kCatalogueFile), 0);
}

void CatalogTest::TearDown() {
  fs::current_path(oldCwd_);
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void EngineTest::SetUp() {
  CatalogTest::SetUp();
  g_enabledMediaTypes.LoadAll();
  core.SetView(&view);
  core.SetEchoList(false);
}

void EngineTest::TearDown() {
  core.StopMonitor();
  g_enabledMediaTypes.LoadAll();
  CatalogTest::TearDown();
}

std::vector<std::vector<std::string>> Rows(const std::string& sql) {
  std::vector<std::vector<std::string>> out;
  CatalogConnection db = OpenCatalogue();
  if (!db) return out;
  Recordset rs = Query(db.get(), sql);
  while (rs->Next()) {
    std::vector<std::string> row;
    for (int c = 0; c < rs->columnCount; ++c) row.push_back(rs->Text(c));
    out.push_back(std::move(row));
  }
  return out;
}

int Count(const std::string& table) {
  auto rows = Rows("select count(*) from " + table);
  return rows.empty() ? -1 : std::atoi(rows[0][0].c_str());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string BinDir() {
  const char* d = getenv("TARVEL_BIN_DIR");
  return d ? d : TARVEL_DEFAULT_BIN_DIR;
}

namespace {
std::string Slurp(int fd) {
  std::string s;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}
}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
  RunResult r;
  std::string path = BinDir() + "/" + program;
  std::vector<char*> argv;
  argv.push_back(path.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fileno(out), 1);
  posix_spawn_file_actions_adddup2(&fa, fileno(err), 2);
  pid_t pid;
  if (posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&fa);
  r.out = Slurp(fileno(out));
  r.err = Slurp(fileno(err));
  fclose(out);
  fclose(err);
  return r;
}
