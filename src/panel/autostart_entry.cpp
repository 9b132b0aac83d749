#include "panel/autostart_entry.h"

#include "platform/process.h"

#include <cstdio>
#include <filesystem>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString ConfigHome() {
  // A relative XDG_CONFIG_HOME is to be ignored, as the base directory rules say.
  const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (xdg.startsWith('/')) return xdg;
  return QDir::homePath() + "/.config";
}

// The characters the desktop entry rules reserve in an Exec argument: one
// that holds any of them goes in double quotes.
bool NeedsQuotes(const QString& arg) {
  static const QString kReserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#`()");
  if (arg.isEmpty()) return true;
  for (QChar c : arg)
    if (kReserved.contains(c)) return true;
  return false;
}

QString QuoteArgument(const QString& arg) {
  if (!NeedsQuotes(arg)) return arg;
  QString quoted = "\"";
  for (QChar c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace

AutostartEntry::AutostartEntry() : path_(ConfigHome() + "/autostart/tarvel.desktop") {}

bool AutostartEntry::Exists() const { return QFileInfo::exists(path_); }

QString AutostartEntry::ExecValue(const QStringList& command) {
  QStringList args;
  for (const QString& arg : command) {
    // A file name that is not UTF-8 comes back with U+FFFD in its place; it
    // would name another file.
    for (QChar c : arg)
      if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QChar::ReplacementCharacter) return {};
    // Field codes: a literal '%' is written twice.
    args << QuoteArgument(arg).replace('%', "%%");
  }
  // The string escapes of every value come on top of the quoting, so each
  // backslash is written twice once more.
  return args.join(' ').replace('\\', "\\\\");
}

bool AutostartEntry::Write(const QStringList& command, QString* error) const {
  const QString exec = ExecValue(command);
  if (exec.isEmpty()) {
    *error = "cannot start " + command.join(' ') + " from an autostart entry: a control character "
             "or a name that is not UTF-8";
    return false;
  }
  if (!QDir().mkpath(QFileInfo(path_).path())) {
    *error = "cannot make the folder of " + path_;
    return false;
  }
  QSaveFile file(path_);
  if (!file.open(QIODevice::WriteOnly)) {
    *error = "cannot write " + path_ + ": " + file.errorString();
    return false;
  }
  const QString text = QStringLiteral(
                           "[Desktop Entry]\n"
                           "Type=Application\n"
                           "Name=Tarvel Media Server\n"
                           "Comment=Starts the media server's control panel at login\n"
                           "Exec=%1\n"
                           "Icon=tarvel\n"
                           "Terminal=false\n")
                           .arg(exec);
  file.write(text.toUtf8());
  if (!file.commit()) {
    *error = "cannot write " + path_ + ": " + file.errorString();
    return false;
  }
  return true;
}

bool AutostartEntry::Remove(QString* error) const {
  QFile file(path_);
  if (file.remove() || !file.exists()) return true;
  *error = "cannot remove " + path_ + ": " + file.errorString();
  return false;
}

void AutostartEntry::Toggle() const {
  QString error;
  bool ok;
  if (Exists()) {
    ok = Remove(&error);
  } else {
    // The panel runs in its data folder; the entry names both by full path,
    // so that it starts the same panel on the same catalogue.
    std::error_code ec;
    const std::string here = std::filesystem::current_path(ec).string();
    if (ec) {
      ok = false;
      error = "cannot tell the data folder: " + QString::fromStdString(ec.message());
    } else {
      // tarvel rather than tarvel-panel, which it starts: the entry names the
      // program a user would type.
      const std::string tarvel = FindProgram("tarvel");
      const QString program = tarvel.empty() ? QCoreApplication::applicationFilePath()
                                             : QString::fromStdString(tarvel);
      ok = Write({program, "--data-dir", QString::fromUtf8(here)}, &error);
    }
  }
  if (!ok) fprintf(stderr, "tarvel: %s\n", qPrintable(error));
}
