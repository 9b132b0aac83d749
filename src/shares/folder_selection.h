// What the user chose to share: the media types (the dialogs write them, the
// walk reads them) and whether a folder was chosen.
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

// Whether the last run of the folder dialog ended with a folder chosen. The
// folder itself is the dialog's own answer.
class CFolderSelection {
 public:
  static void SetChosen();
  static void ClearChosen();
  static bool IsChosen();

 private:
  static std::atomic<int> s_chosen;
};
