#include "tree_gen.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "id3_builder.h"

namespace fs = std::filesystem;

void GenerateTree(const std::string& root, int files) {
  const std::string audio = id3::AudioFrames(8);
  for (int i = 0; i < files; ++i) {
    int folder = i / 50;
    fs::path dir = fs::path(root) / ("artist" + std::to_string(folder / 40)) /
                   ("album" + std::to_string(folder / 8 % 5)) / ("disc" + std::to_string(folder % 8));
    if (i % 50 == 0) fs::create_directories(dir);
    std::string name, bytes;
    switch (i % 10) {
      case 0: case 1: case 2: case 3: {
        name = "Track " + std::to_string(i) + ".mp3";
        bytes = id3::V2Tag(3, {id3::Text("TIT2", "Title Number " + std::to_string(i)),
                               id3::Text("TPE1", "Artist " + std::to_string(folder / 40)),
                               id3::Text("TALB", "Album " + std::to_string(folder)),
                               id3::Text("TCON", "(" + std::to_string(i % 148) + ")")}) +
                audio + id3::V1Tag("Title " + std::to_string(i), "Artist", "Album", i % 148);
        break;
      }
      case 4: case 5: case 6: name = "photo" + std::to_string(i) + ".jpg"; bytes = std::string(2048, 'j'); break;
      case 7: name = "clip" + std::to_string(i) + ".avi"; bytes = std::string(4096, 'v'); break;
      case 8: name = "notes" + std::to_string(i) + ".txt"; bytes = "notes"; break;
      default: name = "cover" + std::to_string(i) + ".png"; bytes = std::string(1024, 'p'); break;
    }
    std::ofstream(dir / name, std::ios::binary) << bytes;
  }
}

double Seconds(const std::function<void()>& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int RunToEnd(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
