// What clients rely on from MediaServer, each case in a private network
// namespace: partial replies that end when their range does, page limits,
// Search totals and errors, and a goodbye on the network when it is ended.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "id3_builder.h"
#include "platform/presence.h"
#include "platform/runtime_dir.h"
#include "server/content.h"
#include "server/directory.h"
#include "server_net.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPort = 49230;
const std::string kBase = "http://127.0.0.1:" + std::to_string(kPort);

class ServerContract : public NetworkTest {
 protected:
  void TearDown() override {
    if (server_ > 0) {
      kill(server_, SIGKILL);
      waitpid(server_, nullptr, 0);
    }
    CatalogTest::TearDown();
  }

  // MediaServer on loopback, answering HTTP.
  void Start() {
    server_ = StartMediaServer(kPort, dir_ / "server.log");
    ASSERT_TRUE(Eventually([] { return PortOpen(kPort); })) << ReadFile("server.log");
  }
  // The server's exit code, or -1 when it is still running after `limit`.
  int WaitForServer(std::chrono::milliseconds limit) {
    int status = 0;
    if (!Eventually([&] { return waitpid(server_, &status, WNOHANG) == server_; }, limit)) return -1;
    server_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string Soap(const std::string& action, const std::string& args) {
    WriteFile("soap.xml",
              "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
                  action + " xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">" + args +
                  "</u:" + action + "></s:Body></s:Envelope>");
    return Capture({"curl", "-s", "-m", "10", "-H", "Content-Type: text/xml; charset=\"utf-8\"", "-H",
                    "SOAPAction: \"urn:schemas-upnp-org:service:ContentDirectory:1#" + action + "\"",
                    "--data-binary", "@soap.xml", kBase + "/ContentDirectory/control"})
        .out;
  }
  std::string Search(const std::string& container, const std::string& criteria,
                     const std::string& count) {
    return Soap("Search", "<ContainerID>" + container + "</ContainerID><SearchCriteria>" + criteria +
                              "</SearchCriteria><Filter>*</Filter><StartingIndex>0</StartingIndex>"
                              "<RequestedCount>" + count +
                              "</RequestedCount><SortCriteria></SortCriteria>");
  }

  void Share(const std::string& folder) {
    RunResult r = RunProgram("tarvel", {"share", folder});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  pid_t server_ = -1;
};

CatalogueRows::Media Song(int n) {
  std::string name = "t" + std::to_string(n);
  return {MediaKind::Audio, name, "Others", "Others", "Others", "/m/", "/m/" + name + ".mp3", "/m/"};
}

PagingArgs Page(const std::string& count) { return {"0", count, ""}; }

}  // namespace

// A seek is a Range request: the reply says the length of the range, and the
// client's transfer ends with the range instead of waiting out a time-out.
TEST_F(ServerContract, APartialReplyIsAsLongAsItsRange) {
  std::string song = id3::V2Tag(3, {id3::Text("TIT2", "Seek")}) + id3::AudioFrames(400);
  WriteFile(dir_ / "music" / "song.mp3", song);
  Share((dir_ / "music").string());
  Start();
  const std::string path = (dir_ / "music" / "song.mp3").string();
  const std::string url = kBase + "/media/" + PathHash(path) + ".mp3";
  ASSERT_TRUE(Eventually([&] { return Capture({"curl", "-s", "-f", "-I", url}).status == 0; }));
  for (auto [range, first, length] : {std::tuple{"1000-1999", 1000ul, 1000ul},
                                      {"-100", song.size() - 100, 100ul},
                                      {"5000-", 5000ul, song.size() - 5000}}) {
    SCOPED_TRACE(range);
    auto begin = std::chrono::steady_clock::now();
    Output r = Capture({"curl", "-s", "-m", "8", "-D", "-", "-o", "body", "-r", range, url}, 15);
    EXPECT_EQ(r.status, 0) << "the transfer did not end with the range";
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_NE(r.out.find("HTTP/1.1 206"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Content-Length: " + std::to_string(length) + "\r\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(ReadFile("body"), song.substr(first, length));
  }
}

// One answer holds at most kMaxPage entries, however many are asked for, and
// says how many there are in all.
TEST(ServerPaging, RequestedCountsAreCappedAndTotalsCountEveryMatch) {
  CatalogueRows rows;
  for (unsigned i = 0; i < kMaxPage + 3; ++i) rows.media.push_back(Song(static_cast<int>(i)));
  auto content = Content::Build(rows, {}, false);
  for (const std::string& count : {std::string("0"), std::to_string(kMaxPage + 1), std::string("4294967295")}) {
    SCOPED_TRACE(count);
    DirectoryAnswer b = Browse(*content, "", "music/all", "BrowseDirectChildren", Page(count));
    EXPECT_EQ(b.returned, kMaxPage);
    EXPECT_EQ(b.total, kMaxPage + 3);
    DirectoryAnswer s = Search(*content, "", "0", {}, Page(count));
    EXPECT_EQ(s.returned, kMaxPage);
    EXPECT_EQ(s.total, kMaxPage + 3);
  }
  DirectoryAnswer s = Search(*content, "", "0", {}, Page("2"));
  EXPECT_EQ(s.returned, 2u);
  EXPECT_EQ(s.total, kMaxPage + 3);
  EXPECT_EQ(Search(*content, "", "no-such-container", {}, Page("0")).error, 701);
  EXPECT_EQ(Search(*content, "", "music/all:" + PathHash("/m/t1.mp3"), {}, Page("0")).error, 710);
}

// Over the network: TotalMatches counts every match, not the page; a Search
// in a container that does not exist is an error, not an empty answer.
TEST_F(ServerContract, SearchTotalsAndUnknownContainers) {
  for (const char* title : {"One", "Two", "Three"}) {
    std::string song = id3::V2Tag(3, {id3::Text("TIT2", title)}) + id3::AudioFrames(20);
    WriteFile(dir_ / "music" / (std::string(title) + ".mp3"), song);
  }
  Share((dir_ / "music").string());
  Start();
  std::string page;
  ASSERT_TRUE(Eventually([&] {
    page = Search("0", "*", "2");
    return page.find("<TotalMatches>3</TotalMatches>") != std::string::npos;
  }, 20s)) << page;  // a sanitised server beside other tests takes its time
  EXPECT_NE(page.find("<NumberReturned>2</NumberReturned>"), std::string::npos) << page;
  page = Search("0", "dc:title contains &quot;t&quot;", "1");  // Two, Three
  EXPECT_NE(page.find("<NumberReturned>1</NumberReturned><TotalMatches>2</TotalMatches>"),
            std::string::npos) << page;
  page = Search("no-such-container", "*", "0");
  EXPECT_NE(page.find("<errorCode>701</errorCode>"), std::string::npos) << page;
  const std::string item = "music/all:" + PathHash((dir_ / "music" / "One.mp3").string());
  page = Search(item, "*", "0");  // an item, not a container
  EXPECT_NE(page.find("<errorCode>710</errorCode>"), std::string::npos) << page;
}

// SIGTERM is an orderly end: a byebye for the device on the network, exit
// status 0, and no description folder left behind.
TEST_F(ServerContract, SigtermSaysGoodbyeAndLeavesNothingBehind) {
  pid_t listener = fork();
  if (listener == 0) {
    int fd = open("ssdp.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    execlp("timeout", "timeout", "30", "/usr/bin/python3",
           (std::string(TARVEL_TEST_DIR) + "/ssdp_listen.py").c_str(), nullptr);
    _exit(127);
  }
  struct Reap {
    pid_t pid;
    ~Reap() {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  } reap{listener};
  ASSERT_TRUE(Eventually([] { return ReadFile("ssdp.out").find("listening") != std::string::npos; }));
  Start();
  const std::string device = "urn:schemas-upnp-org:device:MediaServer:1";
  // Announced, and done announcing: nothing new heard for a while.
  std::string heard;
  auto quietSince = std::chrono::steady_clock::now();
  ASSERT_TRUE(Eventually([&] {
    std::string now = ReadFile("ssdp.out");
    if (now != heard) quietSince = std::chrono::steady_clock::now();
    heard = now;
    return heard.find("ssdp:alive " + device) != std::string::npos &&
           std::chrono::steady_clock::now() - quietSince > 600ms;
  }, 15s)) << heard;
  auto folders = [] {
    int n = 0;
    for (const auto& e : fs::directory_iterator(RuntimeDir())) n += e.is_directory();
    return n;
  };
  EXPECT_EQ(folders(), 1);  // its description, while it runs
  const size_t before = ReadFile("ssdp.out").size();
  kill(server_, SIGTERM);
  EXPECT_EQ(WaitForServer(10s), 0) << ReadFile("server.log");
  EXPECT_TRUE(Eventually([&] {
    return ReadFile("ssdp.out").find("ssdp:byebye " + device, before) != std::string::npos;
  }, 2s)) << ReadFile("ssdp.out").substr(before);
  EXPECT_EQ(folders(), 0);
  EXPECT_FALSE(IsPresent(kServerTitle));
}
