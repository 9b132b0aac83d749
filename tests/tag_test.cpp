#include <gtest/gtest.h>

#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/mpegfile.h>
#include <taglib/tfilestream.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "catalog/records.h"
#include "id3_builder.h"
#include "scan/genres.h"
#include "scan/tag_reader.h"
#include "testing.h"

using namespace id3;

namespace {

class Tags : public CatalogTest {
 protected:
  AudioRow Read(const std::string& bytes, const std::string& name = "Song.mp3") {
    WriteFile(dir_ / name, bytes);
    AudioRow row;
    ReadMp3Tag((dir_ / name).string(), "fallback.mp3", &row);
    return row;
  }
};

}  // namespace

TEST(Genres, TableHasTheExactNames) {
  EXPECT_STREQ(GenreName(0), "Blues");
  EXPECT_STREQ(GenreName(17), "Rock");
  EXPECT_STREQ(GenreName(81), "Folk/Rock");
  EXPECT_STREQ(GenreName(84), "Fast-Fusion");
  EXPECT_STREQ(GenreName(128), "Club House");
  EXPECT_STREQ(GenreName(133), "NegerPunk");
  EXPECT_STREQ(GenreName(136), "Christian Gangsta");
  EXPECT_STREQ(GenreName(147), "SynthPop");
  EXPECT_EQ(GenreName(148), nullptr);
  EXPECT_EQ(GenreName(-1), nullptr);
}

TEST_F(Tags, V23TagGivesLowerCaseTitleArtistAlbumAndNumberedGenre) {
  AudioRow r = Read(V2Tag(3, {Text("TIT2", "Hello WORLD"), Text("TPE1", "The Band"),
                              Text("TALB", "First"), Text("TCON", "(17)")}) + AudioFrames());
  EXPECT_EQ(r.Title, "hello world");
  EXPECT_EQ(r.TagText1, "The Band");
  EXPECT_EQ(r.TagText2, "First");
  EXPECT_EQ(r.Genre, "Rock");
  EXPECT_EQ(r.HasTag, 1);
  EXPECT_EQ(r.Filename, (dir_ / "Song.mp3").string());
}

TEST_F(Tags, GenreNumbersBeyondTheTableFallBackToTheText) {
  EXPECT_EQ(Read(V2Tag(3, {Text("TCON", "(148)Weird")}) + AudioFrames()).Genre, "Weird");
  EXPECT_EQ(Read(V2Tag(4, {Text("TCON", "Chiptune")}) + AudioFrames()).Genre, "Chiptune");
  EXPECT_EQ(Read(V2Tag(4, {Text("TCON", "84")}) + AudioFrames()).Genre, "Fast-Fusion");
  EXPECT_EQ(Read(V2Tag(3, {Text("TCON", "(200)")}) + AudioFrames()).Genre, "Others");
  // An ID3v1 byte counts when there is no ID3v2 genre.
  EXPECT_EQ(Read(AudioFrames() + V1Tag("T", "A", "B", 81)).Genre, "Folk/Rock");
  EXPECT_EQ(Read(AudioFrames() + V1Tag("T", "A", "B", 255)).Genre, "Others");
  EXPECT_EQ(Read(V2Tag(3, {Text("TCON", "Text")}) + AudioFrames() + V1Tag("", "", "", 9)).Genre,
            "Text");
}

TEST_F(Tags, NoTagGivesFallbackAndOthersButStillHasTag) {
  for (const std::string& bytes : {AudioFrames(), std::string(), std::string("ID3\x04"),
                                   std::string("ID3\x03\x00\x00\x7f\x7f\x7f\x7f", 10)}) {
    AudioRow r = Read(bytes);
    EXPECT_EQ(r.Title, "fallback.mp3");
    EXPECT_EQ(r.Genre, "Others");
    EXPECT_EQ(r.TagText1, "Others");
    EXPECT_EQ(r.TagText2, "Others");
    EXPECT_EQ(r.HasTag, 1);
  }
  AudioRow missing;
  ReadMp3Tag((dir_ / "absent.mp3").string(), "absent.mp3", &missing);
  EXPECT_EQ(missing.Title, "absent.mp3");
  EXPECT_EQ(missing.HasTag, 1);
}

