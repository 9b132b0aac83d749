#include "server/content_source.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cctype>

#include "radio/station_file.h"
#include "radio/stations.h"

namespace {

// How often changes are looked for, and how long a busy catalogue is waited for.
constexpr auto kPollInterval = std::chrono::milliseconds(1000);
constexpr int kBusyTimeoutMs = 2000;

struct Db {
  sqlite3* db = nullptr;
  ino_t inode = 0;
  ~Db() { Close(); }
  void Close() {
    if (db) sqlite3_close_v2(db);
    db = nullptr;
  }
};

bool OpenReadOnly(const std::string& file, sqlite3** db, std::string* error) {
  *db = nullptr;
  struct stat st;
  if (stat(file.c_str(), &st) != 0) {
    *error = "no catalogue at " + file;
    return false;
  }
  if (sqlite3_open_v2(file.c_str(), db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    *error = *db ? sqlite3_errmsg(*db) : "cannot open the catalogue";
    sqlite3_close_v2(*db);
    *db = nullptr;
    return false;
  }
  sqlite3_busy_timeout(*db, kBusyTimeoutMs);
  // As the panel's connections: text in double quotes is never a string.
  sqlite3_db_config(*db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(*db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  return true;
}

std::string Column(sqlite3_stmt* st, int i) {
  const unsigned char* text = sqlite3_column_text(st, i);
  return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(st, i)) : "";
}

bool Select(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& row,
            std::string* error) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    if (error) *error = sqlite3_errmsg(db);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) row(st);
  if (rc != SQLITE_DONE && error) *error = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  return rc == SQLITE_DONE;
}

bool ReadAll(sqlite3* db, CatalogueRows* rows, std::string* error) {
  // One read transaction: the four tables as of one moment.
  if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  auto media = [&](MediaKind kind, const char* sql) {
    return Select(db, sql, [&](sqlite3_stmt* st) {
      rows->media.push_back({kind, Column(st, 0), Column(st, 1), Column(st, 2), Column(st, 3),
                             Column(st, 4), Column(st, 5), Column(st, 6),
                             sqlite3_column_int64(st, 7)});
    }, error);
  };
  bool ok =
      media(MediaKind::Audio,
            "SELECT Title,Genre,TagText1,TagText2,ParentDir,Filename,SharedRoot,rowid FROM AUDIO") &&
      media(MediaKind::Video,
            "SELECT Title,Genre,TagText1,TagText2,ParentDir,Filename,SharedRoot,rowid FROM VIDEO") &&
      media(MediaKind::Image, "SELECT Title,Genre,'','',ParentDir,Filename,SharedRoot,rowid FROM IMAGE") &&
      Select(db, "SELECT Label,FullPath,ViewCode FROM SHAREDFOLDER", [&](sqlite3_stmt* st) {
        rows->folders.push_back({Column(st, 0), Column(st, 1), sqlite3_column_int(st, 2)});
      }, error);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  return ok;
}

int64_t DataVersion(sqlite3* db) {
  int64_t v = -1;
  Select(db, "PRAGMA data_version", [&](sqlite3_stmt* st) { v = sqlite3_column_int64(st, 0); },
         nullptr);
  return v;
}

}  // namespace

bool ReadCatalogue(const std::string& file, CatalogueRows* rows, std::string* error) {
  sqlite3* db = nullptr;
  if (!OpenReadOnly(file, &db, error)) return false;
  bool ok = ReadAll(db, rows, error);
  sqlite3_close_v2(db);
  return ok;
}

std::vector<Station> ReadStations(const std::string& folder) {
  std::vector<Station> out;
  for (const std::string& name : ListStations(folder)) {
    // Published are the playlists (".pls", whatever its case) that are not
    // hidden; the station folder's own downloads in progress are hidden.
    if (name.size() <= 4 || name[0] == '.') continue;
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext != ".pls") continue;
    Station s;
    s.file = folder + "/" + name;
    s.title = name.substr(0, name.size() - 4);
    StationFile file;
    std::string error;
    if (!ReadStationFile(s.file, &file, &error)) continue;
    for (StationStream& stream : file.streams)
      s.streams.push_back({std::move(stream.title), std::move(stream.url)});
    if (!s.streams.empty()) out.push_back(std::move(s));
  }
  return out;
}

ContentSource::ContentSource(std::string catalogue, std::string radioFolder, Publish publish)
    : catalogue_(std::move(catalogue)), radio_(std::move(radioFolder)), publish_(std::move(publish)) {
  thread_ = std::thread([this] { Run(); });
}

ContentSource::~ContentSource() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::string ContentSource::RadioSignature() const {
  std::string sig;
  DIR* d = opendir(radio_.c_str());
  if (!d) return sig;
  std::vector<std::string> parts;
  while (dirent* e = readdir(d)) {
    struct stat st;
    std::string path = radio_ + "/" + e->d_name;
    if (stat(path.c_str(), &st) == 0)
      parts.push_back(std::string(e->d_name) + "\n" + std::to_string(st.st_size) + "\n" +
                      std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec));
  }
  closedir(d);
  std::sort(parts.begin(), parts.end());
  for (const auto& p : parts) sig += p + "\n";
  return sig;
}

void ContentSource::Run() {
  Db db;
  int64_t version = -2;
  std::string radioSig = "\x01";  // never a real signature: the first pass loads
  std::string lastProblem = "\x01";
  std::shared_ptr<const Content> last;
  CatalogueRows lastRows;
  while (true) {
    bool changed = false;
    std::string problem;
    // The catalogue: reopened when it appears, or was replaced by another file.
    struct stat st;
    bool exists = stat(catalogue_.c_str(), &st) == 0;
    if (db.db && (!exists || st.st_ino != db.inode)) {
      db.Close();
      changed = true;
    }
    if (!db.db && exists) {
      std::string error;
      if (OpenReadOnly(catalogue_, &db.db, &error)) {
        db.inode = st.st_ino;
        version = -2;
      } else {
        problem = error;
      }
    }
    if (!exists) {
      problem = "no catalogue at " + catalogue_;
      if (!lastRows.media.empty() || !lastRows.folders.empty()) changed = true;
      lastRows = {};
    }
    if (db.db) {
      int64_t v = DataVersion(db.db);
      if (v != version) {
        CatalogueRows rows;
        std::string error;
        if (ReadAll(db.db, &rows, &error)) {
          version = v;
          lastRows = std::move(rows);
          changed = true;
        } else {
          // Locked or damaged: keep publishing what was last read, and say so.
          problem = "cannot read the catalogue " + catalogue_ + ": " + error;
        }
      }
    }
    std::string sig = RadioSignature();
    if (sig != radioSig) {
      radioSig = sig;
      changed = true;
    }
    if (changed || !last) {
      last = Content::Build(lastRows, ReadStations(radio_));
      publish_(last, problem);
      lastProblem = problem;
    } else if (problem != lastProblem) {
      publish_(nullptr, problem);
      lastProblem = problem;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, kPollInterval, [this] { return stop_; })) return;
  }
}
