// The roots the folder dialog offers: "/" first, then the mount points of
// real file systems, typed by kind, then the user's home folder. Also the two
// folder probes the dialog reads lazily with.
#pragma once

#include <string>
#include <vector>

enum class DriveKind { Fixed, Removable, CdRom, Remote, RamDisk };

struct Drive {
  std::string root;  // a folder path; "/" for the root
  DriveKind kind;
};

// $HOME, or the password database's home folder; empty when neither is known.
std::string HomeFolder();

// Reads the mount table (`mounts`, in /proc/self/mounts form); `home` is added
// last unless it is empty or already a root. Kernel and system file systems
// (proc, sysfs, cgroups, the tmpfs under /run, /dev and /sys, ...) are left out.
std::vector<Drive> ListDrives(const std::string& mounts = "/proc/self/mounts",
                              const std::string& home = HomeFolder());

// The kind of a file system type, for a mount point; false when it is not shown.
bool DriveKindOf(const std::string& fsType, const std::string& mountPoint, DriveKind* kind);

// True when `folder` holds at least one folder (stops at the first one).
bool HasSubfolder(const std::string& folder);
// The folders in `folder`, in listing order; false when it cannot be listed.
bool ListSubfolders(const std::string& folder, std::vector<std::string>* names);
