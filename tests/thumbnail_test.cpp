// JPEG_TN thumbnails and their cache, on real files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>

#include "jpeg_builder.h"
#include "server/thumbnail_maker.h"
#include "server/thumbnails.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

// Red on the left half, blue on the right.
void Halves(int x, int, unsigned char rgb[3], int width) {
  bool left = x < width / 2;
  rgb[0] = left ? 230 : 20;
  rgb[1] = 20;
  rgb[2] = left ? 20 : 230;
}

bool Reddish(const unsigned char* p) { return p[0] > 150 && p[2] < 100; }
bool Bluish(const unsigned char* p) { return p[2] > 150 && p[0] < 100; }

ThumbnailResult FromFile(const fs::path& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ThumbnailResult r = MakeThumbnailFromFd(fd);
  if (fd >= 0) close(fd);
  return r;
}

class ThumbnailMaking : public CatalogTest {};

TEST_F(ThumbnailMaking, FitsTheBoxKeepsTheAspectAndTurnsAsTheExifSays) {
  const int w = 1200, h = 800;
  auto halves = [](int x, int y, unsigned char rgb[3]) { Halves(x, y, rgb, w); };
  // Upright: 160 x 107, red left, blue right, baseline.
  std::string upright = jpeg::Make(w, h, 0, halves);
  jpeg::Picture t = jpeg::Read(
      MakeThumbnail(reinterpret_cast<const unsigned char*>(upright.data()), upright.size()).jpeg);
  ASSERT_EQ(t.width, 160);
  EXPECT_EQ(t.height, 107);
  EXPECT_TRUE(t.baseline);
  EXPECT_TRUE(Reddish(t.At(10, 50)));
  EXPECT_TRUE(Bluish(t.At(150, 50)));
  // "Turn right to show" (6): the left of the stored picture becomes the top.
  WriteFile(dir_ / "turned.jpg", jpeg::Make(w, h, 6, halves));
  ThumbnailResult r = FromFile(dir_ / "turned.jpg");
  t = jpeg::Read(r.jpeg);
  ASSERT_EQ(t.width, 107) << r.error;
  EXPECT_EQ(t.height, 160);
  EXPECT_TRUE(Reddish(t.At(50, 10)));
  EXPECT_TRUE(Bluish(t.At(50, 150)));
  // Upside down (3): the red half is on the right.
  WriteFile(dir_ / "upside.jpg", jpeg::Make(w, h, 3, halves));
  t = jpeg::Read(FromFile(dir_ / "upside.jpg").jpeg);
  ASSERT_EQ(t.width, 160);
  EXPECT_TRUE(Reddish(t.At(150, 50)));
  EXPECT_TRUE(Bluish(t.At(10, 50)));
  // A picture smaller than the box keeps its size.
  WriteFile(dir_ / "small.jpg", jpeg::Make(90, 40));
  t = jpeg::Read(FromFile(dir_ / "small.jpg").jpeg);
  EXPECT_EQ(t.width, 90);
  EXPECT_EQ(t.height, 40);
  // A tall strip: one pixel wide at least.
  WriteFile(dir_ / "strip.jpg", jpeg::Make(8, 4000));
  t = jpeg::Read(FromFile(dir_ / "strip.jpg").jpeg);
  EXPECT_EQ(t.width, 1);
  EXPECT_EQ(t.height, 160);
}

TEST_F(ThumbnailMaking, BadPicturesGiveNoThumbnail) {
  std::string good = jpeg::Make(640, 480);
  // Not what its name says: a PNG, text, nothing.
  WriteFile(dir_ / "png.jpg", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + std::string(200, 'x'));
  WriteFile(dir_ / "text.jpg", "just some words, not a picture");
  WriteFile(dir_ / "empty.jpg", "");
  // Cut in the middle of its picture data, and in its header.
  WriteFile(dir_ / "cut.jpg", good.substr(0, good.size() / 2));
  WriteFile(dir_ / "cut-header.jpg", good.substr(0, 100));
  for (const char* name : {"png.jpg", "text.jpg", "empty.jpg", "cut.jpg", "cut-header.jpg"}) {
    ThumbnailResult r = FromFile(dir_ / name);
    EXPECT_TRUE(r.jpeg.empty()) << name;
    EXPECT_FALSE(r.error.empty()) << name;
  }
  EXPECT_FALSE(FromFile(dir_ / "missing.jpg").error.empty());
  // A folder is no picture.
  EXPECT_TRUE(FromFile(dir_).jpeg.empty());
}

