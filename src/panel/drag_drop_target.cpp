#include "panel/drag_drop_target.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QWidget>
#include <cstdio>

#include "radio/station_downloader.h"
#include "radio/stations.h"

namespace {
constexpr const char* kUriList = "text/uri-list";

Qt::DropAction ToQt(DropEffect effect) {
  switch (effect) {
    case kDropCopy: return Qt::CopyAction;
    case kDropMove: return Qt::MoveAction;
    default: return Qt::IgnoreAction;
  }
}
}  // namespace

CDragDropTarget::CDragDropTarget(QObject* parent, DownloadLimits limits) : QObject(parent) {
  // Woken on the download thread: only posts the naming to this thread. The
  // downloader goes (its thread joined) before this object, so nothing is
  // posted to an object that is gone.
  downloader_ = std::make_unique<StationDownloader>(
      [this] { QMetaObject::invokeMethod(this, &CDragDropTarget::NameFinished, Qt::QueuedConnection); },
      limits);
}

CDragDropTarget::~CDragDropTarget() = default;

bool CDragDropTarget::Register(QWidget* window) {
  if (!window) return false;
  window->setAcceptDrops(true);
  window->installEventFilter(this);
  m_pWnd = window;
  return true;
}

bool CDragDropTarget::OffersText(const QMimeData* data) {
  return data && (data->hasText() || data->hasFormat(kUriList));
}

std::string CDragDropTarget::DroppedLink(const QMimeData* data) {
  if (!data) return {};
  if (data->hasFormat(kUriList)) {
    std::string link = LinkFromUriList(data->data(kUriList).toStdString());
    if (!link.empty()) return link;
  }
  return data->hasText() ? LinkFromDroppedText(data->text().toStdString()) : std::string();
}

Qt::DropAction CDragDropTarget::OnDragEnter(const QMimeData* data, Qt::KeyboardModifiers keys) const {
  return ToQt(DragEffect(DragPhase::Enter, OffersText(data), keys.testFlag(Qt::ControlModifier)));
}

Qt::DropAction CDragDropTarget::OnDragOver(const QMimeData* data, Qt::KeyboardModifiers keys) const {
  return ToQt(DragEffect(DragPhase::Over, OffersText(data), keys.testFlag(Qt::ControlModifier)));
}

bool CDragDropTarget::OnDrop(const QMimeData* data, Qt::KeyboardModifiers keys) {
  if (OffersText(data)) {
    const std::string link = DroppedLink(data);
    if (IsPlaylistLink(link)) downloader_->Submit(link, GetRadioFolder());
  }
  // Whether a station was stored or not: the drop itself went as shown.
  return DropReportsSuccess(
      DragEffect(DragPhase::Over, OffersText(data), keys.testFlag(Qt::ControlModifier)));
}

void CDragDropTarget::NameFinished() {
  for (const StationResult& result : downloader_->NameFinished()) {
    if (result.ok()) {
      emit stationStored(QString::fromStdString(result.name));
    } else {
      // Nothing to show on a window this small; the reason goes to the log.
      const std::string why = DescribeStationResult(result);
      fprintf(stderr, "tarvel: dropped link: %s\n", why.c_str());
      emit stationRefused(QString::fromStdString(why));
    }
  }
}

bool CDragDropTarget::eventFilter(QObject* watched, QEvent* event) {
  if (watched != m_pWnd) return QObject::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDragMoveEvent*>(event);
      const Qt::DropAction action = event->type() == QEvent::DragEnter
                                        ? OnDragEnter(drag->mimeData(), drag->modifiers())
                                        : OnDragOver(drag->mimeData(), drag->modifiers());
      if (action == Qt::IgnoreAction) {
        drag->ignore();
      } else {
        // An action the source does not offer becomes the one it proposes
        // (Qt's rule): a browser that offers its link for copy only gets a
        // copy instead of a refusal.
        drag->setDropAction(action);
        drag->accept();
      }
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      const Qt::DropAction action = OnDragOver(drop->mimeData(), drop->modifiers());
      if (OnDrop(drop->mimeData(), drop->modifiers()) && action != Qt::IgnoreAction) {
        drop->setDropAction(action);
        drop->accept();
      } else {
        drop->ignore();
      }
      return true;
    }
    default:
      return QObject::eventFilter(watched, event);
  }
}
