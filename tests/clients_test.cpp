// MediaServer as players other than GUPnP's meet it: a node control point
// from the npm registry and VLC, each test in a private network namespace.
// Their tools are installed by scripts/test.sh: a missing one fails the test.
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>

#include "id3_builder.h"
#include "jpeg_builder.h"
#include "platform/server_name.h"
#include "server/content.h"
#include "server_net.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPort = 49230;
const std::string kBase = "http://127.0.0.1:" + std::to_string(kPort);

class UpnpClients : public NetworkTest {
 protected:
  void TearDown() override {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      if (!Eventually([this] { return waitpid(server_, nullptr, WNOHANG) == server_; }, 3000ms)) {
        kill(server_, SIGKILL);
        waitpid(server_, nullptr, 0);
      }
    }
    CatalogTest::TearDown();
  }
  void Share(const std::string& folder) {
    RunResult r = RunProgram("tarvel", {"share", (dir_ / folder).string()});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  void Start(const std::vector<std::string>& extra = {}) {
    server_ = StartMediaServer(kPort, dir_ / "server.log", extra);
    ASSERT_TRUE(Eventually([] { return PortOpen(kPort); })) << Log();
  }
  std::string Log() { return ReadFile(dir_ / "server.log"); }
  static std::string MediaUrl(const std::string& path) {
    return kBase + "/media/" + PathHash(path) + path.substr(path.rfind('.'));
  }

  pid_t server_ = -1;
};

// The words of the node client's line for `path`, "key=value" each.
std::map<std::string, std::string> LineFor(const std::string& out, const std::string& path) {
  std::map<std::string, std::string> words;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(path + " ", 0) != 0) continue;
    std::istringstream in(line.substr(path.size() + 1));
    for (std::string w; in >> w;) {
      size_t eq = w.find('=');
      if (eq != std::string::npos) words[w.substr(0, eq)] = w.substr(eq + 1);
    }
  }
  return words;
}

// Links tv0 (10.77.0.1, where multicast goes) and tv1, joined only to each
// other, in the test's namespace.
void AddLinkPair() {
  const std::vector<std::vector<std::string>> commands = {
      {"ip", "link", "add", "tv0", "type", "veth", "peer", "name", "tv1"},
      {"ip", "addr", "add", "10.77.0.1/24", "dev", "tv0"},
      {"ip", "link", "set", "tv1", "up"},
      {"ip", "link", "set", "tv0", "multicast", "on", "up"},
      {"ip", "route", "add", "239.255.255.250/32", "dev", "tv0"}};
  for (const auto& command : commands) {
    Output r = Capture(command);
    ASSERT_EQ(r.status, 0) << command[1] << " " << command[2] << ": " << r.err;
  }
  // libupnp binds the link's IPv6 address too, which is only there once its
  // duplicate address detection is over.
  ASSERT_TRUE(Eventually([] {
    Output r = Capture({"ip", "-6", "addr", "show", "dev", "tv0"});
    return r.out.find("inet6") != std::string::npos && r.out.find("tentative") == std::string::npos;
  }, 10s));
}

// The lines of `text` that `pattern` finds something in.
std::string Matching(const std::string& text, const std::string& pattern) {
  std::regex re(pattern);
  std::istringstream lines(text);
  std::string out;
  for (std::string line; std::getline(lines, line);)
    if (std::regex_search(line, re)) out += line + "\n";
  return out;
}

}  // namespace