// The frame header claims 30,000 x 30,000 (2.7 GB of pixels): refused from
// the header, before a single pixel is decoded.
TEST_F(ThumbnailMaking, AHugePictureIsRefusedByItsHeader) {
  std::string bomb = jpeg::Make(64, 64);
  size_t sof = bomb.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  // Marker, length (2), precision (1), then height and width.
  bomb[sof + 5] = static_cast<char>(30000 >> 8);
  bomb[sof + 6] = static_cast<char>(30000 & 0xFF);
  bomb[sof + 7] = static_cast<char>(30000 >> 8);
  bomb[sof + 8] = static_cast<char>(30000 & 0xFF);
  auto start = std::chrono::steady_clock::now();
  ThumbnailResult r = MakeThumbnail(reinterpret_cast<const unsigned char*>(bomb.data()), bomb.size());
  EXPECT_TRUE(r.jpeg.empty());
  EXPECT_NE(r.error.find("too large"), std::string::npos) << r.error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(ThumbnailMaking, ExifOrientationIsReadSafely) {
  const unsigned char big[] = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                               0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 8, 0, 0};
  EXPECT_EQ(ExifOrientation(big, sizeof big), 8);
  // Cut before the value, an IFD past the end, a count beyond the data, a value out of range.
  EXPECT_EQ(ExifOrientation(big, 24), 1);
  unsigned char far[sizeof big];
  memcpy(far, big, sizeof big);
  far[13] = 200;
  EXPECT_EQ(ExifOrientation(far, sizeof far), 1);
  memcpy(far, big, sizeof big);
  far[14] = far[15] = 0xFF;
  far[16] = 0x00;  // not the orientation tag: the walk goes on past the end
  EXPECT_EQ(ExifOrientation(far, sizeof far), 1);
  memcpy(far, big, sizeof big);
  far[25] = 9;
  EXPECT_EQ(ExifOrientation(far, sizeof far), 1);
  EXPECT_EQ(ExifOrientation(big, 5), 1);
}

// ---- the cache ---------------------------------------------------------------

class ThumbnailCache : public CatalogTest {
 protected:
  // The picture `name` in the test folder, with its key.
  static std::string Key(int i) {
    char key[17];
    snprintf(key, sizeof key, "%016x", i);
    return key;
  }
  int Open(const std::string& name) { return open((dir_ / name).c_str(), O_RDONLY | O_CLOEXEC); }
  // Asks and waits (at most 10 s) for the answer.
  std::string Get(Thumbnails& cache, const std::string& key, const std::string& name) {
    auto answer = std::make_shared<std::promise<std::string>>();
    std::future<std::string> got = answer->get_future();
    if (!cache.Request(key, Open(name), [answer](const std::string& jpeg) { answer->set_value(jpeg); }))
      return "refused";
    if (got.wait_for(10s) != std::future_status::ready) return "timeout";
    return got.get();
  }
};

TEST_F(ThumbnailCache, KeepsThumbnailsAcrossRestartsAndRemakesAChangedPicture) {
  WriteFile(dir_ / "a.jpg", jpeg::Make(800, 600));
  fs::path folder = dir_ / "thumbnails";
  {
    Thumbnails cache(folder.string());
    ASSERT_TRUE(cache.Enabled());
    int fd = Open("a.jpg");
    EXPECT_FALSE(cache.Cached(Key(1), fd));
    close(fd);
    std::string made = Get(cache, Key(1), "a.jpg");
    EXPECT_EQ(jpeg::Read(made).width, 160);
    EXPECT_EQ(ReadFile(folder / (Key(1) + ".jpg")), made);
    EXPECT_EQ(cache.Count(), 1u);
  }
  // A new run finds it without making it again.
  Thumbnails cache(folder.string());
  EXPECT_EQ(cache.Count(), 1u);
  int fd = Open("a.jpg");
  std::optional<std::string> kept = cache.Cached(Key(1), fd);
  ASSERT_TRUE(kept);
  EXPECT_EQ(jpeg::Read(*kept).width, 160);
  close(fd);
  // The picture changes (another size, a later time): the kept one is stale.
  WriteFile(dir_ / "a.jpg", jpeg::Make(600, 800));
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 5, 0}};
  utimensat(AT_FDCWD, (dir_ / "a.jpg").c_str(), later, 0);
  fd = Open("a.jpg");
  EXPECT_FALSE(cache.Cached(Key(1), fd));
  close(fd);
  EXPECT_EQ(jpeg::Read(Get(cache, Key(1), "a.jpg")).height, 160);
  fd = Open("a.jpg");
  EXPECT_TRUE(cache.Cached(Key(1), fd));
  close(fd);
  // Half-written leftovers of a crash go at start.
  WriteFile(folder / (Key(7) + ".part"), "half");
  Thumbnails again(folder.string());
  EXPECT_FALSE(fs::exists(folder / (Key(7) + ".part")));
}

