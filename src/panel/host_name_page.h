// The Media Server Name page: shows the server's name and gives it a new one.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <functional>
#include <string>

#include "panel/ui/property_sheet.h"

class QLineEdit;

class HostNamePage : public ui::PropertyPage {
  Q_OBJECT
 public:
  explicit HostNamePage(QWidget* parent = nullptr);
  bool OnSetActive() override;
  void OnApplyName();
  // How the page restarts the server once the new name is written (the sheet
  // restarts it through its own server control).
  void SetRestartServer(std::function<void()> restart) { restart_ = std::move(restart); }

  QLineEdit* CurrentName() const { return current_; }
  QLineEdit* NewName() const { return new_; }
  QMessageBox* LastMessageBox() const { return lastMessage_; }

 private:
  void Message(const QString& text);
  QLineEdit* current_;
  QLineEdit* new_;
  std::string m_strNewName;
  std::string m_strServerName;
  std::function<void()> restart_;
  QPointer<QMessageBox> lastMessage_;
};