TEST_F(UpnpClients, ANodeControlPointFindsTheServerAndSeesCoversThumbnailsAndSubtitles) {
  // An album with a folder cover, one whose track holds its cover, one with none.
  WriteFile(dir_ / "media" / "cd1" / "cover.jpg", jpeg::Make(1200, 1000));
  WriteFile(dir_ / "media" / "cd1" / "song.mp3",
            id3::V2Tag(3, {id3::Text("TIT2", "Covered"), id3::Text("TALB", "With Art")}) +
                id3::AudioFrames(100));
  id3::Frame apic{"APIC", std::string("\0image/jpeg\0\x03\0", 14) + jpeg::Make(500, 500)};
  WriteFile(dir_ / "media" / "cd2" / "song.mp3",
            id3::V2Tag(3, {id3::Text("TIT2", "Embedded"), id3::Text("TALB", "Tagged"), apic}) +
                id3::AudioFrames(100));
  WriteFile(dir_ / "media" / "cd3" / "song.mp3",
            id3::V2Tag(3, {id3::Text("TIT2", "Bare"), id3::Text("TALB", "Without")}) +
                id3::AudioFrames(100));
  WriteFile(dir_ / "media" / "photos" / "beach.jpg", jpeg::Make(2400, 1600, 6));
  WriteFile(dir_ / "media" / "films" / "Film.mp4", std::string(4096, 'v'));
  WriteFile(dir_ / "media" / "films" / "film.srt", "1\n00:00:01,000 --> 00:00:02,000\nHello\n");
  Share("media");
  ASSERT_TRUE(WriteServerName("Node Room"));
  Start();
  std::vector<std::string> paths = {
      "Music/All Tracks/Covered", "Music/Albums/With Art", "Pictures/All Pictures/beach.jpg",
      "Music/All Tracks/Embedded", "Music/All Tracks/Bare", "Video/All Videos/film.mp4"};
  const char* modules = TARVEL_NODE_MODULES;
  setenv("NODE_PATH", modules, 1);
  std::vector<std::string> args = {"node", std::string(TARVEL_TEST_DIR) + "/node_client/client.js",
                                    "Node Room", dir_.string()};
  args.insert(args.end(), paths.begin(), paths.end());
  Output c = Capture(args, 60);
  ASSERT_EQ(c.status, 0) << c.out << c.err << "\n(needs node and " << modules
                         << ": scripts/test.sh installs them)\n" << Log();

  // Track, album and picture: the first art is a JPEG_TN thumbnail.
  std::string cover = (dir_ / "media" / "cd1" / "cover.jpg").string();
  std::string beach = (dir_ / "media" / "photos" / "beach.jpg").string();
  for (int n : {0, 1, 2}) {
    auto words = LineFor(c.out, paths[n]);
    std::string hash = PathHash(n == 2 ? beach : cover);
    EXPECT_EQ(words["art"], kBase + "/thumbnails/" + hash + ".jpg") << paths[n] << "\n" << c.out;
    EXPECT_EQ(words["profile"], "JPEG_TN") << paths[n];
    EXPECT_EQ(words["features"].rfind("DLNA.ORG_PN=JPEG_TN;", 0), 0u) << paths[n] << "\n" << c.out;
    jpeg::Picture art = jpeg::Read(ReadFile(dir_ / (std::to_string(n) + ".jpg")));
    EXPECT_GT(art.width, 0) << paths[n];
    EXPECT_LE(art.width, 160) << paths[n];
    EXPECT_LE(art.height, 160) << paths[n];
    EXPECT_TRUE(art.baseline) << paths[n];
  }
  EXPECT_EQ(jpeg::Read(ReadFile(dir_ / "2.jpg")).height, 160);  // stood upright by its EXIF
  // The embedded cover is the track's own; the bare album borrows nobody's.
  auto embedded = LineFor(c.out, paths[3]);
  std::string track = (dir_ / "media" / "cd2" / "song.mp3").string();
  EXPECT_NE(embedded["art"].find(PathHash(track)), std::string::npos) << c.out;
  EXPECT_GT(jpeg::Read(ReadFile(dir_ / "3.jpg")).width, 0) << c.out;
  EXPECT_EQ(LineFor(c.out, paths[4])["art"], "none") << c.out;
  EXPECT_EQ(LineFor(c.out, paths[4])["caption"], "none") << c.out;
  // The video names its subtitle in the listing and to a television that asks.
  auto film = LineFor(c.out, paths[5]);
  std::string subtitle =
      kBase + "/subtitles/" + PathHash((dir_ / "media" / "films" / "Film.mp4").string()) + ".srt";
  EXPECT_EQ(film["caption"], subtitle) << c.out;
  EXPECT_EQ(film["captionheader"], subtitle) << c.out;
}

