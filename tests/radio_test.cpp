// Station files, the drop's decisions, and storing stations from links
// served by a real HTTP server on 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <future>

#include "http_server.h"
#include "radio/drop.h"
#include "radio/station_file.h"
#include "radio/station_downloader.h"
#include "radio/station_store.h"
#include "radio/stations.h"
#include "testing.h"

namespace {

// A working folder of its own, with proxies that only a test sets.
class RadioTest : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ALL_PROXY",
                          "all_proxy"})
      unsetenv(v);
    folder_ = GetRadioFolder();
  }

  // Every file of the station folder, downloads in progress included.
  std::vector<std::string> FolderFiles() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string Title(const std::string& content) {
    WriteFile(dir_ / "t.pls", content);
    std::string title = "unchanged";
    int rc = ReadStationTitle((dir_ / "t.pls").c_str(), &title);
    return rc == 0 ? title : "<none:" + title + ">";
  }

  std::string folder_;
};

const std::string kJazz =
    "[playlist]\nnumberofentries=1\nFile1=http://10.0.0.1:8000/\n"
    "Title1=(#1 - 10/200) Jazz: Hits\nLength1=-1\nVersion=2\n";

std::string Crlf(const std::string& lf) {
  std::string out;
  for (char c : lf) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

TEST_F(RadioTest, TitleIsTakenFromTheFirstTitleLineWithAParenthesis) {
  EXPECT_EQ(Title("Title1=(#1 - 57/500) Some Station Name\n"), "Some Station Name");
  EXPECT_EQ(Title("File1=x\nTitle1=no paren\nTitle2=(x) Second\nTitle3=(y) Third\n"), "Second");
  EXPECT_EQ(Title("title1=(x) lower\n"), "<none:unchanged>");
  EXPECT_EQ(Title("Title1=(x)\n"), "");
  EXPECT_EQ(Title("Title1=(x)y\n"), "");
  EXPECT_EQ(Title("Title1=(x) Last line"), "Last line");
  EXPECT_EQ(Title("Title1=(x) Crlf\r\n"), "Crlf");
  // Only the carriage return right before the line feed goes.
  EXPECT_EQ(Title("Title1=(x) Twice\r\r\n"), "Twice\r");
  EXPECT_EQ(Title(std::string("Title1=(x) Nul\0after\n", 21)), "Nul");
  EXPECT_EQ(Title(std::string("Title1=(x\0) hidden\n", 19)), "<none:unchanged>");
  EXPECT_EQ(Title("[playlist]\nFile1=x\n"), "<none:unchanged>");
  EXPECT_EQ(Title(""), "<none:unchanged>");
}

TEST_F(RadioTest, TitleReadingStaysWithinItsBounds) {
  EXPECT_EQ(Title("Title1=(x) " + std::string(300, 'a') + "\n"), std::string(256, 'a'));
  // Text in the middle of a long line is never a line of its own.
  EXPECT_EQ(Title("File1=" + std::string(1017, 'f') + "Title2=(x) Inside\nTitle3=(y) Real\n"),
            "Real");
  // A ')' beyond the first 1023 bytes of a line does not make a title line.
  EXPECT_EQ(Title("Title1=" + std::string(2000, 'a') + ") Far\n"), "<none:unchanged>");
  std::string huge = "Title1=(x) " + std::string(5000, 'b') + "\n";
  EXPECT_EQ(Title(huge), std::string(256, 'b'));

  std::string title = "kept";
  EXPECT_EQ(ReadStationTitle(nullptr, &title), -1);
  EXPECT_EQ(ReadStationTitle("x", nullptr), -1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadStationTitle((dir_ / "missing.pls").c_str(), &title), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("fopen error\n"), std::string::npos);
  // A pipe in the folder neither blocks nor counts.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadStationTitle((dir_ / "fifo").c_str(), &title), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(title, "kept");
}

TEST_F(RadioTest, OneReadGivesThePagesTitleAndThePublishableStreams) {
  WriteFile(dir_ / "s.pls",
            "[playlist]\r\nFile3=http://c.example/3\r\nfile1=HTTPS://a.example/1\r\n"
            "Title1=(#1 - 1/9) Page title\r\nFILE2=file:///etc/passwd\r\n"
            "File4=http://d.example/4\r\ntitle4=First\r\nTitle4=  Last \r\n"
            "File5=http://e.example/a b\r\nFile6=http://f.example/\x01x\r\n"
            "File7=ftp://g.example/\r\nFile8=javascript:alert(1)\r\nFile9=http://\r\n"
            "File10=http://j.example/\x7f\r\nFile11=http://k.example/\"><x>\r\n"
            "File1234567=http://l.example/\r\nNumberOfEntries=11\r\n");
  StationFile station;
  std::string error;
  ASSERT_TRUE(ReadStationFile((dir_ / "s.pls").string(), &station, &error)) << error;
  EXPECT_TRUE(station.hasTitle);
  EXPECT_EQ(station.title, "Page title");
  std::vector<std::pair<std::string, std::string>> streams;
  for (const StationStream& s : station.streams) streams.push_back({s.title, s.url});
  EXPECT_EQ(streams, (std::vector<std::pair<std::string, std::string>>{
                         {"(#1 - 1/9) Page title", "HTTPS://a.example/1"},
                         {"", "http://c.example/3"},
                         {"Last", "http://d.example/4"}}));
}

TEST_F(RadioTest, OnlySmallRegularFilesAreReadAsStations) {
  const std::string line = "Title1=(x) Big\nFile1=http://a.example/\n";
  const std::string atBound = line + std::string(kMaxStationFile - line.size(), '#');
  WriteFile(dir_ / "fits.pls", atBound);
  WriteFile(dir_ / "big.pls", atBound + "#");
  StationFile station;
  std::string error;
  EXPECT_TRUE(ReadStationFile((dir_ / "fits.pls").string(), &station, &error)) << error;
  EXPECT_EQ(station.streams.size(), 1u);
  EXPECT_FALSE(ReadStationFile((dir_ / "big.pls").string(), &station, &error));
  EXPECT_FALSE(error.empty());
  // The station page and `tarvel stations` show no title for it either.
  std::string title = "kept";
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadStationTitle((dir_ / "big.pls").c_str(), &title), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("fopen error\n"), std::string::npos);
  EXPECT_EQ(title, "kept");
  fs::create_directory(dir_ / "dir.pls");
  EXPECT_FALSE(ReadStationFile((dir_ / "dir.pls").string(), &station, &error));
}

