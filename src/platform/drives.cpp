#include "platform/drives.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace {

// Mount points in the mount table escape blanks, tabs, new lines and
// backslashes as three octal digits.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1])) &&
        isdigit(static_cast<unsigned char>(s[i + 2])) && isdigit(static_cast<unsigned char>(s[i + 3]))) {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool Under(const std::string& path, const std::string& folder) {
  return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

bool IsFolderEntry(const std::string& folder, const dirent* e) {
  if (e->d_type == DT_DIR) return true;
  if (e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) return false;
  // Links to folders count as folders, as the walk follows them.
  struct stat st;
  const std::string path = (folder.back() == '/' ? folder : folder + "/") + e->d_name;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

template <typename Visit>
bool ForEachSubfolder(const std::string& folder, Visit visit) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return false;
  while (const dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (IsFolderEntry(folder, e) && !visit(name)) break;
  }
  return true;
}

}  // namespace

std::string HomeFolder() {
  if (const char* home = getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

bool DriveKindOf(const std::string& fsType, const std::string& mountPoint, DriveKind* kind) {
  static const std::set<std::string> kSystem = {
      "proc",     "sysfs",    "devtmpfs", "devpts",      "cgroup",    "cgroup2",    "securityfs",
      "pstore",   "bpf",      "debugfs",  "tracefs",     "mqueue",    "hugetlbfs",  "configfs",
      "fusectl",  "autofs",   "binfmt_misc", "efivarfs", "rpc_pipefs", "nsfs",      "squashfs",
      "fuse.gvfsd-fuse", "fuse.portal", "selinuxfs"};
  if (kSystem.count(fsType)) return false;
  // The system's own folders hold no media of the user's, whatever is mounted there.
  for (const char* system : {"/proc", "/sys", "/dev", "/boot", "/snap"})
    if (Under(mountPoint, system)) return false;
  const bool media = Under(mountPoint, "/media") || Under(mountPoint, "/run/media");
  if (Under(mountPoint, "/run") && !media) return false;
  if (fsType == "iso9660" || fsType == "udf") *kind = DriveKind::CdRom;
  else if (media) *kind = DriveKind::Removable;
  else if (fsType == "nfs" || fsType == "nfs4" || fsType == "cifs" || fsType == "smb3" ||
           fsType == "smbfs" || fsType == "fuse.sshfs")
    *kind = DriveKind::Remote;
  else if (fsType == "tmpfs" || fsType == "ramfs")
    *kind = DriveKind::RamDisk;
  else
    *kind = DriveKind::Fixed;
  return true;
}

std::vector<Drive> ListDrives(const std::string& mounts, const std::string& home) {
  std::vector<Drive> drives{{"/", DriveKind::Fixed}};
  std::set<std::string> seen{"/"};
  std::ifstream in(mounts);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string device, point, type;
    if (!(fields >> device >> point >> type)) continue;
    point = Unescape(point);
    DriveKind kind;
    if (point.empty() || point[0] != '/' || seen.count(point) || !DriveKindOf(type, point, &kind)) continue;
    if (point == "/") {
      drives[0].kind = kind;
      continue;
    }
    seen.insert(point);
    drives.push_back({point, kind});
  }
  std::string h = home;
  while (h.size() > 1 && h.back() == '/') h.pop_back();
  if (!h.empty() && !seen.count(h)) drives.push_back({h, DriveKind::Fixed});
  return drives;
}

bool HasSubfolder(const std::string& folder) {
  bool found = false;
  ForEachSubfolder(folder, [&](const std::string&) {
    found = true;
    return false;
  });
  return found;
}

bool ListSubfolders(const std::string& folder, std::vector<std::string>* names) {
  return ForEachSubfolder(folder, [&](const std::string& name) {
    names->push_back(name);
    return true;
  });
}