TEST_F(ThumbnailCache, StaysWithinItsSizeDroppingTheLeastRecentlyUsed) {
  for (int i = 0; i < 6; ++i)
    WriteFile(dir_ / ("p" + std::to_string(i) + ".jpg"), jpeg::Make(400 + i * 10, 300, 0, [i](int x, int y, unsigned char p[3]) {
                p[2] = static_cast<unsigned char>((x * y + i * 31) % 256);
              }));
  fs::path folder = dir_ / "thumbnails";
  uint64_t one;
  {
    Thumbnails probe((dir_ / "probe").string());
    one = Get(probe, Key(0), "p0.jpg").size();
  }
  // Room for three and a bit.
  Thumbnails cache(folder.string(), one * 3 + one / 2, 1);
  for (int i = 0; i < 3; ++i) ASSERT_NE(Get(cache, Key(i), "p" + std::to_string(i) + ".jpg").size(), 0u);
  // 0 is used again: 1 is now the least recently used.
  int fd = Open("p0.jpg");
  EXPECT_TRUE(cache.Cached(Key(0), fd));
  close(fd);
  Get(cache, Key(3), "p3.jpg");
  EXPECT_LE(cache.Bytes(), one * 3 + one / 2);
  EXPECT_TRUE(fs::exists(folder / (Key(0) + ".jpg")));
  EXPECT_FALSE(fs::exists(folder / (Key(1) + ".jpg")));
  EXPECT_TRUE(fs::exists(folder / (Key(3) + ".jpg")));
  // What is no longer catalogued goes.
  cache.Retain({Key(3)});
  EXPECT_TRUE(Eventually([&] { return cache.Count() == 1; }));
  EXPECT_FALSE(fs::exists(folder / (Key(0) + ".jpg")));
  EXPECT_TRUE(fs::exists(folder / (Key(3) + ".jpg")));
}

TEST_F(ThumbnailCache, ManyAsksForOnePictureMakeItOnceAndBadOnesGetNothing) {
  WriteFile(dir_ / "a.jpg", jpeg::Make(2000, 1500));
  WriteFile(dir_ / "bad.jpg", "not a picture at all");
  Thumbnails cache((dir_ / "thumbnails").string(), Thumbnails::kDefaultMaxBytes, 2);
  std::mutex m;
  std::vector<std::string> answers;
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(cache.Request(Key(1), Open("a.jpg"), [&](const std::string& jpeg) {
      std::lock_guard<std::mutex> lock(m);
      answers.push_back(jpeg);
    }));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(m);
    return answers.size() == 20;
  }, 10s));
  for (const auto& a : answers) EXPECT_EQ(a, answers[0]);
  EXPECT_EQ(jpeg::Read(answers[0]).width, 160);
  EXPECT_EQ(Get(cache, Key(2), "bad.jpg"), "");
  EXPECT_FALSE(fs::exists(dir_ / "thumbnails" / (Key(2) + ".jpg")));
  // Keys are 16 hex digits and nothing else: never a path.
  EXPECT_EQ(Get(cache, "../../etc/passwd", "a.jpg"), "refused");
  // No descriptor is left open by the asks that waited on another.
  EXPECT_TRUE(Eventually([&] {
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) n += fs::read_symlink(e.path()).filename() == "a.jpg";
    return n == 0;
  }));
}

TEST_F(ThumbnailCache, AFolderThatCannotBeWrittenMeansNoThumbnailsSaidOnce) {
  WriteFile(dir_ / "thumbnails", "a file where the folder should be");
  WriteFile(dir_ / "a.jpg", jpeg::Make(300, 200));
  testing::internal::CaptureStderr();
  {
    Thumbnails cache((dir_ / "thumbnails").string());
    EXPECT_FALSE(cache.Enabled());
    EXPECT_EQ(Get(cache, Key(1), "a.jpg"), "refused");
    EXPECT_EQ(Get(cache, Key(2), "a.jpg"), "refused");
  }
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("serving without thumbnails"), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  // A folder that goes away while we run: each thumbnail is still made and
  // answered, and that they cannot be kept is said once.
  fs::remove(dir_ / "thumbnails");
  testing::internal::CaptureStderr();
  {
    Thumbnails cache((dir_ / "thumbnails").string());
    ASSERT_TRUE(cache.Enabled());
    fs::remove_all(dir_ / "thumbnails");
    EXPECT_EQ(jpeg::Read(Get(cache, Key(1), "a.jpg")).width, 160);
    EXPECT_EQ(jpeg::Read(Get(cache, Key(2), "a.jpg")).width, 160);
    EXPECT_EQ(cache.Count(), 0u);
  }
  said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("cannot keep thumbnails"), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}


TEST_F(ThumbnailCache, AFileThatGaveNoThumbnailIsNotTriedAgainUntilItChanges) {
  WriteFile(dir_ / "clip.avi", "frames that give no picture");
  Thumbnails cache((dir_ / "thumbnails").string());
  std::atomic<int> tries{0};
  auto get = [&] {
    auto answer = std::make_shared<std::promise<std::string>>();
    std::future<std::string> got = answer->get_future();
    Thumbnails::Maker make = [&](int) { ++tries; return std::string(); };
    if (!cache.Request(Key(7), Open("clip.avi"), make, [answer](const std::string& j) { answer->set_value(j); }))
      return std::string("refused");
    return got.wait_for(10s) == std::future_status::ready ? got.get() : "timeout";
  };
  EXPECT_EQ(get(), "");
  EXPECT_EQ(get(), "");
  EXPECT_EQ(tries, 1);
  fs::last_write_time(dir_ / "clip.avi", fs::last_write_time(dir_ / "clip.avi") + 10s);
  EXPECT_EQ(get(), "");
  EXPECT_EQ(tries, 2);
  // A file that goes from the catalogue is forgotten with its thumbnail.
  cache.Retain({});
  EXPECT_EQ(get(), "");
  EXPECT_EQ(tries, 3);
}

}  // namespace