// VLC's UPnP discovery (libupnp) refuses loopback: the namespace gets a
// pair of virtual Ethernet links of its own, joined only to each other, and
// multicast goes out on one of them, where the server and VLC both listen.
TEST_F(UpnpClients, VlcDiscoversTheServerBrowsesToAnAlbumAndPlaysItWithItsCover) {
  WriteFile(dir_ / "music" / "cd1" / "cover.jpg", jpeg::Make(1200, 1000));
  WriteFile(dir_ / "music" / "cd1" / "song.mp3",
            id3::V2Tag(3, {id3::Text("TIT2", "Covered"), id3::Text("TALB", "With Art")}) +
                id3::AudioFrames(2000));
  WriteFile(dir_ / "music" / "cd3" / "song.mp3",
            id3::V2Tag(3, {id3::Text("TIT2", "Bare"), id3::Text("TALB", "Without")}) +
                id3::AudioFrames(2000));
  Share("music");
  ASSERT_TRUE(WriteServerName("Vlc Room"));
  ASSERT_NO_FATAL_FAILURE(AddLinkPair());
  Start({"--interface", "tv0"});
  // VLC refuses to run as root: as nobody, in a home of its own.
  passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  fs::path home = dir_ / "vlc-home";
  fs::create_directories(home);
  ASSERT_EQ(chown(home.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  fs::permissions(dir_, fs::perms::others_exec, fs::perm_options::add);
  Output v = Capture({"/usr/bin/python3", std::string(TARVEL_TEST_DIR) + "/vlc_client.py",
                      (dir_ / "vlc.log").string(), "20", "Vlc Room/Music/Albums/With Art",
                      "Vlc Room/Music/Albums/Without", "--", "runuser", "-u", "nobody", "--", "env",
                      "HOME=" + home.string(), "cvlc", "-I", "rc", "--rc-fake-tty", "--aout", "dummy",
                      "--no-video", "--services-discovery", "upnp", "--miface", "tv0", "-vv"},
                     90);
  ASSERT_EQ(v.status, 0) << v.out << v.err
                         << "\n(needs the packages vlc-bin and vlc-plugin-base: scripts/test.sh installs them)\n"
                         << Log() << Matching(ReadFile(dir_ / "vlc.log"), "upnp|error");
  const std::string base = "http://10.77.0.1:" + std::to_string(kPort);
  std::string covered = (dir_ / "music" / "cd1" / "song.mp3").string();
  auto with = LineFor(v.out, "Vlc Room/Music/Albums/With Art");
  EXPECT_EQ(with["input"], base + "/media/" + PathHash(covered) + ".mp3") << v.out;
  EXPECT_EQ(with["title"], "Covered") << v.out;
  EXPECT_EQ(with["playing"], "1") << v.out;
  EXPECT_EQ(with["length"], "52") << v.out;
  // What VLC fetched for the cover is the folder cover's JPEG_TN, as kept.
  std::string art = ReadFile(with["art"]);
  std::string cover = (dir_ / "music" / "cd1" / "cover.jpg").string();
  EXPECT_TRUE(art == ReadFile(dir_ / "thumbnails" / (PathHash(cover) + ".jpg"))) << v.out;
  jpeg::Picture small = jpeg::Read(art);
  EXPECT_EQ(small.width, 160);
  EXPECT_LE(small.height, 160);
  auto without = LineFor(v.out, "Vlc Room/Music/Albums/Without");
  EXPECT_EQ(without["title"], "Bare") << v.out;
  EXPECT_EQ(without["playing"], "1") << v.out;
  EXPECT_EQ(without["art"], "none") << v.out;
}
