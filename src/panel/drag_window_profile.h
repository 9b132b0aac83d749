// The drop window's place and visibility, kept from one run to the next in
// the "DragWindow" section of the program's profile: an INI file named after
// the program in the user's config folder ($XDG_CONFIG_HOME, else ~/.config).
#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSettings>
#include <QSize>
#include <QString>
#include <optional>

// Where the drop window starts when nothing is stored.
inline constexpr QPoint kDefaultDropWindowPos(800, 50);

// The profile's path: <config folder>/tarvel.ini.
QString ProfilePath();

class DragWindowProfile {
 public:
  explicit DragWindowProfile(const QString& path = ProfilePath());

  // "Left" and "Top", when both are stored as numbers.
  std::optional<QPoint> Position() const;
  // "Visible"; shown unless it is stored as 0.
  bool Visible() const;

  void SetPosition(QPoint pos);
  void SetVisible(bool visible);
  // Writes what was set (also done soon by itself, and when destroyed).
  void Sync() { settings_.sync(); }

 private:
  QSettings settings_;
};

// Where a window of `size` goes: at `stored` when its centre lies on one of
// `screens`; otherwise at the default place, itself moved inside the first
// screen when its centre would be off every screen (a small display).
QPoint PlaceDropWindow(std::optional<QPoint> stored, QSize size, const QList<QRect>& screens);
