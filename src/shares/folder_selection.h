// What the user chose to share: the folder (with its history) and the media
// types. The dialogs write these; the scan reads the media types.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

inline constexpr int kMediaTypeCount = 19;
extern const char* const kMediaTypeTable[kMediaTypeCount];

// The ordered list of enabled rows of kMediaTypeTable, the filter of every
// scan. Safe to read while another thread rewrites it.
class EnabledMediaTypes {
 public:
  EnabledMediaTypes();  // all rows
  void Set(std::vector<std::string> rows);
  std::vector<std::string> Get() const;
  void LoadAll();
  void Clear();
  // True when some enabled row holds `lowerExtension` past its first character.
  bool Contains(const std::string& lowerExtension) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> rows_;
};
extern EnabledMediaTypes g_enabledMediaTypes;

// The media types that walks and classifications on this thread use instead
// of g_enabledMediaTypes, for as long as it exists: a shared folder's own
// chosen types, while its changes are applied or it is walked again.
class ScopedMediaTypes {
 public:
  explicit ScopedMediaTypes(std::vector<std::string> rows);
  ~ScopedMediaTypes();
  ScopedMediaTypes(const ScopedMediaTypes&) = delete;
  ScopedMediaTypes& operator=(const ScopedMediaTypes&) = delete;
  // The types in force on this thread.
  static const EnabledMediaTypes& Current();

 private:
  EnabledMediaTypes types_;
  const EnabledMediaTypes* previous_;
};

// The rows of kMediaTypeTable that list one of the given extensions (without
// dots, any case); an extension no row lists is returned in `unknown`.
std::vector<std::string> MediaTypesForExtensions(const std::vector<std::string>& extensions,
                                                 std::vector<std::string>* unknown);

struct FolderPair {
  std::string label;
  std::string path;
};

class CFolderSelection {
 public:
  void Add(const std::string& label, const std::string& path);
  std::string GetLastLabel() const;
  std::string GetLastPath() const;
  size_t HistorySize() const;
  static void SetChosen();
  static void ClearChosen();
  static bool IsChosen();

 private:
  mutable std::mutex mutex_;
  FolderPair current_;
  std::vector<FolderPair> history_;
  static std::atomic<int> s_chosen;
};
extern CFolderSelection g_folderSelection;
