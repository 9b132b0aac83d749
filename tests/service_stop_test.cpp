// `tarvel serve` stopped the ways its user service is stopped, in a private
// network namespace: SIGTERM to every process of the service at once (what
// systemd does to the service's control group), and SIGTERM to serve alone.
// Either way serve exits 0, its MediaServer ends, and the server's goodbye
// is heard on the SSDP group.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "netns.h"
#include "platform/presence.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPort = 49240;
const std::string kDevice = "urn:schemas-upnp-org:device:MediaServer:1";

// The children of `parent` that have not ended, by /proc/PID/stat.
std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> out;
  for (const auto& e : fs::directory_iterator("/proc")) {
    const pid_t pid = atoi(e.path().filename().c_str());
    if (pid <= 0) continue;
    const std::string stat = ReadFile(e.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size() || stat[close + 2] == 'Z') continue;
    if (atoi(stat.c_str() + close + 4) == parent) out.push_back(pid);
  }
  return out;
}

bool Ended(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

class ServiceStop : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    std::string why;
    if (!net_.Enter(&why)) GTEST_SKIP() << why;
    // What goes out on the SSDP group, NTS and NT a line.
    pid_t listener = fork();
    if (listener == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int fd = open("ssdp.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      execlp("timeout", "timeout", "60", "/usr/bin/python3",
             (std::string(TARVEL_TEST_DIR) + "/ssdp_listen.py").c_str(), nullptr);
      _exit(127);
    }
    listener_ = Child(listener);
    ASSERT_TRUE(Eventually([] { return ReadFile("ssdp.out").find("listening") != std::string::npos; }));
  }
  void TearDown() override {
    // Whatever is left of the service, also a server that outlived serve.
    if (serve_.Running()) kill(-serve_.Pid(), SIGKILL);
    if (server_ > 0 && !Ended(server_)) kill(server_, SIGKILL);
    serve_.Kill();
    listener_.Kill();
    EndLeftoverProcesses();
    CatalogTest::TearDown();
  }

  // `tarvel serve` in a process group of its own, as a service runs: its
  // MediaServer announced and done announcing (a server starting says
  // goodbye too, to clear what clients remember). Returns the server's pid.
  pid_t StartService() {
    pid_t serve = fork();
    if (serve == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      setpgid(0, 0);
      int log = open("serve.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(log, 1);
      dup2(log, 2);
      setenv("TARVEL_SERVER_INTERFACE", "lo", 1);
      setenv("TARVEL_SERVER_PORT", std::to_string(kPort).c_str(), 1);
      const std::string tarvel = BinDir() + "/tarvel";
      execl(tarvel.c_str(), tarvel.c_str(), "serve", nullptr);
      _exit(127);
    }
    serve_ = Child(serve);
    std::string heard;
    auto quietSince = std::chrono::steady_clock::now();
    const bool announced = Eventually([&] {
      const std::string now = ReadFile("ssdp.out");
      if (now != heard) quietSince = std::chrono::steady_clock::now();
      heard = now;
      return heard.find("ssdp:alive " + kDevice) != std::string::npos &&
             std::chrono::steady_clock::now() - quietSince > 600ms;
    }, 20s);
    EXPECT_TRUE(announced) << heard << ReadFile("serve.log");
    const std::vector<pid_t> servers = ChildrenOf(serve);
    EXPECT_EQ(servers.size(), 1u) << ReadFile("serve.log");
    server_ = announced && servers.size() == 1 ? servers[0] : -1;
    return server_;
  }

  // After the signal: serve exits 0, the server is gone and said goodbye.
  void ExpectCleanStop(pid_t server, size_t heardBefore) {
    EXPECT_EQ(serve_.Wait(20s), 0) << ReadFile("serve.log");
    EXPECT_TRUE(Eventually([&] { return Ended(server); }, 10s));
    EXPECT_TRUE(Eventually([&] {
      return ReadFile("ssdp.out").find("ssdp:byebye " + kDevice, heardBefore) != std::string::npos;
    }, 3s)) << ReadFile("ssdp.out").substr(heardBefore) << ReadFile("serve.log");
    EXPECT_FALSE(IsPresent(kServerTitle));
  }

  PrivateNetwork net_;
  Child listener_, serve_;
  pid_t server_ = -1;
};

}  // namespace

TEST_F(ServiceStop, SigtermToTheWholeServiceAtOnce) {
  const pid_t server = StartService();
  ASSERT_GT(server, 0);
  const size_t before = ReadFile("ssdp.out").size();
  ASSERT_EQ(getpgid(server), serve_.Pid());  // the server is one of the service's processes
  ASSERT_EQ(kill(-serve_.Pid(), SIGTERM), 0);
  ExpectCleanStop(server, before);
}

TEST_F(ServiceStop, SigtermToServeAloneEndsItsServerToo) {
  const pid_t server = StartService();
  ASSERT_GT(server, 0);
  const size_t before = ReadFile("ssdp.out").size();
  serve_.Signal(SIGTERM);
  ExpectCleanStop(server, before);
}
