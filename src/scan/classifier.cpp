// Deciding what the catalogue takes of one file, and writing its row.
#include "catalog/database.h"
#include "catalog/records.h"
#include "catalog/statements.h"
#include "catalog/text.h"
#include "scan/folder_state.h"
#include "scan/tag_reader.h"
#include "scan/walk.h"

namespace {

enum class MediaClass { None, TaggedAudio, Audio, Video, Image };

MediaClass ClassOf(const std::string& lowerExtension) {
  static const std::pair<const char*, MediaClass> kClasses[] = {
      {".mp3", MediaClass::TaggedAudio},
      {".wav", MediaClass::Audio},   {".wma", MediaClass::Audio},  {".lpcm", MediaClass::Audio},
      {".m3u", MediaClass::Audio},   {".pls", MediaClass::Audio},  {".aif", MediaClass::Audio},
      {".aiff", MediaClass::Audio},  {".mpa", MediaClass::Audio},  {".mp1", MediaClass::Audio},
      {".mp2", MediaClass::Audio},
      {".mpeg2", MediaClass::Video}, {".mpg", MediaClass::Video},  {".mpeg", MediaClass::Video},
      {".vob", MediaClass::Video},   {".dat", MediaClass::Video},  {".mp4", MediaClass::Video},
      {".avi", MediaClass::Video},
      {".jpg", MediaClass::Image},   {".jpe", MediaClass::Image},  {".jpeg", MediaClass::Image},
      {".gif", MediaClass::Image},   {".bmp", MediaClass::Image},  {".tif", MediaClass::Image},
      {".tiff", MediaClass::Image},  {".png", MediaClass::Image},  {".jp2", MediaClass::Image},
      {".jpc", MediaClass::Image},   {".j2k", MediaClass::Image},
  };
  for (const auto& [ext, cls] : kClasses)
    if (lowerExtension == ext) return cls;
  return MediaClass::None;
}

// A row of a file whose name is all we know of it: the other fields keep
// their defaults (0 and "Others").
template <typename Row>
Row PlainRow(const std::string& title, const std::string& dir, const std::string& fullPath,
             const std::string& root) {
  Row row;
  row.Title = title;
  row.ParentDir = dir;
  row.Filename = fullPath;
  row.SharedRoot = root;
  return row;
}

}  // namespace

bool IsMediaName(const std::string& fileName) {
  return ClassOf(Utf8Lower(GetExtension(fileName))) != MediaClass::None;
}

bool TakesFile(const EnabledMediaTypes& types, const std::string& fileName) {
  const std::string extension = Utf8Lower(GetExtension(fileName));
  return types.Contains(extension) && ClassOf(extension) != MediaClass::None;
}

namespace {

// The extension as GetExtension gives it, lowered: no copy of the whole name.
std::string LowerExtension(std::string_view fileName) {
  const size_t dot = fileName.rfind('.');
  return Utf8Lower(dot == std::string_view::npos ? fileName : fileName.substr(dot));
}

}  // namespace

bool RowReadsContents(std::string_view fileName) {
  return ClassOf(LowerExtension(fileName)) == MediaClass::TaggedAudio;
}

NameTraits TraitsOf(const EnabledMediaTypes& types, std::string_view fileName) {
  const std::string extension = LowerExtension(fileName);
  const MediaClass cls = ClassOf(extension);
  NameTraits traits;
  traits.taken = cls != MediaClass::None && types.Contains(extension);
  traits.readsContents = cls == MediaClass::TaggedAudio;
  traits.playlistImage = IsPlaylistImageExtension(extension);
  return traits;
}

NameTraits NameTraitsCache::Of(std::string_view fileName) {
  // The traits depend on the extension alone, lowered; the same bytes lower
  // alike. A name without an extension is looked at whole, as TraitsOf does.
  constexpr size_t kLongest = 16, kMost = 32;
  const size_t dot = fileName.rfind('.');
  const std::string_view extension =
      dot == std::string_view::npos ? fileName : fileName.substr(dot);
  if (extension.size() > kLongest) return TraitsOf(types_, fileName);
  for (const auto& [seen, traits] : known_)
    if (seen == extension) return traits;
  const NameTraits traits = TraitsOf(types_, fileName);
  if (known_.size() < kMost) known_.emplace_back(extension, traits);
  return traits;
}

ClassifiedFile ReadForRow(const EnabledMediaTypes& types, const std::string& folder,
                          const std::string& root, const std::string& fileName) {
  ClassifiedFile file;
  const std::string title = Utf8Lower(fileName);
  const std::string dir = WithSlash(folder);
  const std::string fullPath = dir + fileName;
  const std::string extension = Utf8Lower(GetExtension(fileName));
  if (!types.Contains(extension)) return file;
  const MediaClass cls = ClassOf(extension);
  if (cls == MediaClass::None) return file;
  file.path = fullPath;
  file.root = root;
  // A tagged file's stamp is taken by the tag reader from the file it opens,
  // before it reads the tag: should the file change meanwhile, the next
  // catch-up sees a difference and reads it again.
  switch (cls) {
    case MediaClass::None:
      break;
    case MediaClass::TaggedAudio: {
      AudioRow row;
      row.ParentDir = dir;
      row.SharedRoot = root;
      if (ReadMp3Tag(fullPath, title, &row, &file.stamp)) file.row = std::move(row);
      if (!file.stamp) file.stamp = StampOfFile(fullPath);
      break;
    }
    case MediaClass::Audio:
      file.row = PlainRow<AudioRow>(title, dir, fullPath, root);
      break;
    case MediaClass::Video:
      file.row = PlainRow<VideoRow>(title, dir, fullPath, root);
      break;
    case MediaClass::Image:
      file.row = PlainRow<ImageRow>(title, dir, fullPath, root);
      break;
  }
  return file;
}

void WriteRow(SqliteDatabase* db, const ClassifiedFile& file) {
  if (const auto* audio = std::get_if<AudioRow>(&file.row)) InsertAudioRow(db, *audio);
  else if (const auto* video = std::get_if<VideoRow>(&file.row)) InsertVideoRow(db, *video);
  else if (const auto* image = std::get_if<ImageRow>(&file.row)) InsertImageRow(db, *image);
  if (file.path.empty()) return;
  if (file.stamp) WriteFileStamp(db, file.path, file.root, *file.stamp);
}

int ClassifyFile(SqliteDatabase* db, const EnabledMediaTypes& types, const std::string& folder,
                 const std::string& root, const std::string& fileName) {
  WriteRow(db, ReadForRow(types, folder, root, fileName));
  return 1;
}
