// Video thumbnails made by the real child (MediaServer run again in its
// helper mode) from videos the test writes, and the parent's guard against
// children that hang, crash or answer nonsense.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "jpeg_builder.h"
#include "server/video_thumbnail.h"
#include "testing.h"
#include "video_builder.h"

using namespace std::chrono_literals;

namespace {

constexpr std::array<unsigned char, 3> kRed{220, 30, 30}, kGreen{30, 200, 40}, kBlue{30, 40, 220};

// Red to 0.32 s, green to 0.8 s, blue after: a tenth of four seconds is green.
std::array<unsigned char, 3> Phases(int frame) { return frame < 8 ? kRed : frame < 20 ? kGreen : kBlue; }

VideoThumbnailer Child() { return {{TARVEL_MEDIA_SERVER, kVideoThumbnailMode}, 10000ms}; }

class VideoThumbnail : public CatalogTest {
 protected:
  std::string ThumbnailOf(const std::string& name, const VideoThumbnailer& how = Child()) {
    int fd = open((dir_ / name).c_str(), O_RDONLY | O_CLOEXEC);
    std::string jpeg = MakeVideoThumbnail(fd, how);
    if (fd >= 0) close(fd);
    return jpeg;
  }
};

TEST_F(VideoThumbnail, AFrameATenthIntoTheVideoFitsTheBoxWithItsAspect) {
  ASSERT_TRUE(video::Write((dir_ / "clip.avi").string(), {}, Phases));
  jpeg::Picture wide = jpeg::Read(ThumbnailOf("clip.avi"));
  ASSERT_EQ(wide.width, 160);
  EXPECT_EQ(wide.height, 120);
  EXPECT_TRUE(wide.baseline);
  const unsigned char* middle = wide.At(80, 60);
  EXPECT_GT(middle[1], 150);
  EXPECT_LT(middle[0], 90);
  EXPECT_LT(middle[2], 90);
  // Another container, standing up, without a length the reader trusts less.
  video::Clip tall;
  tall.width = 240;
  tall.height = 320;
  tall.frames = 30;
  tall.format = "mp4";
  ASSERT_TRUE(video::Write((dir_ / "tall.mp4").string(), tall, [](int) { return kBlue; }));
  jpeg::Picture standing = jpeg::Read(ThumbnailOf("tall.mp4"));
  EXPECT_EQ(standing.width, 120);
  EXPECT_EQ(standing.height, 160);
  // A full HD frame fits within the child's bounds.
  video::Clip hd;
  hd.width = 1920;
  hd.height = 1080;
  hd.frames = 10;
  ASSERT_TRUE(video::Write((dir_ / "hd.avi").string(), hd, [](int) { return kGreen; }));
  jpeg::Picture broad = jpeg::Read(ThumbnailOf("hd.avi"));
  EXPECT_EQ(broad.width, 160);
  EXPECT_EQ(broad.height, 90);
}

TEST_F(VideoThumbnail, HostileVideosAndChildrenGiveNoThumbnailAndNeverHoldTheCaller) {
  std::mt19937 random(7);
  std::string noise(200 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  WriteFile(dir_ / "noise.avi", noise);
  EXPECT_EQ(ThumbnailOf("noise.avi"), "");
  // Cut off early: a thumbnail of what is there, or none; never a wrong one.
  ASSERT_TRUE(video::Write((dir_ / "clip.avi").string(), {}, Phases));
  std::string whole = ReadFile(dir_ / "clip.avi");
  WriteFile(dir_ / "cut.avi", whole.substr(0, whole.size() / 3));
  std::string cut = ThumbnailOf("cut.avi");
  if (!cut.empty()) {
    EXPECT_LE(jpeg::Read(cut).width, 160);
  }
  WriteFile(dir_ / "headless.avi", whole.substr(whole.size() / 3));
  EXPECT_EQ(ThumbnailOf("headless.avi"), "");

  // Children that hang, crash, send too much or send what is not a JPEG.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ThumbnailOf("clip.avi", {{"/bin/sleep", "60"}, 300ms}), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(ThumbnailOf("clip.avi", {{"/bin/sh", "-c", "kill -SEGV $$"}}), "");
  EXPECT_EQ(ThumbnailOf("clip.avi", {{"/bin/sh", "-c", "exec cat /dev/zero"}}), "");
  EXPECT_EQ(ThumbnailOf("clip.avi", {{"/bin/sh", "-c", "head -c 100 /dev/urandom"}}), "");
  EXPECT_EQ(ThumbnailOf("clip.avi", {{"/no/such/program"}}), "");
  // Each one was waited for.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  // The real child still makes the thumbnail of the same file.
  EXPECT_EQ(jpeg::Read(ThumbnailOf("clip.avi")).width, 160);
}

}  // namespace
