// The media types a walk takes: the rows of the media-type table the user
// chose from, and the ordered list of those enabled.
#pragma once

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
  explicit EnabledMediaTypes(std::vector<std::string> rows);
  EnabledMediaTypes(const EnabledMediaTypes& other);
  EnabledMediaTypes& operator=(const EnabledMediaTypes& other);
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
// What the dialogs chose last: the types of the next Add.
extern EnabledMediaTypes g_enabledMediaTypes;

// The rows of kMediaTypeTable that list one of the given extensions (without
// dots, any case); an extension no row lists is returned in `unknown`.
std::vector<std::string> MediaTypesForExtensions(const std::vector<std::string>& extensions,
                                                 std::vector<std::string>* unknown);
