#include "panel/host_name_page.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <cerrno>
#include <cstring>

#include "panel/ui/commands.h"
#include "platform/server_control.h"
#include "platform/server_name.h"

HostNamePage::HostNamePage(QWidget* parent) : ui::PropertyPage(res::kHostNamePage, parent) {
  current_ = ControlAs<QLineEdit>(1024);
  new_ = ControlAs<QLineEdit>(1021);
  connect(ControlAs<QPushButton>(1022), &QPushButton::clicked, this, &HostNamePage::OnApplyName);
  // Enter in the new name applies it, as the page's default button.
  connect(new_, &QLineEdit::returnPressed, this, &HostNamePage::OnApplyName);
  restart_ = [] { ServerControl::AskToClose(), ServerControl::StartUnrecorded(); };
}

bool HostNamePage::OnSetActive() {
  m_strServerName = ReadServerName();
  const QByteArray bytes = QByteArray::fromStdString(m_strServerName);
  current_->setText(QString::fromUtf8(bytes));
  new_->setText(QString::fromStdString(m_strNewName));
  return true;
}

void HostNamePage::Message(const QString& text) {
  auto* box = new QMessageBox(QMessageBox::NoIcon, window()->windowTitle(), text, QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
  lastMessage_ = box;
}

void HostNamePage::OnApplyName() {
  m_strNewName = new_->text().toStdString();
  if (m_strNewName.empty()) {
    Message("Irregular name!");
    return;
  }
  if (m_strNewName.size() > kMaxServerName) {
    Message(QString("The name is %1 bytes long; at most %2 are allowed.")
                .arg(m_strNewName.size())
                .arg(kMaxServerName));
    return;
  }
  // The name is written before the server is touched: when it cannot be
  // written, the running server keeps its name and nothing else changes.
  if (!WriteServerName(m_strNewName)) {
    Message(QString("Cannot write %1: %2").arg(kServerNameFile, strerror(errno)));
    return;
  }
  restart_();
  m_strServerName = m_strNewName;
  m_strNewName.clear();
  current_->setText(QString::fromStdString(m_strServerName));
  new_->clear();
}
