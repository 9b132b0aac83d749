// What the user chose to share: whether the folder dialog ended with a
// folder chosen (the folder itself is the dialog's own answer). The media
// types the dialogs choose are those of scan/media_types.h.
#pragma once

#include <atomic>
#include <string>

#include "scan/media_types.h"

struct FolderPair {
  std::string label;
  std::string path;
};

// Whether the last run of the folder dialog ended with a folder chosen.
class CFolderSelection {
 public:
  static void SetChosen();
  static void ClearChosen();
  static bool IsChosen();

 private:
  static std::atomic<int> s_chosen;
};
