// MediaServer as players other than GUPnP's meet it: a node control point
// from the npm registry and VLC, each test in a private network namespace.
// Their tools are installed by scripts/test.sh: a missing one fails the test.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
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
  void Start() {
    server_ = StartMediaServer(kPort, dir_ / "server.log");
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
