#include "scan/media_types.h"

#include "catalog/text.h"

const char* const kMediaTypeTable[kMediaTypeCount] = {
    "*.aif *.aiff(Audio Interchange Files)",
    "*.avi(Audio Video Interleave)",
    "*.bmp(Windows Bitmap)",
    "*.dat(Standard VCD Video Files)",
    "*.gif(CompuServe GIF)",
    "*.lpcm(lpcm audio)",
    "*.mpa *.mp1 *.mp2(MPEG Layer-1,2 Audio File)",
    "*.mpg *.mpeg(MPEG Video files)",
    "*.mp3(MPEG Layer-3 Audio File)",
    "*.mp4(MPEG 4 Video Files)",
    "*.m3u *.pls(Playlist File)",
    "*.jpg *.jpe *.jpeg(Jpeg File Format)",
    "*.jp2 *.jpc *.j2k(Jpeg 2000 File Format)",
    "*.png(Portable Network Graphics)",
    "*.tif *.tiff(Tagged Image File Format)",
    "*.vob(Video of DVD Object)",
    "*.wav(Windows Wave Audio Files)",
    "*.wma(Window media audio)",
    "*.mpeg2(mpeg2 video)",
};

EnabledMediaTypes g_enabledMediaTypes;

EnabledMediaTypes::EnabledMediaTypes() { LoadAll(); }

EnabledMediaTypes::EnabledMediaTypes(std::vector<std::string> rows) : rows_(std::move(rows)) {}

EnabledMediaTypes::EnabledMediaTypes(const EnabledMediaTypes& other) : rows_(other.Get()) {}

EnabledMediaTypes& EnabledMediaTypes::operator=(const EnabledMediaTypes& other) {
  if (this != &other) Set(other.Get());
  return *this;
}

void EnabledMediaTypes::Set(std::vector<std::string> rows) {
  std::lock_guard lock(mutex_);
  rows_ = std::move(rows);
}

std::vector<std::string> EnabledMediaTypes::Get() const {
  std::lock_guard lock(mutex_);
  return rows_;
}

void EnabledMediaTypes::LoadAll() {
  std::vector<std::string> all(kMediaTypeTable, kMediaTypeTable + kMediaTypeCount);
  Set(std::move(all));
}

void EnabledMediaTypes::Clear() { Set({}); }

bool EnabledMediaTypes::Contains(const std::string& lowerExtension) const {
  if (lowerExtension.empty()) return false;
  std::lock_guard lock(mutex_);
  for (const std::string& row : rows_) {
    size_t at = row.find(lowerExtension);
    if (at != std::string::npos && at > 0) return true;
  }
  return false;
}

std::vector<std::string> MediaTypesForExtensions(const std::vector<std::string>& extensions,
                                                 std::vector<std::string>* unknown) {
  std::vector<bool> take(kMediaTypeCount, false);
  for (const std::string& e : extensions) {
    std::string wanted = "*." + Utf8Lower(e);
    bool found = false;
    for (int i = 0; i < kMediaTypeCount; ++i) {
      // A row lists "*.ext" followed by a blank or the opening bracket.
      std::string row = kMediaTypeTable[i];
      for (size_t at = row.find(wanted); at != std::string::npos; at = row.find(wanted, at + 1)) {
        char next = at + wanted.size() < row.size() ? row[at + wanted.size()] : '\0';
        if (next == ' ' || next == '(') {
          take[i] = true;
          found = true;
        }
      }
    }
    if (!found && unknown) unknown->push_back(e);
  }
  std::vector<std::string> rows;
  for (int i = 0; i < kMediaTypeCount; ++i)
    if (take[i]) rows.emplace_back(kMediaTypeTable[i]);
  return rows;
}