TEST_F(RadioTest, StationNamesReplaceUnsafeCharactersAndFitAFileName) {
  EXPECT_EQ(StationFileNameForTitle("Jazz: Hits"), "Jazz  Hits.pls");
  EXPECT_EQ(StationFileNameForTitle("../a/b*c>d<e?f|g.h"), "   a b c d e f g h.pls");
  EXPECT_EQ(StationFileNameForTitle("tab\there\x01\x1d"), "tab here  .pls");
  // Left as they are: codes 30 and 31, backslash, double quote, UTF-8.
  EXPECT_EQ(StationFileNameForTitle("a\x1e\x1f\\\"Caf\xc3\xa9"), "a\x1e\x1f\\\"Caf\xc3\xa9.pls");
  EXPECT_EQ(StationFileNameForTitle(""), "");
  EXPECT_EQ(StationFileNameForTitle(std::string(251, 'x')), std::string(251, 'x') + ".pls");
  EXPECT_EQ(StationFileNameForTitle(std::string(252, 'x')), "");

  EXPECT_TRUE(IsPlainFileName("abc.pls"));
  for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b", "../x", std::string(256, 'a'), std::string("a\0b", 3)})
    EXPECT_FALSE(IsPlainFileName(bad)) << bad;
}

TEST_F(RadioTest, TheFolderListsEveryFileButNotFoldersOrDownloads) {
  EXPECT_EQ(folder_, (dir_ / "RadioList").string() + "/");
  EXPECT_TRUE(fs::is_directory(folder_));
  EXPECT_EQ(GetRadioFolder(), folder_);  // an existing folder is fine
  WriteFile(folder_ + "b.pls");
  WriteFile(folder_ + "a.txt");
  WriteFile(folder_ + ".hidden.pls");
  WriteFile(folder_ + std::string(kDownloadPrefix) + "abc123");
  fs::create_directory(folder_ + "sub");
  fs::create_directory_symlink(dir_, folder_ + "dirlink");
  fs::create_symlink(folder_ + "b.pls", folder_ + "filelink");
  fs::create_symlink(folder_ + "gone", folder_ + "dangling");
  EXPECT_EQ(ListStations(folder_),
            (std::vector<std::string>{".hidden.pls", "a.txt", "b.pls", "dangling", "filelink"}));
  EXPECT_TRUE(ListStations((dir_ / "nope").string()).empty());
}