TEST_F(Tags, EveryVersionAndEncodingComesOutAsUtf8) {
  const std::string cafe = "Café", japanese = "日本語";
  EXPECT_EQ(Read(V2Tag(3, {Text("TIT2", cafe, kLatin1)}) + AudioFrames()).Title, "café");
  EXPECT_EQ(Read(V2Tag(3, {Text("TIT2", cafe, kUtf16)}) + AudioFrames()).Title, "café");
  EXPECT_EQ(Read(V2Tag(4, {Text("TIT2", japanese, kUtf8)}) + AudioFrames()).Title, japanese);
  EXPECT_EQ(Read(V2Tag(4, {Text("TPE1", japanese, kUtf16BE)}) + AudioFrames()).TagText1, japanese);
  EXPECT_EQ(Read(V2Tag(4, {Text("TALB", "ÀÉÎ", kUtf16)}) + AudioFrames()).TagText2, "ÀÉÎ");
  AudioRow v22 = Read(V2Tag(2, {Text("TT2", "Old Style"), Text("TP1", "Él"), Text("TCO", "(8)")}) +
                      AudioFrames());
  EXPECT_EQ(v22.Title, "old style");
  EXPECT_EQ(v22.TagText1, "Él");
  EXPECT_EQ(v22.Genre, "Jazz");
  AudioRow v1 = Read(AudioFrames() + V1Tag("CAPITAL Café", "Artiste", "Album", 17));
  EXPECT_EQ(v1.Title, "capital café");
  EXPECT_EQ(v1.TagText1, "Artiste");
}

