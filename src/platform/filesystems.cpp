#include "platform/filesystems.h"

#include <linux/magic.h>
#include <sys/vfs.h>

bool KeepsFolderChangeTimes(const std::string& folder) {
  struct statfs fs;
  if (statfs(folder.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
    default:
      return false;
  }
}

bool IsPseudoFileSystem(const std::string& folder) {
  struct statfs fs;
  if (statfs(folder.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
    case 0x62656570:  // configfs
    case 0x74736e6d:  // nsfs
    case 0x19800202:  // mqueue
    case 0x65735543:  // fusectl
    case 0x42494e4d:  // binfmt_misc
      return true;
    default:
      return false;
  }
}