TEST_F(RadioTest, RemovingStationsIsAllOrNothingAndStaysInTheFolder) {
  for (const char* n : {"a.pls", "b.pls", "c.pls", "d.pls"}) WriteFile(folder_ + n);
  WriteFile(dir_ / "outside.pls");
  fs::create_directory(folder_ + "sub");
  std::string error;
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"a.pls", "nope.pls"}, {"a.pls", "../outside.pls"}, {"sub"}, {"."}, {""}}) {
    error.clear();
    EXPECT_FALSE(RemoveStations(folder_, bad, &error));
    EXPECT_EQ(error, bad.back() + " is not a station");
  }
  EXPECT_EQ(ListStations(folder_).size(), 4u);
  EXPECT_TRUE(fs::exists(dir_ / "outside.pls"));
  EXPECT_TRUE(RemoveStations(folder_, {"a.pls", "c.pls", "d.pls", "a.pls"}, &error)) << error;
  EXPECT_EQ(ListStations(folder_), std::vector<std::string>{"b.pls"});
}

TEST(RadioDrop, DragEffectsFollowTheCtrlKey) {
  EXPECT_EQ(DragEffect(DragPhase::Enter, true, false), kDropMove);
  EXPECT_EQ(DragEffect(DragPhase::Over, true, false), kDropMove);
  EXPECT_EQ(DragEffect(DragPhase::Enter, true, true), kDropCopy);
  EXPECT_EQ(DragEffect(DragPhase::Over, true, true), kDropNone);
  for (DragPhase phase : {DragPhase::Enter, DragPhase::Over})
    for (bool ctrl : {false, true}) EXPECT_EQ(DragEffect(phase, false, ctrl), kDropNone);
  EXPECT_TRUE(DropReportsSuccess(kDropMove));
  EXPECT_TRUE(DropReportsSuccess(kDropMove | kDropCopy));
  EXPECT_FALSE(DropReportsSuccess(kDropCopy));
  EXPECT_FALSE(DropReportsSuccess(kDropNone));
}

