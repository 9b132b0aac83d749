// The published tree and the ContentDirectory's answers, without a network.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "server/content.h"
#include "server/content_source.h"
#include "server/directory.h"
#include "server/media_info.h"
#include "server/cover_art.h"
#include "server/media_probe.h"
#include "id3_builder.h"
#include "testing.h"

namespace {

CatalogueRows::Media Song(const std::string& path, const std::string& title,
                          const std::string& artist = "Others", const std::string& album = "Others",
                          const std::string& genre = "Others") {
  std::string dir = path.substr(0, path.rfind('/') + 1);
  return {MediaKind::Audio, title, genre, artist, album, dir, path, "/m/"};
}

int Count(const std::string& didl, const std::string& what) {
  int n = 0;
  for (size_t p = 0; (p = didl.find(what, p)) != std::string::npos; ++p) ++n;
  return n;
}

std::vector<std::string> Ids(const std::string& didl) {
  std::vector<std::string> out;
  std::regex id("<(?:item|container) id=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(didl.begin(), didl.end(), id); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1]);
  return out;
}

PagingArgs Page(const std::string& start, const std::string& count, const std::string& sort = "") {
  return {start, count, sort};
}

}  // namespace

TEST(Content, IdentifiersComeFromPathsAndSurviveAnotherRowOrder) {
  CatalogueRows a, b;
  a.media = {Song("/m/x/one.mp3", "one"), Song("/m/x/two.mp3", "two")};
  b.media = {Song("/m/x/two.mp3", "two"), Song("/m/x/one.mp3", "one"), Song("/m/x/one.mp3", "one")};
  auto ta = Content::Build(a, {}, false), tb = Content::Build(b, {}, false);
  DirectoryAnswer ra = Browse(*ta, "http://h:1", "music/all", "BrowseDirectChildren", Page("0", "0"));
  DirectoryAnswer rb = Browse(*tb, "http://h:1", "music/all", "BrowseDirectChildren", Page("0", "0"));
  EXPECT_EQ(Ids(ra.result), Ids(rb.result));
  EXPECT_EQ(rb.total, 2u);  // a doubled row is one item
  ASSERT_EQ(Ids(ra.result).size(), 2u);
  for (const std::string& id : Ids(ra.result)) EXPECT_EQ(id.find("/m/x"), std::string::npos) << id;
  EXPECT_EQ(Ids(ra.result)[0], "music/all:" + PathHash("/m/x/one.mp3"));
  EXPECT_NE(ra.result.find("http://h:1/media/" + PathHash("/m/x/one.mp3") + ".mp3"), std::string::npos);
  EXPECT_TRUE(ta->ChangedContainers(*tb).empty());
}

TEST(Content, PagesAreExactAndBadPagingIsRefused) {
  CatalogueRows rows;
  for (int i = 0; i < 25; ++i) {
    char name[32];
    snprintf(name, sizeof name, "t%02d", i);
    rows.media.push_back(Song(std::string("/m/") + name + ".mp3", name));
  }
  auto t = Content::Build(rows, {}, false);
  DirectoryAnswer all = Browse(*t, "", "music/all", "BrowseDirectChildren", Page("0", "0"));
  std::vector<std::string> ids = Ids(all.result);
  ASSERT_EQ(ids.size(), 25u);
  std::vector<std::string> paged;
  for (unsigned start = 0; start < 25; start += 7) {
    DirectoryAnswer p = Browse(*t, "", "music/all", "BrowseDirectChildren",
                               Page(std::to_string(start), "7"));
    EXPECT_EQ(p.total, 25u);
    EXPECT_EQ(p.returned, std::min(7u, 25 - start));
    for (auto& id : Ids(p.result)) paged.push_back(id);
  }
  EXPECT_EQ(paged, ids);
  DirectoryAnswer one = Browse(*t, "", "music/all", "BrowseDirectChildren", Page("24", "1"));
  EXPECT_EQ(Ids(one.result), std::vector<std::string>{ids[24]});
  EXPECT_EQ(Browse(*t, "", "music/all", "BrowseDirectChildren", Page("25", "10")).returned, 0u);
  for (auto [s, c] : {std::pair{"-1", "1"}, {"1", "-1"}, {"x", "1"}, {"4294967296", "1"}, {"", "1"}})
    EXPECT_EQ(Browse(*t, "", "music/all", "BrowseDirectChildren", Page(s, c)).error, 402) << s << c;
  EXPECT_EQ(Browse(*t, "", "music/all", "Browse", Page("0", "1")).error, 402);
  EXPECT_EQ(Browse(*t, "", "nothing", "BrowseDirectChildren", Page("0", "1")).error, 701);
  // An item only under the container that holds it.
  EXPECT_EQ(Browse(*t, "", "video/all:" + PathHash("/m/t01.mp3"), "BrowseMetadata", Page("0", "0")).error,
            701);
  DirectoryAnswer meta =
      Browse(*t, "", "music/all:" + PathHash("/m/t01.mp3"), "BrowseMetadata", Page("0", "0"));
  EXPECT_EQ(meta.error, 0);
  EXPECT_NE(meta.result.find("parentID=\"music/all\""), std::string::npos);
  EXPECT_EQ(Browse(*t, "", "music/all:" + PathHash("/m/t01.mp3"), "BrowseDirectChildren",
                   Page("0", "0")).error, 710);
  // Sorting on the capabilities, and only on them.
  DirectoryAnswer down = Browse(*t, "", "music/all", "BrowseDirectChildren", Page("0", "3", "-dc:title"));
  EXPECT_EQ(Ids(down.result), (std::vector<std::string>{ids[24], ids[23], ids[22]}));
  EXPECT_EQ(Browse(*t, "", "music/all", "BrowseDirectChildren", Page("0", "3", "+dc:date")).error, 709);
}

TEST(Content, TheTreeOffersMusicVideoPicturesAndFoldersByTheirViews) {
  CatalogueRows rows;
  rows.media = {Song("/s/a/x.mp3", "x", "Ann", "First", "Jazz"), Song("/s/a/b/y.mp3", "y", "Bob"),
                {MediaKind::Video, "v.mpg", "Others", "Others", "Others", "/s/a/", "/s/a/v.mpg", "/s/"},
                {MediaKind::Image, "p.jpg", "Others", "", "", "/s/a/", "/s/a/p.jpg", "/s/"},
                {MediaKind::Image, "q.jpg", "Others", "", "", "/s/a/", "/s/a/q.jpg", "/s/"}};
  rows.folders = {{"Everything", "/s/", 0}, {"Only audio", "/s/a/b/", 2}};
  auto t = Content::Build(rows, {}, false);
  auto kids = [&](const std::string& id) {
    return Browse(*t, "", id, "BrowseDirectChildren", Page("0", "0")).result;
  };
  EXPECT_EQ(Count(kids("music/artist"), "<container "), 2);
  EXPECT_NE(kids("music/artist").find(">Ann<"), std::string::npos);
  EXPECT_NE(kids("music/album").find(">Unknown<"), std::string::npos);  // "Others" is no album
  EXPECT_EQ(Count(kids("video/all"), "<item "), 1);
  EXPECT_NE(kids("video/all").find("video/mpeg"), std::string::npos);
  EXPECT_EQ(Count(kids("pictures/all"), "<item "), 2);
  std::string folders = kids("folders");
  EXPECT_NE(folders.find(">Everything<"), std::string::npos);
  std::string everything = kids("folders/" + PathHash("/s/"));
  EXPECT_EQ(Count(everything, "<container "), 1);  // a/
  std::string a = kids("folders/" + PathHash("/s/") + "/" + PathHash("/s/a/"));
  EXPECT_EQ(Count(a, "<container "), 1);  // b/
  EXPECT_EQ(Count(a, "<item "), 4);       // x, v, p, q
  std::string flat = kids("folders/" + PathHash("/s/a/b/"));
  EXPECT_EQ(Count(flat, "<item "), 1);
  EXPECT_EQ(Count(flat, "<container "), 0);
}

TEST(Content, PictureFoldersFollowTheirSlideshowPlaylist) {
  fs::path dir = fs::temp_directory_path() / ("tarvel-pics-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string d = dir.string() + "/";
  WriteFile(dir / "JpgPlaylist.sls", "c.jpg\r\na.jpg\r\n");
  CatalogueRows rows;
  for (std::string n : {"a.jpg", "b.jpg", "c.jpg"})
    rows.media.push_back({MediaKind::Image, n, "Others", "", "", d, d + n, d});
  auto t = Content::Build(rows, {}, false);
  std::string page =
      Browse(*t, "", "pictures/folder/" + PathHash(d), "BrowseDirectChildren", Page("0", "0")).result;
  EXPECT_LT(page.find(">c.jpg<"), page.find(">a.jpg<"));
  EXPECT_LT(page.find(">a.jpg<"), page.find(">b.jpg<"));  // not in the playlist: last
  // Asked for title order, they get it.
  page = Browse(*t, "", "pictures/folder/" + PathHash(d), "BrowseDirectChildren", Page("0", "0", "+dc:title"))
             .result;
  EXPECT_LT(page.find(">a.jpg<"), page.find(">b.jpg<"));
  EXPECT_LT(page.find(">b.jpg<"), page.find(">c.jpg<"));
  fs::remove_all(dir);
}

TEST(Content, TextIsValidXmlEscapedOnce) {
  EXPECT_EQ(XmlEscape("a&b<c>\"'"), "a&amp;b&lt;c&gt;&quot;&apos;");
  EXPECT_EQ(XmlEscape("&amp;"), "&amp;amp;");
  EXPECT_EQ(XmlEscape(std::string("x\x01y\x1f\tz", 6)), "xy\tz");
  EXPECT_EQ(XmlEscape("caf\xc3\xa9 \xe6\x97\xa5"), "caf\xc3\xa9 \xe6\x97\xa5");
  EXPECT_EQ(XmlEscape("bad\xff\xc3"), "bad\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(XmlEscape("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");  // a surrogate
  CatalogueRows rows;
  rows.media = {Song("/m/\xff<&>.mp3", "t<&>\x02")};
  auto t = Content::Build(rows, {}, false);
  std::string didl = Browse(*t, "", "music/all", "BrowseDirectChildren", Page("0", "0")).result;
  EXPECT_NE(didl.find("<dc:title>t&lt;&amp;&gt;</dc:title>"), std::string::npos) << didl;
  EXPECT_EQ(didl.find("<?xml"), std::string::npos);
}

TEST(Content, SearchEvaluatesAndBeforeOr) {
  CatalogueRows rows;
  rows.media = {Song("/m/a.mp3", "alpha", "Ann", "One", "Jazz"), Song("/m/b.mp3", "beta", "Bob", "Two", "Rock"),
                {MediaKind::Video, "gamma", "Others", "Others", "Others", "/m/", "/m/g.mpg", "/m/"}};
  auto t = Content::Build(rows, {}, false);
  using T = SearchToken;
  auto expr = [](const char* p, T::Op op, const char* v) { return T{T::Expression, p, op, v}; };
  auto total = [&](std::vector<T> tokens) {
    return Search(*t, "", "0", tokens, Page("0", "0")).total;
  };
  EXPECT_EQ(total({}), 3u);
  EXPECT_EQ(total({expr("upnp:class", T::DerivedFrom, "object.item.audioItem")}), 2u);
  EXPECT_EQ(total({expr("upnp:class", T::DerivedFrom, "object.item.audio")}), 0u);
  EXPECT_EQ(total({expr("dc:title", T::Contains, "ET")}), 1u);
  EXPECT_EQ(total({expr("@refID", T::Exists, "false")}), 3u);
  // a or b and c  ==  a or (b and c)
  EXPECT_EQ(total({expr("dc:title", T::Eq, "gamma"), {T::Or}, expr("upnp:artist", T::Eq, "ann"),
                   {T::And}, expr("upnp:genre", T::Eq, "rock")}), 1u);
  EXPECT_EQ(total({{T::Open}, expr("dc:title", T::Eq, "gamma"), {T::Or},
                   expr("upnp:artist", T::Eq, "ann"), {T::Close}, {T::And},
                   expr("upnp:class", T::DerivedFrom, "object.item.videoItem")}), 1u);
  EXPECT_EQ(Search(*t, "", "0", {{T::Open}, expr("dc:title", T::Eq, "x")}, Page("0", "0")).error, 708);
  EXPECT_EQ(Search(*t, "", "video", {expr("dc:title", T::Contains, "a")}, Page("0", "0")).total, 1u);
}

TEST(Content, SearchDepthIsBoundedBeforeAnythingRecurses) {
  CatalogueRows rows;
  rows.media = {Song("/m/a.mp3", "alpha", "Ann", "One", "Jazz")};
  auto t = Content::Build(rows, {}, false);
  using T = SearchToken;
  auto nested = [](size_t depth) {
    std::vector<T> tokens(depth, T{T::Open});
    tokens.push_back(T{T::Expression, "dc:title", T::Eq, "alpha"});
    tokens.insert(tokens.end(), depth, T{T::Close});
    return tokens;
  };
  EXPECT_EQ(Search(*t, "", "0", nested(kMaxSearchDepth), Page("0", "0")).total, 1u);
  EXPECT_EQ(Search(*t, "", "0", nested(kMaxSearchDepth + 1), Page("0", "0")).error, 708);
  EXPECT_EQ(Search(*t, "", "0", nested(200000), Page("0", "0")).error, 708);
  // The text is judged the same way before the parser sees it.
  EXPECT_TRUE(SearchCriteriaFit("(dc:title = \"a)\" or (upnp:genre = \"(\\\"\"))"));
  EXPECT_FALSE(SearchCriteriaFit("dc:title = \"a\")"));
  EXPECT_FALSE(SearchCriteriaFit(")dc:title = \"a\"("));
  EXPECT_FALSE(SearchCriteriaFit("dc:title = \"a"));
  EXPECT_FALSE(SearchCriteriaFit(std::string(kMaxSearchDepth + 1, '(') + "x" +
                                 std::string(kMaxSearchDepth + 1, ')')));
  EXPECT_FALSE(SearchCriteriaFit("dc:title = \"" + std::string(kMaxSearchCriteria, 'a') + "\""));
}

TEST(Content, StationFilesGiveOneItemPerStream) {
  fs::path dir = fs::temp_directory_path() / ("tarvel-radio-" + std::to_string(getpid()));
  fs::create_directories(dir);
  WriteFile(dir / "Two.pls", "[playlist]\r\nFile2=http://b.example/2\r\nFile1=http://a.example/1\r\n"
                             "Title1=Hi\r\nNumberOfEntries=2\r\n");
  WriteFile(dir / "None.pls", "[playlist]\nNumberOfEntries=0\n");
  WriteFile(dir / "Bad.pls", "File1=javascript:alert(1)\nFile2=/etc/passwd\n");
  WriteFile(dir / "notes.txt", "File1=http://c.example/\n");
  std::vector<Station> stations = ReadStations(dir.string());
  ASSERT_EQ(stations.size(), 1u);
  EXPECT_EQ(stations[0].title, "Two");
  ASSERT_EQ(stations[0].streams.size(), 2u);
  EXPECT_EQ(stations[0].streams[0].second, "http://a.example/1");
  auto t = Content::Build({}, stations, false);
  DirectoryAnswer radio = Browse(*t, "", "radio", "BrowseDirectChildren", Page("0", "0"));
  EXPECT_EQ(radio.total, 2u);
  EXPECT_NE(radio.result.find(">http://b.example/2</res>"), std::string::npos);
  // A broadcast is never a file to serve.
  for (const MediaFile& f : t->Files()) EXPECT_EQ(t->FindFile(f.hash), nullptr);
  fs::remove_all(dir);
}

TEST(Content, CatalogueReadingSaysWhatIsWrong) {
  fs::path dir = fs::temp_directory_path() / ("tarvel-cat-" + std::to_string(getpid()));
  fs::create_directories(dir);
  CatalogueRows rows;
  std::string error;
  EXPECT_FALSE(ReadCatalogue((dir / "missing.sqlite").string(), &rows, &error));
  EXPECT_NE(error.find("no catalogue"), std::string::npos);
  WriteFile(dir / "junk.sqlite", std::string(4096, 'j'));
  EXPECT_FALSE(ReadCatalogue((dir / "junk.sqlite").string(), &rows, &error));
  EXPECT_FALSE(error.empty());
  fs::remove_all(dir);
}

namespace {

std::string Le(uint32_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}
std::string Be(uint64_t v, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}
// 128 kbit/s MPEG-1 layer III at 44.1 kHz: 417-byte frames.
std::string Mp3Frame() { return std::string("\xff\xfb\x90\x00", 4) + std::string(413, '\0'); }

int Seconds(const MediaInfo& info) { return info.millis < 0 ? -1 : static_cast<int>(info.millis / 1000); }

class MediaFiles : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  MediaInfo Info(const std::string& name, const std::string& bytes) {
    WriteFile(dir_ / name, bytes);
    std::string ext = fs::path(name).extension().string();
    MediaKind kind = ext == ".jpg" || ext == ".jpeg" ? MediaKind::Image
                     : ext == ".avi" || ext == ".mp4" || ext == ".mpg" || ext == ".vob"
                         ? MediaKind::Video
                         : MediaKind::Audio;
    return ProbeMedia((dir_ / name).string(), fs::canonical(dir_).string(), kind);
  }
  fs::path dir_ = fs::temp_directory_path() / ("tarvel-info-" + std::to_string(getpid()));
};

}  // namespace

TEST_F(MediaFiles, AudioDurationsComeFromTheFilesHeaders) {
  // 10 s of constant rate is 160000 bytes, after a tag.
  std::string cbr;
  while (cbr.size() < 160000) cbr += Mp3Frame();
  EXPECT_EQ(Seconds(Info("cbr.mp3", std::string("ID3\x03\x00\x00\x00\x00\x00\x0a", 10) + std::string(10, '\0') + cbr)),
            static_cast<int>(cbr.size() * 8 / 128000));
  // A Xing header tells the frame count: 1000 frames of 1152 samples = 26 s.
  std::string vbr = Mp3Frame();
  memcpy(&vbr[4 + 32], "Xing\x00\x00\x00\x01\x00\x00\x03\xe8", 12);
  EXPECT_EQ(Seconds(Info("vbr.mp3", vbr + Mp3Frame() + Mp3Frame())), 1000 * 1152 / 44100);
  // WAV: 2 s of 16-bit stereo at 8 kHz.
  std::string wav("RIFF\x24\x7d\x00\x00WAVEfmt ", 16);
  wav += std::string("\x10\x00\x00\x00\x01\x00\x02\x00\x40\x1f\x00\x00\x00\x7d\x00\x00\x04\x00\x10\x00", 20);
  wav += std::string("data\x00\xfa\x00\x00", 8) + std::string(64000, '\0');
  EXPECT_EQ(Seconds(Info("two.wav", wav)), 2);
  // AIFF (read by TagLib): 24000 frames of 16-bit mono at 8 kHz = 3 s.
  std::string comm = std::string("COMM", 4) + Be(18, 4) + Be(1, 2) + Be(24000, 4) + Be(16, 2) +
                     std::string("\x40\x0b\xfa\x00\x00\x00\x00\x00\x00\x00", 10);
  std::string ssnd = std::string("SSND", 4) + Be(8 + 48000, 4) + Be(0, 8) + std::string(48000, '\0');
  std::string aiff = "AIFF" + comm + ssnd;
  EXPECT_EQ(Seconds(Info("three.aiff", "FORM" + Be(aiff.size(), 4) + aiff)), 3);
  // Noise, and an AIFF that is not one, have no duration.
  EXPECT_EQ(Seconds(Info("noise.mp3", std::string(5000, 'n'))), -1);
  EXPECT_EQ(Seconds(Info("noise.aif", std::string(5000, 'n'))), -1);
}

TEST_F(MediaFiles, VideoDurationsComeFromTheContainers) {
  // AVI: a 320 x 240 video stream of 25 frames a second, 250 frames in the
  // main header; the stream's own header counts the frames of the whole file
  // (1500: 60 s), where the main one stops at the first 1 GB (OpenDML).
  auto avih = [](uint32_t frames) {
    return "avih" + Le(56, 4) + Le(40000, 4) + Le(0, 4) + Le(0, 4) + Le(0x10, 4) + Le(frames, 4) +
           Le(0, 4) + Le(1, 4) + Le(0, 4) + Le(320, 4) + Le(240, 4) + std::string(16, '\0');
  };
  auto strl = [](uint32_t frames) {
    std::string strh = "strh" + Le(56, 4) + "vidsMJPG" + Le(0, 4) + Le(0, 4) + Le(0, 4) + Le(1, 4) +
                       Le(25, 4) + Le(0, 4) + Le(frames, 4) + Le(0, 4) + Le(0, 4) + Le(0, 4) +
                       std::string(8, '\0');
    std::string strf = "strf" + Le(40, 4) + Le(40, 4) + Le(320, 4) + Le(240, 4) + Le(1, 2) +
                       Le(24, 2) + "MJPG" + std::string(20, '\0');
    return "LIST" + Le(4 + strh.size() + strf.size(), 4) + "strl" + strh + strf;
  };
  std::string odml = "LIST" + Le(4 + 8 + 248, 4) + "odml" + "dmlh" + Le(248, 4) + Le(1500, 4) +
                     std::string(244, '\0');
  auto avi = [](const std::string& headers) {
    std::string hdrl = "LIST" + Le(4 + headers.size(), 4) + "hdrl" + headers;
    std::string movi = "LIST" + Le(4 + 16, 4) + "movi" + std::string(16, '\0');
    return "RIFF" + Le(4 + hdrl.size() + movi.size(), 4) + "AVI " + hdrl + movi;
  };
  MediaInfo shortAvi = Info("short.avi", avi(avih(250) + strl(250)));
  EXPECT_EQ(Seconds(shortAvi), 10);
  EXPECT_EQ(shortAvi.width, 320);
  EXPECT_EQ(shortAvi.height, 240);
  EXPECT_EQ(Seconds(Info("long.avi", avi(avih(250) + strl(1500) + odml))), 60);
  // MP4: the movie header after the media data, as cameras write it:
  // 90500 units of 1/1000 s; version 1 with 64-bit fields too.
  std::string ftyp = Be(16, 4) + "ftypisom" + Be(0, 4);
  std::string mdat = Be(8 + 1000, 4) + "mdat" + std::string(1000, '\0');
  std::string mvhd0 = Be(8 + 100, 4) + "mvhd" + Be(0, 4) + Be(0, 4) + Be(0, 4) + Be(1000, 4) + Be(90500, 4) +
                      std::string(80, '\0');
  std::string mvhd1 = Be(8 + 112, 4) + "mvhd" + Be(1u << 24, 4) + Be(0, 8) + Be(0, 8) + Be(600, 4) +
                      Be(600ull * 7200, 8) + std::string(80, '\0');
  std::string trak = Be(8 + 8, 4) + "trak" + std::string(8, '\0');
  EXPECT_EQ(Seconds(Info("clip.mp4", ftyp + mdat + Be(8 + mvhd0.size() + trak.size(), 4) + "moov" + trak + mvhd0)),
            90);
  EXPECT_EQ(Seconds(Info("film.mp4", ftyp + Be(8 + mvhd1.size(), 4) + "moov" + mvhd1 + mdat)), 7200);
  // A movie box cut short still tells what its header holds; noise tells nothing.
  EXPECT_EQ(Seconds(Info("cut.mp4", ftyp + Be(1u << 30, 4) + "moov" + mvhd0)), 90);
  EXPECT_EQ(Seconds(Info("noise.mp4", std::string(5000, 'n'))), -1);
  EXPECT_EQ(Seconds(Info("noise.avi", std::string(5000, 'n'))), -1);
  // MPEG program stream: the clock of the last pack less that of the first;
  // a start code whose marker bits are wrong is not a pack.
  auto pack = [](uint64_t seconds) {
    uint64_t scr = seconds * 90000;
    std::string p("\x00\x00\x01\xba", 4);
    p += static_cast<char>(0x44 | ((scr >> 30) & 7) << 3 | ((scr >> 28) & 3));
    p += static_cast<char>((scr >> 20) & 0xFF);
    p += static_cast<char>(((scr >> 15) & 0x1F) << 3 | 0x04 | ((scr >> 13) & 3));
    p += static_cast<char>((scr >> 5) & 0xFF);
    p += static_cast<char>((scr & 0x1F) << 3 | 0x04);
    return p + std::string("\x01\x01\x89\xc3\xf8", 5);
  };
  // Each pack carries an MP3 frame stamped with the pack's time.
  auto audio = [&](uint64_t seconds) {
    uint64_t pts = seconds * 90000;
    std::string pes("\x00\x00\x01\xc0", 4);
    std::string frame = Mp3Frame();
    pes += Be(3 + 5 + frame.size(), 2) + std::string("\x81\x80\x05", 3);
    pes += static_cast<char>(0x21 | ((pts >> 29) & 0x0E));
    pes += static_cast<char>((pts >> 22) & 0xFF);
    pes += static_cast<char>(((pts >> 14) & 0xFE) | 1);
    pes += static_cast<char>((pts >> 7) & 0xFF);
    pes += static_cast<char>(((pts << 1) & 0xFE) | 1);
    return pack(seconds) + pes + frame;
  };
  std::string filler(300000, '\xff');
  std::string fake("\x00\x00\x01\xba\x00\x00\x00\x00\x00\x00", 10);
  MediaInfo film = Info("film.mpg", audio(10) + filler + audio(130) + fake + filler.substr(0, 1000));
  EXPECT_EQ(Seconds(film), 120);
  EXPECT_EQ(film.sampleRate, 44100);
  // Streams joined end to end: the clock runs backwards, and no time is better than a wrong one.
  EXPECT_EQ(Seconds(Info("joined.vob", audio(130) + filler + audio(10))), -1);
}

TEST_F(MediaFiles, ProfilesAreNamedOnlyWhenTheFileFitsThem) {
  // MPEG-1 layer III, its first frame header confirmed by the next: MP3.
  std::string mp3;
  for (int i = 0; i < 20; ++i) mp3 += Mp3Frame();
  EXPECT_STREQ(Info("song.mp3", mp3).profile, "MP3");
  // MPEG-2 layer III (22.05 kHz) is not the MP3 profile, nor is a lone
  // header in noise, nor layer II.
  std::string lsf;
  // (80 kbit/s at 22.05 kHz: 261-byte frames)
  for (int i = 0; i < 200; ++i) lsf += std::string("\xff\xf3\x90\x00", 4) + std::string(257, '\0');
  EXPECT_EQ(Info("lsf.mp3", lsf).profile, nullptr);
  EXPECT_GT(Seconds(Info("lsf.mp3", lsf)), 0);
  EXPECT_EQ(Info("lone.mp3", Mp3Frame() + std::string(5000, 'n')).profile, nullptr);
  std::string layer2;
  for (int i = 0; i < 20; ++i) layer2 += std::string("\xff\xfd\x90\x00", 4) + std::string(413, '\0');
  EXPECT_EQ(Info("layer2.mp2", layer2).profile, nullptr);
  // JPEG by the size in its frame header, past an Exif segment.
  auto jpeg = [](int sof, int precision, int width, int height, int components) {
    std::string exif = "\xff\xe1" + Be(2 + 3000, 2) + std::string(3000, 'x');
    std::string frame = std::string("\xff", 1) + static_cast<char>(sof) + Be(8 + 3 * components, 2) +
                        static_cast<char>(precision) + Be(height, 2) + Be(width, 2) +
                        static_cast<char>(components) + std::string(3 * components, '\x11');
    return std::string("\xff\xd8", 2) + exif + frame + "\xff\xda" + Be(8, 2) + std::string(100, 'd');
  };
  EXPECT_STREQ(Info("sm.jpg", jpeg(0xC0, 8, 640, 480, 3)).profile, "JPEG_SM");
  EXPECT_STREQ(Info("grey.jpg", jpeg(0xC0, 8, 300, 200, 1)).profile, "JPEG_SM");
  EXPECT_STREQ(Info("med.jpg", jpeg(0xC0, 8, 641, 480, 3)).profile, "JPEG_MED");
  EXPECT_STREQ(Info("portrait.jpeg", jpeg(0xC0, 8, 480, 640, 3)).profile, "JPEG_MED");
  EXPECT_STREQ(Info("lrg.jpg", jpeg(0xC0, 8, 4000, 3000, 3)).profile, "JPEG_LRG");
  EXPECT_EQ(Info("huge.jpg", jpeg(0xC0, 8, 5000, 3000, 3)).profile, nullptr);
  EXPECT_EQ(Info("progressive.jpg", jpeg(0xC2, 8, 800, 600, 3)).profile, nullptr);
  EXPECT_EQ(Info("deep.jpg", jpeg(0xC0, 12, 800, 600, 3)).profile, nullptr);
  EXPECT_EQ(Info("cmyk.jpg", jpeg(0xC0, 8, 800, 600, 4)).profile, nullptr);
  EXPECT_EQ(Info("cut.jpg", jpeg(0xC0, 8, 800, 600, 3).substr(0, 1000)).profile, nullptr);
  // The profile reaches the protocolInfo, first in its fourth field, and the duration the res.
  CatalogueRows rows;
  rows.media = {Song((dir_ / "song.mp3").string(), "song")};
  rows.media[0].root = dir_.string();
  auto t = Content::Build(rows, {});
  MediaInfoCache cache;
  cache.Prepare(*t);
  const MediaFile& f = t->Files()[0];
  ASSERT_TRUE(Eventually([&] { return cache.Get(f).profile != nullptr; }));
  DirectoryAnswer a = Browse(*t, "http://h:1", "music/all", "BrowseDirectChildren", Page("0", "0"),
                             [&](const MediaFile& m) { return cache.Get(m); });
  EXPECT_NE(a.result.find("protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;"),
            std::string::npos) << a.result;
  // 20 frames of 1152 samples at 44.1 kHz: 0.522 s, read from a 128 kbit/s stream.
  EXPECT_NE(a.result.find(" duration=\"0:00:00.52"), std::string::npos) << a.result;
  EXPECT_NE(a.result.find(" bitrate=\"16000\" sampleFrequency=\"44100\" nrAudioChannels=\"2\">"),
            std::string::npos) << a.result;
}

TEST_F(MediaFiles, ReadsStayInsideTheShareAndWithinTheirTime) {
  std::string mp3;
  for (int i = 0; i < 100; ++i) mp3 += Mp3Frame();
  WriteFile(dir_ / "share" / "song.mp3", mp3);
  WriteFile(dir_ / "outside" / "secret.mp3", mp3);
  fs::create_symlink(dir_ / "outside" / "secret.mp3", dir_ / "share" / "link.mp3");
  std::string root = fs::canonical(dir_ / "share").string();
  EXPECT_EQ(Seconds(ProbeMedia((dir_ / "share" / "song.mp3").string(), root, MediaKind::Audio)), 2);
  // A link out of the share is not followed, whatever the catalogue says.
  MediaInfo linked = ProbeMedia((dir_ / "share" / "link.mp3").string(), root, MediaKind::Audio);
  EXPECT_EQ(linked.millis, -1);
  EXPECT_EQ(linked.sampleRate, 0);
  // A read that outlasts its time gives up with nothing.
  ProbeLimits hurried;
  hurried.timeout = std::chrono::milliseconds(0);
  EXPECT_EQ(ProbeMedia((dir_ / "share" / "song.mp3").string(), root, MediaKind::Audio, hurried).sampleRate, 0);
  // A video libavformat cannot open is just left without details.
  WriteFile(dir_ / "share" / "broken.avi", "RIFF" + Le(5000, 4) + "AVI LIST" + std::string(4992, '\xee'));
  MediaInfo broken = ProbeMedia((dir_ / "share" / "broken.avi").string(), root, MediaKind::Video);
  EXPECT_EQ(broken.millis, -1);
  EXPECT_EQ(broken.width, 0);
}

TEST_F(MediaFiles, TitlesShowInTheTagsOwnCaseOnceRead) {
  // The catalogue keeps "at&t", and its placeholder "Others" where a tag had
  // no artist; one artist really is named "Others".
  std::string frames = id3::AudioFrames(50);
  WriteFile(dir_ / "phone.mp3", id3::V2Tag(3, {id3::Text("TIT2", "AT&T"), id3::Text("TPE1", "Others"),
                                               id3::Text("TALB", "Bell Labs"), id3::Text("TCON", "Jazz")}) +
                                    frames);
  WriteFile(dir_ / "bare.mp3", id3::V2Tag(3, {id3::Text("TIT2", "Plain Song")}) + frames);
  CatalogueRows rows;
  rows.media = {Song((dir_ / "phone.mp3").string(), "at&t", "Others", "bell labs", "jazz"),
                Song((dir_ / "bare.mp3").string(), "plain song")};
  for (auto& m : rows.media) m.root = dir_.string();
  auto t = Content::Build(rows, {});
  auto browse = [&](const MediaInfoOf& infoOf) {
    return Browse(*t, "http://h:1", "music/all", "BrowseDirectChildren", Page("0", "0"), infoOf).result;
  };
  // Until the files are read: the catalogue's texts, and no artist for either.
  std::string before = browse([](const MediaFile&) { return MediaInfo{}; });
  EXPECT_NE(before.find("<dc:title>at&amp;t</dc:title>"), std::string::npos) << before;
  EXPECT_EQ(before.find("<upnp:artist>"), std::string::npos) << before;
  MediaInfoCache cache;
  cache.Prepare(*t);
  ASSERT_TRUE(Eventually([&] { return cache.Get(t->Files()[0]).tagRead && cache.Get(t->Files()[1]).tagRead; }));
  std::string after = browse([&](const MediaFile& m) { return cache.Get(m); });
  EXPECT_NE(after.find("<dc:title>AT&amp;T</dc:title><upnp:class>object.item.audioItem.musicTrack</upnp:class>"
                       "<upnp:artist>Others</upnp:artist><dc:creator>Others</dc:creator>"
                       "<upnp:album>Bell Labs</upnp:album><upnp:genre>Jazz</upnp:genre>"),
            std::string::npos) << after;
  // A tag without an artist leaves it unknown: the placeholder is not shown.
  EXPECT_NE(after.find("<dc:title>Plain Song</dc:title><upnp:class>object.item.audioItem.musicTrack"
                       "</upnp:class><res "),
            std::string::npos) << after;
  EXPECT_EQ(Count(after, "<upnp:artist>"), 1) << after;
}

namespace {

// An APIC frame: a JPEG-typed picture of `type` (3: front cover).
id3::Frame Picture(int type, const std::string& bytes) {
  return {"APIC", std::string("\0image/jpeg\0", 12) + static_cast<char>(type) + std::string("\0", 1) + bytes};
}

}  // namespace

TEST_F(MediaFiles, CoverArtIsTheTracksOwnElseItsFoldersAndNeverAnotherFolders) {
  std::string front = "\xff\xd8\xff\xe0 front cover", back = "\xff\xd8\xff\xe0 back cover";
  std::string frames = id3::AudioFrames(20);
  WriteFile(dir_ / "a" / "own.mp3",
            id3::V2Tag(3, {id3::Text("TALB", "A"), Picture(4, back), Picture(3, front)}) + frames);
  WriteFile(dir_ / "a" / "plain.mp3", id3::V2Tag(3, {id3::Text("TALB", "A")}) + frames);
  WriteFile(dir_ / "b" / "bare.mp3", id3::V2Tag(3, {id3::Text("TALB", "B")}) + frames);
  // An APIC frame that claims more bytes than the tag holds: no picture, the
  // frames before it and the audio are still read.
  std::string bad = id3::V2Tag(3, {id3::Text("TIT2", "Cut Short"), Picture(3, front)});
  size_t apic = bad.find("APIC");
  bad.replace(apic + 4, 4, std::string("\x00\x10\x00\x00", 4));
  WriteFile(dir_ / "b" / "bad.mp3", bad + frames);
  for (const char* name : {"a/Folder.JPG", "a/cover.png", "a/albumart.jpeg", "a/photo.jpg"})
    WriteFile(dir_ / name, "picture");
  std::string root = fs::canonical(dir_).string();

  MediaInfo own = ProbeMedia((dir_ / "a" / "own.mp3").string(), root, MediaKind::Audio);
  EXPECT_EQ(own.artMime, "image/jpeg");
  std::string bytes, mime;
  ASSERT_TRUE(ReadEmbeddedArt((dir_ / "a" / "own.mp3").string(), root, &bytes, &mime));
  EXPECT_EQ(bytes, front);  // the front cover, though it comes second
  EXPECT_FALSE(ReadEmbeddedArt((dir_ / "a" / "plain.mp3").string(), root, &bytes, &mime));
  MediaInfo cut = ProbeMedia((dir_ / "b" / "bad.mp3").string(), root, MediaKind::Audio);
  EXPECT_EQ(cut.artMime, "");
  EXPECT_EQ(cut.title, "Cut Short");
  EXPECT_GT(cut.millis, 0);
  EXPECT_FALSE(ReadEmbeddedArt((dir_ / "b" / "bad.mp3").string(), root, &bytes, &mime));

  // Through the tree: the catalogue holds the folder's pictures too.
  CatalogueRows rows;
  for (const char* name : {"a/own.mp3", "a/plain.mp3", "b/bare.mp3"})
    rows.media.push_back(Song((dir_ / name).string(), fs::path(name).stem().string(), "Others",
                              name[0] == 'a' ? "a" : "b"));
  for (const char* name : {"a/Folder.JPG", "a/cover.png", "a/albumart.jpeg", "a/photo.jpg"})
    rows.media.push_back({MediaKind::Image, name, "", "", "", (dir_ / "a/").string(),
                          (dir_ / name).string(), ""});
  for (auto& m : rows.media) m.root = dir_.string();
  auto t = Content::Build(rows, {});
  FolderArt folders(*t);
  MediaInfoCache cache;
  cache.Prepare(*t);
  auto byName = [&](const std::string& name) -> const MediaFile& {
    for (const MediaFile& f : t->Files())
      if (f.path == (dir_ / name).string()) return f;
    throw std::runtime_error(name);
  };
  ASSERT_TRUE(Eventually([&] { return !cache.Get(byName("a/own.mp3")).artMime.empty(); }));
  EXPECT_EQ(ArtPath(byName("a/own.mp3"), cache.Get(byName("a/own.mp3")), folders),
            "/art/" + byName("a/own.mp3").hash + ".jpg");
  // cover.png comes before Folder.JPG and albumart.jpeg, whatever their case.
  EXPECT_EQ(ArtPath(byName("a/plain.mp3"), {}, folders), MediaPath(byName("a/cover.png")));
  EXPECT_EQ(ArtPath(byName("b/bare.mp3"), {}, folders), "");
  auto art = [&](const MediaFile& f, const MediaInfo& info) {
    std::string path = ArtPath(f, info, folders);
    return Art{path.empty() ? "" : AlbumArtElement("http://h:1" + path, nullptr), ""};
  };
  auto infoOf = [&](const MediaFile& f) { return cache.Get(f); };
  // Album containers show the art of their first track that has one; "b" has none.
  std::string albums = Browse(*t, "http://h:1", "music/album", "BrowseDirectChildren", Page("0", "0"),
                              infoOf, art).result;
  EXPECT_NE(albums.find("<dc:title>a</dc:title><upnp:class>object.container.album.musicAlbum</upnp:class>"
                        "<upnp:albumArtURI>http://h:1/art/" + byName("a/own.mp3").hash + ".jpg</upnp:albumArtURI>"),
            std::string::npos) << albums;
  EXPECT_EQ(Count(albums, "<upnp:albumArtURI>"), 1) << albums;
  std::string tracks = Browse(*t, "http://h:1", "music/all", "BrowseDirectChildren", Page("0", "0"),
                              infoOf, art).result;
  EXPECT_EQ(Count(tracks, "<upnp:albumArtURI>"), 2) << tracks;
}

TEST(Content, RecentlyAddedHoldsTheLastFiftyRowsOfEachKindNewestFirst) {
  CatalogueRows rows;
  for (int i = 0; i < 60; ++i) {
    // Written in a scrambled order: row numbers, not titles or paths, decide.
    int row = (i * 37) % 60 + 1;
    auto song = Song("/m/s" + std::to_string(i) + ".mp3", "song " + std::to_string(i));
    song.row = row;
    rows.media.push_back(song);
  }
  rows.media.push_back({MediaKind::Video, "film", "Others", "Others", "Others", "/m/", "/m/film.mpg", "/m/", 7});
  auto t = Content::Build(rows, {}, false);
  const Container* music = t->FindContainer("music");
  ASSERT_NE(music, nullptr);
  EXPECT_EQ(music->containers.back(), "music/recent");
  const Container* recent = t->FindContainer("music/recent");
  ASSERT_NE(recent, nullptr);
  EXPECT_EQ(recent->title, "Recently added");
  ASSERT_EQ(recent->items.size(), 50u);
  // Newest first: rows 60, 59, ... 11.
  std::vector<int64_t> seen;
  for (uint32_t i : recent->items)
    for (const auto& m : rows.media)
      if (m.path == t->Files()[i].path) seen.push_back(m.row);
  for (size_t k = 0; k < seen.size(); ++k) EXPECT_EQ(seen[k], 60 - static_cast<int64_t>(k));
  const Container* films = t->FindContainer("video/recent");
  ASSERT_NE(films, nullptr);
  EXPECT_EQ(films->items.size(), 1u);
  EXPECT_EQ(t->FindContainer("pictures/recent")->items.size(), 0u);
}

TEST(Content, ATitleSortGivesWhatTheStoredOrderGivesOnlyWhereThatIsTitleOrder) {
  // Titles in neither row nor path order, one of them twice; newest rows
  // not newest titles; two albums and two artists.
  CatalogueRows rows;
  const char* titles[] = {"m", "b", "x", "b", "a", "q", "c"};
  for (int i = 0; i < 7; ++i) {
    auto song = Song("/m/" + std::string(i % 2 ? "one/" : "two/") + "s" + std::to_string(i) + ".mp3",
                     titles[i], i % 3 ? "zed" : "amy", i % 2 ? "later" : "earlier");
    song.row = 10 - i;
    rows.media.push_back(song);
  }
  rows.folders = {{"Songs", "/m/", 0}};
  auto t = Content::Build(rows, {}, false);
  // A sort by title with a second key that can only repeat the first goes
  // through the general sort: both must agree everywhere, page by page.
  std::vector<std::string> todo = {"0"};
  int looked = 0;
  while (!todo.empty()) {
    std::string id = todo.back();
    todo.pop_back();
    const Container* c = t->FindContainer(id);
    ASSERT_NE(c, nullptr) << id;
    for (const auto& child : c->containers) todo.push_back(child);
    for (const char* start : {"0", "1"}) {
      DirectoryAnswer one = Browse(*t, "", id, "BrowseDirectChildren", Page(start, "4", "+dc:title"));
      DirectoryAnswer two =
          Browse(*t, "", id, "BrowseDirectChildren", Page(start, "4", "+dc:title,+dc:title"));
      EXPECT_EQ(one.result, two.result) << id << " from " << start;
      EXPECT_EQ(one.total, two.total) << id;
    }
    ++looked;
  }
  EXPECT_GT(looked, 15);
  // Where the stored order is not title order, the sort is not skipped.
  std::string music = Browse(*t, "", "music", "BrowseDirectChildren", Page("0", "0", "+dc:title")).result;
  EXPECT_LT(music.find(">Albums<"), music.find(">All Tracks<")) << music;
  std::string recent =
      Browse(*t, "", "music/recent", "BrowseDirectChildren", Page("0", "0", "+dc:title")).result;
  EXPECT_LT(recent.find(">a<"), recent.find(">m<")) << recent;
}
