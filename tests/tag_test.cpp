#include <gtest/gtest.h>

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
  std::string good = V2Tag(3, {Text("TIT2", "Fine"), Text("TPE1", "X")}) + AudioFrames();
  // Every truncation and a sweep of flipped bytes over the header and frames.
  for (size_t cut = 0; cut < 80; ++cut) Read(good.substr(0, cut));
  for (size_t at = 0; at < 60; ++at) {
    for (unsigned char v : {0x00, 0x7F, 0x80, 0xFF}) {
      std::string bad = good;
      bad[at] = static_cast<char>(v);
      Read(bad);
    }
  }
  SUCCEED();
}