TEST(RadioDrop, LinksFromDroppedTextAndUrlLists) {
  EXPECT_TRUE(IsPlaylistLink("http://h/x?file=abc.pls"));
  EXPECT_TRUE(IsPlaylistLink("pls"));
  EXPECT_FALSE(IsPlaylistLink("http://h/x?file=abc.PLS"));
  EXPECT_FALSE(IsPlaylistLink("http://h/x?file=abc.m3u"));
  EXPECT_FALSE(IsPlaylistLink("ls"));
  EXPECT_EQ(FileNameFromLink("http://h/a=b?file=abc.pls"), "abc.pls");
  EXPECT_EQ(FileNameFromLink("http://h/abc.pls"), "");
  EXPECT_EQ(FileNameFromLink("http://h/x?file="), "");
  EXPECT_EQ(LinkFromDroppedText("  http://h/x=a.pls\r\n"), "http://h/x=a.pls");
  EXPECT_EQ(LinkFromDroppedText(std::string("http://h/x=a.pls\0junk", 21)), "http://h/x=a.pls");
  EXPECT_EQ(LinkFromUriList("# comment\r\nhttp://h/x=a.pls\r\nhttp://h/y=b.pls\r\n"),
            "http://h/x=a.pls");
  EXPECT_EQ(LinkFromUriList("# only a comment\r\n\r\n"), "");
  // A selection of links: every one, in order, up to the bound.
  size_t more = 9;
  EXPECT_EQ(LinksFromUriList("# c\r\nhttp://h/x=a.pls\r\n\r\nhttp://h/y=b.m3u\nhttp://h/z=c.pls", 100, &more),
            (std::vector<std::string>{"http://h/x=a.pls", "http://h/y=b.m3u", "http://h/z=c.pls"}));
  EXPECT_EQ(more, 0u);
  EXPECT_EQ(LinksFromUriList("a\nb\nc\nd\n", 2, &more), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(more, 2u);
}

TEST(RadioDrop, TextFromTheNetworkIsShownWithoutControlsOrDirectionOverrides) {
  // U+202E would make "evil" read "live"; controls could move a terminal's cursor.
  EXPECT_EQ(DisplayText("\xE2\x80\xAE" "evil" "\xE2\x80\xAC"), "evil");
  EXPECT_EQ(DisplayText("a\x1B[2Jb\tc\x7F\x01\x1F"), "a[2Jbc");
  for (const char* bidi : {"\xD8\x9C", "\xE2\x80\x8E", "\xE2\x80\x8F", "\xE2\x80\xAA",
                           "\xE2\x80\xAB", "\xE2\x80\xAD", "\xE2\x81\xA6", "\xE2\x81\xA7",
                           "\xE2\x81\xA8", "\xE2\x81\xA9"})
    EXPECT_EQ(DisplayText(std::string("x") + bidi + "y"), "xy") << bidi;
  // Other text stays, also other characters of the same blocks.
  EXPECT_EQ(DisplayText("Caf\xC3\xA9 \xE2\x80\x94 \xE2\x81\xB0 \xD8\xA8"),
            "Caf\xC3\xA9 \xE2\x80\x94 \xE2\x81\xB0 \xD8\xA8");
  // Cut at a character's start.
  EXPECT_EQ(DisplayText("ab\xC3\xA9\xC3\xA9", 3), "ab\xC3\xA9...");
  EXPECT_EQ(DisplayText("abc", 3), "abc");
}

TEST_F(RadioTest, ADroppedLinkIsStoredUnderItsTitleWithCrlfLines) {
  TestHttpServer server;
  server.Route("/play?file=abc.pls", {.body = kJazz});
  StationResult r = StoreStationFromLink(server.Url("/play?file=abc.pls"));
  ASSERT_TRUE(r.ok()) << DescribeStationResult(r);
  EXPECT_EQ(r.name, "Jazz  Hits.pls");
  EXPECT_EQ(FolderFiles(), std::vector<std::string>{"Jazz  Hits.pls"});
  EXPECT_EQ(ReadFile(folder_ + "Jazz  Hits.pls"), Crlf(kJazz));
  // Readable by the media server, unlike a fresh temporary file.
  EXPECT_NE(fs::status(folder_ + "Jazz  Hits.pls").permissions() & fs::perms::others_read,
            fs::perms::none);
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_NE(server.Requests()[0].find("User-Agent: hello\r\n"), std::string::npos);

  // The same link again: the stored station stays as it was, the download goes.
  WriteFile(folder_ + "Jazz  Hits.pls", "edited by hand");
  r = StoreStationFromLink(server.Url("/play?file=abc.pls"));
  EXPECT_EQ(r.error, StationError::AlreadyStored);
  EXPECT_EQ(r.name, "Jazz  Hits.pls");
  EXPECT_EQ(FolderFiles(), std::vector<std::string>{"Jazz  Hits.pls"});
  EXPECT_EQ(ReadFile(folder_ + "Jazz  Hits.pls"), "edited by hand");
}

TEST_F(RadioTest, CrlfPlaylistsAreStoredAsTheyCome) {
  TestHttpServer server;
  // Served in pieces that split a CR LF pair between two arrivals.
  std::string body = Crlf(kJazz);
  size_t cr = body.find("\r\nLength1");
  server.Route("/crlf?f=x.pls",
               {.body = body, .chunked = true, .chunkSize = cr + 1, .chunkDelayMs = 100});
  StationResult r = StoreStationFromLink(server.Url("/crlf?f=x.pls"));
  ASSERT_TRUE(r.ok()) << DescribeStationResult(r);
  EXPECT_EQ(r.name, "Jazz  Hits.pls");  // no carriage return in the title, no blank before .pls
  EXPECT_EQ(ReadFile(folder_ + r.name), body);
  // Lone carriage returns are kept; lone line feeds get theirs.
  server.Route("/mixed?f=m.pls", {.body = "Title1=(1) Mixed\ra\nb\r\n\n"});
  r = StoreStationFromLink(server.Url("/mixed?f=m.pls"));
  ASSERT_TRUE(r.ok()) << DescribeStationResult(r);
  EXPECT_EQ(r.name, "Mixed a.pls");
  EXPECT_EQ(ReadFile(folder_ + r.name), "Title1=(1) Mixed\ra\r\nb\r\n\r\n");
}

TEST_F(RadioTest, LinksThatAreNoPlaylistLinksFetchNothing) {
  TestHttpServer server;
  server.Route("/p?file=a.PLS", {.body = kJazz});
  server.Route("/p?file=a.m3u", {.body = kJazz});
  server.Route("/a.pls", {.body = kJazz});
  server.Route("/p?file=", {.body = kJazz});
  EXPECT_EQ(StoreStationFromLink(server.Url("/p?file=a.PLS")).error, StationError::NotAPlaylistLink);
  EXPECT_EQ(StoreStationFromLink(server.Url("/p?file=a.m3u")).error, StationError::NotAPlaylistLink);
  EXPECT_EQ(StoreStationFromLink(server.Url("/a.pls")).error, StationError::NoFileName);
  EXPECT_EQ(StoreStationFromLink("").error, StationError::NotAPlaylistLink);
  for (const char* name : {"../../evil.pls", "a/b.pls", ".download-xpls"}) {
    StationResult r = StoreStationFromLink(server.Url("/p?file=") + name);
    EXPECT_EQ(r.error, StationError::BadFileName) << name;
    EXPECT_EQ(r.name, name);
  }
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_TRUE(FolderFiles().empty());
}

TEST_F(RadioTest, FailedDownloadsLeaveNothingBehind) {
  TestHttpServer server;
  DownloadLimits quick;
  quick.totalTimeoutMs = 1500;
  quick.maxBodyBytes = 64 * 1024;
  std::string big = "Title1=(1) Big\n" + std::string(64 * 1024, 'x');
  server.Route("/notitle?f=a.pls", {.body = "[playlist]\nFile1=http://x/\n"});
  server.Route("/empty?f=a.pls", {.body = ""});
  server.Route("/500?f=a.pls", {.status = 500, .body = kJazz});
  server.Route("/file?f=a.pls", {.status = 302, .headers = {"Location: file:///etc/passwd"}});
  server.Route("/loop?f=a.pls",
               {.status = 302, .headers = {"Location: " + server.Url("/loop?f=a.pls")}});
  server.Route("/slow?f=a.pls", {.hang = true});
  server.Route("/trickle?f=a.pls",
               {.body = kJazz + std::string(1000, '\n'), .chunked = true, .chunkSize = 10,
                .chunkDelayMs = 50});
  server.Route("/big?f=a.pls", {.body = big});
  server.Route("/bigchunked?f=a.pls", {.body = big, .chunked = true});
  struct Case {
    std::string target;
    StationError error;
  };
  for (const Case& c : std::vector<Case>{{"/notitle?f=a.pls", StationError::NoTitle},
                                         {"/empty?f=a.pls", StationError::NoTitle},
                                         {"/missing?f=a.pls", StationError::HttpError},
                                         {"/500?f=a.pls", StationError::HttpError},
                                         {"/file?f=a.pls", StationError::Refused},
                                         {"/loop?f=a.pls", StationError::DownloadFailed},
                                         {"/slow?f=a.pls", StationError::TimedOut},
                                         {"/trickle?f=a.pls", StationError::TimedOut},
                                         {"/big?f=a.pls", StationError::TooLarge},
                                         {"/bigchunked?f=a.pls", StationError::TooLarge}}) {
    StationResult r = StoreStationFromLink(server.Url(c.target), quick);
    EXPECT_EQ(r.error, c.error) << c.target << ": " << DescribeStationResult(r);
    EXPECT_TRUE(FolderFiles().empty()) << c.target;
  }
  EXPECT_EQ(StoreStationFromLink(server.Url("/missing?f=a.pls"), quick).detail, "404");
  EXPECT_EQ(DescribeStationResult(StoreStationFromLink(server.Url("/big?f=a.pls"), quick)),
            "the playlist is larger than 64 KiB; nothing was stored");
  // Exactly at the limit is still taken.
  server.Route("/fits?f=a.pls", {.body = big.substr(0, quick.maxBodyBytes)});
  EXPECT_TRUE(StoreStationFromLink(server.Url("/fits?f=a.pls"), quick).ok());
  // Nobody listening, and schemes other than http and https.
  std::string closed;
  {
    TestHttpServer gone;
    closed = gone.Url("/x?f=a.pls");
  }
  EXPECT_EQ(StoreStationFromLink(closed, quick).error, StationError::DownloadFailed);
  EXPECT_EQ(StoreStationFromLink("file:///etc/passwd?x=a.pls", quick).error, StationError::Refused);
  EXPECT_EQ(FolderFiles(), std::vector<std::string>{"Big.pls"});
}

TEST_F(RadioTest, TitleNamesStayInsideTheFolderAndNeverReplaceAFile) {
  TestHttpServer server;
  server.Route("/evil?f=e.pls", {.body = "Title1=(1) ../../escape/x\n"});
  server.Route("/long?f=long.pls", {.body = "Title1=(1) " + std::string(300, 'L') + "\n"});
  server.Route("/blank?f=blank.pls", {.body = "Title1=(1)\n"});
  server.Route("/redirected?f=r.pls", {.status = 301, .headers = {"Location: /real"}});
  server.Route("/real", {.body = "Title1=(1) Moved\n"});
  StationResult r = StoreStationFromLink(server.Url("/evil?f=e.pls"));
  EXPECT_EQ(r.name, "      escape x.pls");
  // A title too long for a file name, or an empty one: the link's name.
  EXPECT_EQ(StoreStationFromLink(server.Url("/long?f=long.pls")).name, "long.pls");
  EXPECT_EQ(StoreStationFromLink(server.Url("/blank?f=blank.pls")).name, "blank.pls");
  EXPECT_EQ(StoreStationFromLink(server.Url("/redirected?f=r.pls")).name, "Moved.pls");
  // The link's name taken as well: the existing file stays.
  WriteFile(folder_ + "blank2.pls", "mine");
  server.Route("/blank?f=blank2.pls", {.body = "Title1=(1)\n"});
  r = StoreStationFromLink(server.Url("/blank?f=blank2.pls"));
  EXPECT_EQ(r.error, StationError::AlreadyStored);
  EXPECT_EQ(ReadFile(folder_ + "blank2.pls"), "mine");
  EXPECT_EQ(FolderFiles(), (std::vector<std::string>{"      escape x.pls", "Moved.pls",
                                                     "blank.pls", "blank2.pls", "long.pls"}));
  EXPECT_FALSE(fs::exists(dir_ / "escape"));
}

TEST_F(RadioTest, ConcurrentDropsOfOneStationStoreItOnce) {
  TestHttpServer server;
  server.Route("/s?f=a.pls", {.body = kJazz, .delayMs = 200});
  std::vector<std::future<StationResult>> drops;
  for (int i = 0; i < 4; ++i)
    drops.push_back(std::async(std::launch::async,
                               [&] { return StoreStationFromLink(server.Url("/s?f=a.pls")); }));
  int stored = 0, kept = 0;
  for (auto& d : drops) {
    StationResult r = d.get();
    stored += r.ok();
    kept += r.error == StationError::AlreadyStored;
  }
  EXPECT_EQ(stored, 1);
  EXPECT_EQ(kept, 3);
  EXPECT_EQ(FolderFiles(), std::vector<std::string>{"Jazz  Hits.pls"});
}

TEST_F(RadioTest, DownloadsGoThroughTheEnvironmentsProxyAndCanBeCancelled) {
  TestHttpServer proxy;
  proxy.Route("/station?file=p.pls", {.body = "Title1=(1) Proxied\n"});
  setenv("http_proxy", proxy.Url("").c_str(), 1);
  StationResult r = StoreStationFromLink("http://radio.invalid/station?file=p.pls");
  unsetenv("http_proxy");
  EXPECT_EQ(r.name, "Proxied.pls") << DescribeStationResult(r);
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0].rfind("GET http://radio.invalid/station?file=p.pls ", 0), 0u);

  proxy.Route("/hang?f=h.pls", {.hang = true});
  std::atomic<bool> cancel{false};
  std::unique_ptr<DownloadedPlaylist> download;
  auto pending = std::async(std::launch::async, [&] {
    return DownloadPlaylist(proxy.Url("/hang?f=h.pls"), folder_, DownloadLimits(), &download,
                            &cancel);
  });
  // Cancelled while the server holds the request.
  ASSERT_TRUE(Eventually([&] { return proxy.Requests().size() == 2; }));
  cancel = true;
  ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(pending.get().error, StationError::Cancelled);
  EXPECT_FALSE(download);
  EXPECT_EQ(FolderFiles(), std::vector<std::string>{"Proxied.pls"});
}

