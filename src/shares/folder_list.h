// The list of shared folders: the registry of what is shared. Each item is a
// shared folder's full path ending with '/'. Items can be selected, as in the
// page's list. Each call is safe from any thread, but the view hears of a
// change after the list's lock is let go: the engine changes it from one
// thread only (its worker, or the main thread of a command), so that the
// view hears of the changes in the order they were made.
#pragma once

#include <mutex>
#include <string>
#include <vector>

class ShareView;

class SharedFolderList {
 public:
  void SetView(ShareView* view);
  void Insert(int index, const std::string& text);
  void Erase(int index);
  void Clear();
  int Size() const;
  std::string At(int index) const;
  std::vector<std::string> Items() const;
  int IndexOf(const std::string& text) const;  // exact, or -1
  void SetSelected(int index, bool selected);
  std::vector<int> SelectedIndices() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> items_;
  std::vector<bool> selected_;
  ShareView* view_ = nullptr;
};
