#include "panel/drag_window_profile.h"

#include <QStandardPaths>
#include <algorithm>

namespace {
constexpr const char* kLeft = "DragWindow/Left";
constexpr const char* kTop = "DragWindow/Top";
constexpr const char* kVisible = "DragWindow/Visible";

std::optional<int> StoredInt(const QSettings& settings, const char* key) {
  bool ok = false;
  const int value = settings.value(key).toString().trimmed().toInt(&ok);
  return ok ? std::optional<int>(value) : std::nullopt;
}

bool OnAScreen(QPoint pos, QSize size, const QList<QRect>& screens) {
  const QPoint centre = pos + QPoint(size.width() / 2, size.height() / 2);
  return std::any_of(screens.begin(), screens.end(), [&](const QRect& s) { return s.contains(centre); });
}
}  // namespace

QString ProfilePath() {
  // Honours XDG_CONFIG_HOME; ~/.config without it.
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/tarvel.ini";
}

DragWindowProfile::DragWindowProfile(const QString& path) : settings_(path, QSettings::IniFormat) {}

std::optional<QPoint> DragWindowProfile::Position() const {
  const auto left = StoredInt(settings_, kLeft), top = StoredInt(settings_, kTop);
  if (!left || !top) return std::nullopt;
  return QPoint(*left, *top);
}

bool DragWindowProfile::Visible() const { return StoredInt(settings_, kVisible).value_or(1) != 0; }

void DragWindowProfile::SetPosition(QPoint pos) {
  settings_.setValue(kLeft, pos.x());
  settings_.setValue(kTop, pos.y());
}

void DragWindowProfile::SetVisible(bool visible) { settings_.setValue(kVisible, visible ? 1 : 0); }

QPoint PlaceDropWindow(std::optional<QPoint> stored, QSize size, const QList<QRect>& screens) {
  if (screens.isEmpty()) return stored.value_or(kDefaultDropWindowPos);
  if (stored && OnAScreen(*stored, size, screens)) return *stored;
  if (OnAScreen(kDefaultDropWindowPos, size, screens)) return kDefaultDropWindowPos;
  const QRect& first = screens.front();
  const int x = std::clamp(kDefaultDropWindowPos.x(), first.left(),
                           std::max(first.left(), first.right() + 1 - size.width()));
  const int y = std::clamp(kDefaultDropWindowPos.y(), first.top(),
                           std::max(first.top(), first.bottom() + 1 - size.height()));
  return QPoint(x, y);
}
