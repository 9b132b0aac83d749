// The sharing engine's view for a page of widgets. The engine calls it from
// whichever thread runs an operation; every call is queued, in order, to the
// page's (user-interface) thread, so no worker ever touches a widget.
#pragma once

#include <QPointer>
#include <atomic>

#include "shares/share_view.h"

class CSharedFolderPage;

class QtShareView : public ShareView {
 public:
  explicit QtShareView(CSharedFolderPage* page) : page_(page) {}
  void SetButtonsEnabled(bool enabled) override;
  void ShowWaitingLabel(const std::string& text) override;
  void HideWaitingLabel() override;
  void CreateProgress(int range) override;
  void SetProgress(int position) override;
  void DestroyProgress() override;
  void ItemInserted(int index, const std::string& text) override;
  void ItemRemoved(int index) override;
  void ItemsCleared() override;
  void ShowMessage(const std::string& text) override;
  void Warn(const std::string& text) override;

 private:
  template <typename F>
  void Post(F f);
  CSharedFolderPage* page_;
  // A walk steps the bar once a file: only the latest position is posted, and
  // only when the previous one has been shown.
  std::atomic<int> position_{0};
  std::atomic<bool> positionPosted_{false};
};
