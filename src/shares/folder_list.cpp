#include "shares/folder_list.h"

#include "shares/share_view.h"

void SharedFolderList::SetView(ShareView* view) {
  std::lock_guard lock(mutex_);
  view_ = view;
}

void SharedFolderList::Insert(int index, const std::string& text) {
  ShareView* view;
  {
    std::lock_guard lock(mutex_);
    if (index < 0 || index > static_cast<int>(items_.size())) index = static_cast<int>(items_.size());
    items_.insert(items_.begin() + index, text);
    selected_.insert(selected_.begin() + index, false);
    view = view_;
  }
  if (view) view->ItemInserted(index, text);
}

void SharedFolderList::Erase(int index) {
  ShareView* view;
  {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(items_.size())) return;
    items_.erase(items_.begin() + index);
    selected_.erase(selected_.begin() + index);
    view = view_;
  }
  if (view) view->ItemRemoved(index);
}

void SharedFolderList::Clear() {
  ShareView* view;
  {
    std::lock_guard lock(mutex_);
    items_.clear();
    selected_.clear();
    view = view_;
  }
  if (view) view->ItemsCleared();
}

int SharedFolderList::Size() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(items_.size());
}

std::string SharedFolderList::At(int index) const {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= static_cast<int>(items_.size())) return {};
  return items_[index];
}

std::vector<std::string> SharedFolderList::Items() const {
  std::lock_guard lock(mutex_);
  return items_;
}

int SharedFolderList::IndexOf(const std::string& text) const {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i] == text) return static_cast<int>(i);
  return -1;
}

void SharedFolderList::SetSelected(int index, bool selected) {
  std::lock_guard lock(mutex_);
  if (index >= 0 && index < static_cast<int>(selected_.size())) selected_[index] = selected;
}

std::vector<int> SharedFolderList::SelectedIndices() const {
  std::lock_guard lock(mutex_);
  std::vector<int> out;
  for (size_t i = 0; i < selected_.size(); ++i)
    if (selected_[i]) out.push_back(static_cast<int>(i));
  return out;
}
