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

std::vector<std::string> CDragDropTarget::DroppedLinks(const QMimeData* data, size_t* more) {
  if (more) *more = 0;
  if (!data) return {};
  if (data->hasFormat(kUriList)) {
    std::vector<std::string> links = LinksFromUriList(data->data(kUriList).toStdString(), kMaxLinksPerDrop, more);
    if (!links.empty()) return links;
  }
  // Plain text: each line a link, as several links dragged as text come.
  if (!data->hasText()) return {};
  return LinksFromUriList(LinkFromDroppedText(data->text().toStdString()), kMaxLinksPerDrop, more);
}

int CDragDropTarget::Pending() const { return downloader_->Pending(); }

Qt::DropAction CDragDropTarget::OnDragEnter(const QMimeData* data, Qt::KeyboardModifiers keys) const {
  return ToQt(DragEffect(DragPhase::Enter, OffersText(data), keys.testFlag(Qt::ControlModifier)));
}

Qt::DropAction CDragDropTarget::OnDragOver(const QMimeData* data, Qt::KeyboardModifiers keys) const {
  return ToQt(DragEffect(DragPhase::Over, OffersText(data), keys.testFlag(Qt::ControlModifier)));
}

bool CDragDropTarget::OnDrop(const QMimeData* data, Qt::KeyboardModifiers keys) {
  if (OffersText(data)) {
    size_t more = 0;
    const std::vector<std::string> links = DroppedLinks(data, &more);
    TakeLinks(links, more);
  }
  // Whether a station was stored or not: the drop itself went as shown.
  return DropReportsSuccess(
      DragEffect(DragPhase::Over, OffersText(data), keys.testFlag(Qt::ControlModifier)));
}

namespace {
std::string Quoted(const std::string& link) { return "\"" + DisplayText(link, 200) + "\""; }
}  // namespace

void CDragDropTarget::TakeLinks(const std::vector<std::string>& links, size_t more) {
  if (links.empty()) Refuse("text holds no link; nothing was stored");
  // Each link as if it had been dropped alone, in the order of the drop.
  for (const std::string& link : links) {
    if (!IsPlaylistLink(link))
      Refuse(Quoted(link) + ": " + DescribeStationResult({StationError::NotAPlaylistLink, {}, {}}));
    else if (!downloader_->Submit(link, GetRadioFolder()))
      Refuse(Quoted(link) + ": too many links wait for their download; nothing was stored");
  }
  if (more > 0)
    Refuse("links: a drop takes at most " + std::to_string(kMaxLinksPerDrop) + "; the other " +
           std::to_string(more) + " were left out");
  emit pendingChanged(downloader_->Pending());
}

void CDragDropTarget::Refuse(const std::string& line) {
  fprintf(stderr, "tarvel: dropped %s\n", line.c_str());
  emit stationRefused(QString::fromStdString(line));
}

void CDragDropTarget::NameFinished() {
  for (StationDownloader::Finished& f : downloader_->TakeFinished()) {
    const StationResult result = f.result.ok() ? NameStation(std::move(f.download)) : f.result;
    if (result.ok()) emit stationStored(QString::fromStdString(result.name));
    // Titles come from the network: shown without control characters.
    else Refuse(Quoted(f.link) + ": " + DisplayText(DescribeStationResult(result)));
  }
  emit pendingChanged(downloader_->Pending());
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
