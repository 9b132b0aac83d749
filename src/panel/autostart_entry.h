// The XDG autostart entry that starts the control panel when the user logs
// in: $XDG_CONFIG_HOME/autostart/tarvel.desktop (else ~/.config/...). The
// tray menu's "Start at login" is checked exactly when the file is there.
#pragma once

#include <QString>
#include <QStringList>
#include <utility>

class AutostartEntry {
 public:
  AutostartEntry();  // the user's own
  explicit AutostartEntry(QString path) : path_(std::move(path)) {}

  const QString& Path() const { return path_; }
  bool Exists() const;
  // Writes an entry that runs `command` (program first); false, with the
  // reason in *error, when it cannot, and then nothing is left half written.
  bool Write(const QStringList& command, QString* error) const;
  bool Remove(QString* error) const;
  // Removes the entry when it is there, else writes one that starts this
  // panel on its data folder (the current folder); a failure is reported on
  // standard error.
  void Toggle() const;

  // The Exec value that runs `command`, quoted and escaped by the desktop
  // entry rules; empty when an argument cannot be written there (a control
  // character, or bytes that are not UTF-8).
  static QString ExecValue(const QStringList& command);

 private:
  QString path_;
};