TEST_F(RadioTest, ADownloadIsOnlyATemporaryFileUntilNamed) {
  TestHttpServer server;
  server.Route("/x?f=a.pls", {.body = kJazz});
  {
    std::unique_ptr<DownloadedPlaylist> download;
    ASSERT_TRUE(DownloadPlaylist(server.Url("/x?f=a.pls"), folder_, DownloadLimits(), &download).ok());
    ASSERT_TRUE(download);
    EXPECT_EQ(FolderFiles().size(), 1u);
    EXPECT_EQ(FolderFiles()[0].rfind(kDownloadPrefix, 0), 0u);
    EXPECT_TRUE(ListStations(folder_).empty());
  }
  EXPECT_TRUE(FolderFiles().empty());  // dropped unnamed: deleted
}

TEST_F(RadioTest, TheCommandLineListsAddsAndRemovesStations) {
  TestHttpServer server;
  server.Route("/p?file=abc.pls", {.body = kJazz});
  fs::create_directory("data");
  auto tarvel = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--data-dir", "data"});
    return RunProgram("tarvel", args);
  };
  RunResult r = tarvel({"add-station", server.Url("/p?file=abc.pls")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Jazz  Hits.pls\n");
  r = tarvel({"add-station", server.Url("/p?file=abc.pls")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("\"Jazz  Hits.pls\" is stored already"), std::string::npos) << r.err;
  r = tarvel({"add-station", server.Url("/p?file=abc.PLS")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("does not end in \"pls\""), std::string::npos) << r.err;
  r = tarvel({"add-station", server.Url("/none?file=abc.pls")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("HTTP 404"), std::string::npos) << r.err;
  WriteFile(dir_ / "data" / "RadioList" / "notes.txt", "no title here\n");

  r = tarvel({"stations"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Jazz  Hits.pls\tJazz: Hits\nnotes.txt\t\n");
  r = tarvel({"remove-station", "notes.txt", "nope.pls"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tarvel: nope.pls is not a station\n");
  EXPECT_EQ(tarvel({"stations"}).out, "Jazz  Hits.pls\tJazz: Hits\nnotes.txt\t\n");
  r = tarvel({"remove-station", "notes.txt", "Jazz  Hits.pls"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tarvel({"stations"}).out, "");
  for (auto args : std::vector<std::vector<std::string>>{
           {"stations", "x"}, {"add-station"}, {"add-station", "a", "b"}, {"remove-station"}})
    EXPECT_EQ(tarvel(args).status, 2) << args[0];
}

TEST_F(RadioTest, DropsReturnAtOnceAndADeadLinkHoldsUpNoOther) {
  TestHttpServer server;
  server.Route("/dead?f=d.pls", {.hang = true});
  server.Route("/slow?f=a.pls", {.body = "Title1=(1) First\n", .delayMs = 400});
  server.Route("/fast?f=b.pls", {.body = "Title1=(1) Second\n"});
  server.Route("/gone?f=c.pls", {.status = 404});
  std::atomic<int> wakes{0};
  DownloadLimits limits;
  limits.totalTimeoutMs = 3000;  // each download's own
  StationDownloader downloader([&] { ++wakes; }, limits);
  const auto start = std::chrono::steady_clock::now();
  for (const char* target : {"/dead?f=d.pls", "/slow?f=a.pls", "/fast?f=b.pls", "/gone?f=c.pls"})
    EXPECT_TRUE(downloader.Submit(server.Url(target), folder_));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(downloader.Pending(), 4);
  // Named as they finish: the link that never answers holds up none of them.
  std::vector<StationResult> results;
  auto collect = [&](size_t n) {
    return Eventually([&] {
      for (StationResult& r : downloader.NameFinished()) results.push_back(r);
      return results.size() == n;
    }, std::chrono::seconds(10));
  };
  ASSERT_TRUE(collect(3));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(downloader.Pending(), 1);
  std::vector<std::string> names;
  for (const StationResult& r : results) names.push_back(r.ok() ? r.name : "error");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"First.pls", "Second.pls", "error"}));
  // The dead one ends at its own time-out.
  ASSERT_TRUE(collect(4));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900));
  EXPECT_EQ(results[3].error, StationError::TimedOut);
  EXPECT_EQ(wakes, 4);
  EXPECT_TRUE(downloader.Idle());
  EXPECT_EQ(FolderFiles(), (std::vector<std::string>{"First.pls", "Second.pls"}));
}

TEST_F(RadioTest, ClosingTheDownloaderLeavesNoDownloadBehind) {
  TestHttpServer server;
  server.Route("/hang?f=a.pls", {.hang = true});
  server.Route("/done?f=b.pls", {.body = "Title1=(1) Done\n"});
  const size_t parallel = StationDownloader::kParallel;
  auto start = std::chrono::steady_clock::now();
  {
    std::atomic<int> wakes{0};
    StationDownloader downloader([&] { ++wakes; });
    downloader.Submit(server.Url("/done?f=b.pls"), folder_);
    ASSERT_TRUE(Eventually([&] { return wakes == 1; }));
    // More links that never answer than run side by side: one waits.
    for (size_t i = 0; i <= parallel; ++i) downloader.Submit(server.Url("/hang?f=a.pls"), folder_);
    ASSERT_TRUE(Eventually([&] { return server.Requests().size() == 1 + parallel; }));
    // One finished and the running ones: all unnamed.
    EXPECT_EQ(FolderFiles().size(), 1 + parallel);
    // The queue is bounded.
    size_t taken = 0;
    while (taken <= StationDownloader::kMaxWaiting && downloader.Submit(server.Url("/done?f=b.pls"), folder_))
      ++taken;
    EXPECT_EQ(taken, StationDownloader::kMaxWaiting - 1);
    EXPECT_EQ(downloader.Pending(), static_cast<int>(parallel + StationDownloader::kMaxWaiting));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(FolderFiles().empty());
  EXPECT_EQ(server.Requests().size(), 1 + parallel);  // the queued ones never started
}