TEST_F(Tags, CompressedFramesAreReadUnlessTheyWouldInflateTooFar) {
  Frame small = Text("TIT2", "Packed Title");
  small.compressed = true;
  EXPECT_EQ(Read(V2Tag(3, {small}) + AudioFrames()).Title, "packed title");
  EXPECT_EQ(Read(V2Tag(4, {small}) + AudioFrames()).Title, "packed title");

  // 50 MiB of title in a few KiB of file: the frame counts as absent, the
  // rest of the tag is still read, and memory stays small.
  Frame bomb = Text("TIT2", std::string(50 << 20, 'A'));
  bomb.compressed = true;
  bomb.declaredSize = 20;  // and it lies about its size
  for (int major : {3, 4}) {
    std::string file = V2Tag(major, {bomb, Text("TPE1", "Still Here")}) + AudioFrames() +
                       V1Tag("v1 title", "", "", 13);
    ASSERT_LT(file.size(), 200u * 1024);
    AudioRow r = Read(file);
    EXPECT_EQ(r.Title, "v1 title");
    EXPECT_EQ(r.TagText1, "Still Here");
    EXPECT_EQ(r.Genre, "Pop");
    // Measured in a child, whose peak starts where ours stands now.
    pid_t pid = fork();
    if (pid == 0) {
      rusage before{}, after{};
      getrusage(RUSAGE_SELF, &before);
      AudioRow again;
      ReadMp3Tag((dir_ / "Song.mp3").string(), "f", &again);
      getrusage(RUSAGE_SELF, &after);
      _exit(after.ru_maxrss - before.ru_maxrss > 8 * 1024 ? 1 : 0);  // KiB
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "version " << major;
  }
}

TEST_F(Tags, DamagedTagsNeverCrash) {
  // A plain tag, and tags that are mended before TagLib reads them.
  Frame lengthOnly{"TENC", std::string("\0\0\0\0", 4)};
  lengthOnly.formatFlags = 0x03;
  const std::string ape = ApeTag({{"Album", "A"}});
  for (const std::string& good :
       {V2Tag(3, {Text("TIT2", "Fine"), Text("TPE1", "X")}) + AudioFrames(),
        V2Tag(3, {Frame{"TIT2", Utf16BodyWithoutBom("Fine")}, Frame{"Date", "x"}},
              std::string("\0\0\0\x06\0\0\0\0\0\0", 10)) + ape + V1Tag("t", "a", "b", 1),
        V2Tag(4, {lengthOnly, Frame{"TPE1", Utf16BodyWithoutBom("X", true)}, Frame{"TIT2", ""}},
              std::string("\0\0\0\x06\x01\0", 6)) + ape}) {
    // Every truncation and a sweep of flipped bytes over the header and frames.
    for (size_t cut = 0; cut < 80; ++cut) Read(good.substr(0, cut));
    for (size_t at = 0; at < 60; ++at) {
      for (unsigned char v : {0x00, 0x7F, 0x80, 0xFF}) {
        std::string bad = good;
        bad[at] = static_cast<char>(v);
        Read(bad);
      }
    }
    // The tags at the end, damaged from behind.
    for (size_t at = 1; at <= 60; ++at) {
      std::string bad = good;
      bad[bad.size() - at] = '\xFF';
      Read(bad);
    }
  }
  SUCCEED();
}

namespace {

// The tag every damaged variant below carries, and an ID3v1 tag that must not
// win over it.
std::vector<Frame> Song(int major) {
  if (major == 2)
    return {Text("TT2", "Mended Title"), Text("TP1", "Some Artist"), Text("TAL", "Some Album"),
            Text("TCO", "(17)")};
  return {Text("TIT2", "Mended Title"), Text("TPE1", "Some Artist"), Text("TALB", "Some Album"),
          Text("TCON", "(17)")};
}
const std::string kV1 = V1Tag("v1 title", "v1 artist", "v1 album", 13);

// Puts `frame` at position `at` of the song's frames.
std::vector<Frame> With(std::vector<Frame> frames, size_t at, const Frame& frame) {
  frames.insert(frames.begin() + static_cast<long>(at), frame);
  return frames;
}

// The damaged tag must read as its clean twin, not fall back to ID3v1.
void ExpectSameRow(const AudioRow& damaged, const AudioRow& clean) {
  EXPECT_EQ(damaged.Title, "mended title");
  EXPECT_EQ(damaged.Title, clean.Title);
  EXPECT_EQ(damaged.TagText1, clean.TagText1);
  EXPECT_EQ(damaged.TagText2, clean.TagText2);
  EXPECT_EQ(damaged.Genre, clean.Genre);
  EXPECT_EQ(clean.Genre, "Rock");
}

}  // namespace

TEST_F(Tags, ExtendedHeaderOfEveryVersionIsSkippedByItsOwnSize) {
  const std::string zero4("\0\0\0\0", 4);
  AudioRow clean3 = Read(V2Tag(3, Song(3)) + AudioFrames() + kV1);
  // 2.3: the size leaves out its own four bytes and is a plain number; six
  // bytes follow, or ten with a checksum.
  ExpectSameRow(Read(V2Tag(3, Song(3), std::string("\0\0\0\x06\0\0", 6) + zero4) +
                       AudioFrames() + kV1),
                  clean3);
  ExpectSameRow(Read(V2Tag(3, Song(3), std::string("\0\0\0\x0A\x80\0", 6) + zero4 +
                                             "\x12\x34\x56\x78") +
                       AudioFrames() + kV1),
                  clean3);
  // 2.4: a synchsafe size that counts itself.
  ExpectSameRow(Read(V2Tag(4, Song(4), std::string("\0\0\0\x06\x01\0", 6)) + AudioFrames() + kV1),
                  Read(V2Tag(4, Song(4)) + AudioFrames() + kV1));
}

TEST_F(Tags, FramesOfSizeZeroAreSkipped) {
  for (int major : {2, 3, 4}) {
    const std::string enc = major == 2 ? "TEN" : "TENC";
    AudioRow clean = Read(V2Tag(major, Song(major)) + AudioFrames() + kV1);
    for (size_t at : {0, 2, 4}) {
      SCOPED_TRACE("version " + std::to_string(major) + ", empty frame at " + std::to_string(at));
      ExpectSameRow(Read(V2Tag(major, With(Song(major), at, Frame{enc, ""})) + AudioFrames() + kV1),
                    clean);
    }
  }
  // 2.4: a frame holding only its data length counts as empty too.
  Frame lengthOnly{"TENC", std::string("\0\0\0\0", 4)};
  lengthOnly.formatFlags = 0x01;
  ExpectSameRow(Read(V2Tag(4, With(Song(4), 1, lengthOnly)) + AudioFrames() + kV1),
                  Read(V2Tag(4, Song(4)) + AudioFrames() + kV1));
}

TEST_F(Tags, FramesWithInvalidIdentifiersAreSkipped) {
  for (int major : {3, 4}) {
    AudioRow clean = Read(V2Tag(major, Song(major)) + AudioFrames() + kV1);
    for (const std::string& id : {std::string("Date"), std::string("T\xC9T2"), std::string("TI 2")}) {
      SCOPED_TRACE("version " + std::to_string(major) + ", identifier " + id);
      ExpectSameRow(Read(V2Tag(major, With(Song(major), 1, Frame{id, TextBody("2004", kLatin1)})) +
                         AudioFrames() + kV1),
                    clean);
    }
  }
  ExpectSameRow(Read(V2Tag(2, With(Song(2), 0, Frame{"Tt2", TextBody("x", kLatin1)})) +
                       AudioFrames() + kV1),
                  Read(V2Tag(2, Song(2)) + AudioFrames() + kV1));
  // A 2.2 identifier padded with a NUL in a 2.3 tag is a real frame.
  AudioRow padded = Read(V2Tag(3, {Frame{std::string("TT2\0", 4), TextBody("Short Id", kLatin1)},
                                   Text("TPE1", "Some Artist")}) +
                         AudioFrames() + kV1);
  EXPECT_EQ(padded.Title, "short id");
  EXPECT_EQ(padded.TagText1, "Some Artist");
  // A frame whose size runs past the tag ends the reading; what came before stays.
  std::string cut = V2Tag(3, With(Song(3), 2, Frame{"Date", std::string(40, 'x')}));
  cut[cut.find("Date") + 4] = '\x7F';
  AudioRow partial = Read(cut + AudioFrames() + kV1);
  EXPECT_EQ(partial.Title, "mended title");
  EXPECT_EQ(partial.TagText1, "Some Artist");
  EXPECT_EQ(partial.TagText2, "v1 album");
}

TEST_F(Tags, Utf16WithoutByteOrderMarkIsLittleEndianUnlessPlainlyBigEndian) {
  const std::string japanese = "日本語";
  for (int major : {2, 3, 4}) {
    std::vector<Frame> frames = Song(major);
    frames[0].data = Utf16BodyWithoutBom("Mended Title");
    frames[1].data = Utf16BodyWithoutBom("Some Artist", true);
    frames[2].data = Utf16BodyWithoutBom("Some Album");
    frames[3].data = Utf16BodyWithoutBom("(17)", true);
    SCOPED_TRACE("version " + std::to_string(major));
    ExpectSameRow(Read(V2Tag(major, frames) + AudioFrames() + kV1),
                  Read(V2Tag(major, Song(major)) + AudioFrames() + kV1));
  }
  // Neither order shows plainly: little-endian.
  EXPECT_EQ(Read(V2Tag(3, {Frame{"TPE1", Utf16BodyWithoutBom(japanese)}}) + AudioFrames()).TagText1,
            japanese);
  EXPECT_EQ(Read(V2Tag(3, {Frame{"TPE1", Utf16BodyWithoutBom("Café Ÿ")}}) + AudioFrames()).TagText1,
            "Café Ÿ");
  // Several values: each without a mark, or only the first with one.
  std::string second = Utf16BodyWithoutBom("Two").substr(1);
  EXPECT_EQ(Read(V2Tag(4, {Frame{"TPE1", Utf16BodyWithoutBom("One") + std::string(2, '\0') + second}}) +
                 AudioFrames())
                .TagText1,
            "One Two");
  EXPECT_EQ(Read(V2Tag(4, {Frame{"TPE1", TextBody("One", kUtf16) + std::string(2, '\0') + second}}) +
                 AudioFrames())
                .TagText1,
            "One Two");
  // A 2.4 frame stored unsynchronised with its data length: 'ÿ' is FF 00.
  std::string text = Utf16BodyWithoutBom("ÿes");
  std::string stored;
  for (char c : text) {
    stored += c;
    if (c == '\xFF') stored += '\0';
  }
  Frame unsync{"TIT2", std::string("\0\0\0", 3) + static_cast<char>(text.size()) + stored};
  unsync.formatFlags = 0x02 | 0x01;
  EXPECT_EQ(Read(V2Tag(4, {unsync}) + AudioFrames()).Title, "ÿes");
}

TEST_F(Tags, ApeTagKeepsItsPlaceWhenTheTagIsMended) {
  std::vector<Frame> frames = {Frame{"TENC", ""}, Text("TIT2", "Mended Title")};
  std::string ape = ApeTag({{"Artist", "Ape Artist"}, {"Album", "Ape Album"}});
  AudioRow r = Read(V2Tag(3, frames) + AudioFrames() + ape + kV1);
  EXPECT_EQ(r.Title, "mended title");
  EXPECT_EQ(r.TagText1, "Ape Artist");
  EXPECT_EQ(r.TagText2, "Ape Album");
  EXPECT_EQ(r.Genre, "Pop");
  // Without an ID3v1 tag behind it too.
  EXPECT_EQ(Read(V2Tag(4, frames) + AudioFrames() + ape).TagText2, "Ape Album");
}

// Tags the guard leaves alone are read from memory, not from the file a
// second time: what comes out must be what TagLib reads from the file.
TEST_F(Tags, ATagReadFromMemoryGivesWhatTagLibReadsFromTheFile) {
  std::string v24 = V2Tag(4, {Text("TIT2", "Footed"), Text("TPE1", "Band")});
  // The same tag with a footer ("3DI" and the header's other bytes).
  std::string footed = v24;
  footed[5] = static_cast<char>(footed[5] | 0x10);
  footed += "3DI" + footed.substr(3, 7);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"v22", V2Tag(2, {Text("TT2", "Two Two"), Text("TAL", "Old")}) + AudioFrames()},
      {"v23 and v1", V2Tag(3, {Text("TIT2", "Three")}) + AudioFrames(40) + V1Tag("One", "V1 Artist", "V1 Album", 17)},
      {"v24 footer", footed + AudioFrames(40) + V1Tag("", "", "Behind", 9)},
      {"v24 and ape", v24 + AudioFrames(40) + ApeTag({{"Album", "From Ape"}}) + V1Tag("", "", "", 2)},
      {"ape only", AudioFrames(40) + ApeTag({{"Title", "Ape"}, {"Artist", "Ape Band"}})},
      {"short file", V2Tag(3, {Text("TIT2", "Short")}) + V1Tag("V1", "", "", 5)},
      // Small enough for the tags at the end to lie in the file's first read.
      {"small, v23 and v1", V2Tag(3, {Text("TIT2", "Three")}) + AudioFrames(4) + V1Tag("One", "V1 Artist", "V1 Album", 17)},
      {"small, v24 and ape", v24 + AudioFrames(4) + ApeTag({{"Album", "From Ape"}}) + V1Tag("", "", "", 2)},
  };
  for (const auto& [name, bytes] : files) {
    fs::path path = dir_ / (name + ".mp3");
    WriteFile(path, bytes);
    Mp3Tag ours = ReadTagTexts(path.string());
    TagLib::FileStream stream(path.c_str(), true);
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    TagLib::Tag* theirs = file.tag();
    ASSERT_NE(theirs, nullptr) << name;
    auto text = [](const TagLib::String& s) {
      return s.isEmpty() ? std::optional<std::string>() : s.to8Bit(true);
    };
    EXPECT_EQ(ours.title, text(theirs->title())) << name;
    EXPECT_EQ(ours.text1, text(theirs->artist())) << name;
    EXPECT_EQ(ours.text2, text(theirs->album())) << name;
    int v1Genre = file.hasID3v1Tag() ? static_cast<int>(file.ID3v1Tag()->genreNumber()) : 255;
    EXPECT_EQ(ours.genreNumber, v1Genre) << name;
  }
}
