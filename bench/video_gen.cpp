// Writes the videos of the video thumbnail benchmark: `count` MPEG-4 AVI
// clips of `seconds` at 1280 x 720, 25 frames a second, each of its own
// colours, as v0000.avi, v0001.avi, ... in `folder`.
//   bench_videos count folder [seconds]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "video_builder.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: bench_videos count folder [seconds]\n");
    return 2;
  }
  int count = atoi(argv[1]), seconds = argc > 3 ? atoi(argv[3]) : 10;
  for (int i = 0; i < count; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/v%04d.avi", i);
    video::Clip clip;
    clip.width = 1280;
    clip.height = 720;
    clip.frames = seconds * clip.fps;
    clip.keyEvery = 50;
    auto colour = [i](int frame) {
      return std::array<unsigned char, 3>{static_cast<unsigned char>(i * 37), static_cast<unsigned char>(frame),
                                          static_cast<unsigned char>(255 - frame)};
    };
    if (!video::Write(argv[2] + std::string(name), clip, colour)) {
      fprintf(stderr, "bench_videos: cannot write %s%s\n", argv[2], name);
      return 1;
    }
  }
  printf("%d videos in %s\n", count, argv[2]);
  return 0;
}
