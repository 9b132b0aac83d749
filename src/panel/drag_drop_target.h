// What the drop window does with a drag: it takes text (plain text or a URL
// list, as a browser offers a dragged link or a selection of them), shows the
// engine's drag effect, and hands each dropped playlist link, in order, to
// the downloader; each download is named after its station on this thread as
// it finishes. Whatever a drop stores nothing of says why on standard error.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "radio/drop.h"
#include "radio/station_store.h"

class QMimeData;
class QWidget;
class StationDownloader;

class CDragDropTarget : public QObject {
  Q_OBJECT
 public:
  explicit CDragDropTarget(QObject* parent = nullptr, DownloadLimits limits = {});
  ~CDragDropTarget() override;

  // Takes drags on `window` from now on; false when there is no window.
  bool Register(QWidget* window);
  QWidget* Window() const { return m_pWnd; }

  // The effect to show as a drag enters and while it moves.
  Qt::DropAction OnDragEnter(const QMimeData* data, Qt::KeyboardModifiers keys) const;
  Qt::DropAction OnDragOver(const QMimeData* data, Qt::KeyboardModifiers keys) const;
  // Takes the dropped links: each playlist link is queued for download and
  // the call returns at once. True when the drop counts as done (a move).
  bool OnDrop(const QMimeData* data, Qt::KeyboardModifiers keys);

  // The links a drop carries: those of its URL list, else its text's lines;
  // at most kMaxLinksPerDrop, *more says how many were left out.
  static std::vector<std::string> DroppedLinks(const QMimeData* data, size_t* more = nullptr);
  static bool OffersText(const QMimeData* data);

  // Links queued or downloading.
  int Pending() const;

 signals:
  // A dropped link was stored as station `name`.
  void stationStored(const QString& name);
  // A drop (or one link of it) stored nothing; `why` says so in a sentence.
  void stationRefused(const QString& why);
  // The number of links queued or downloading changed.
  void pendingChanged(int pending);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void NameFinished();
  void TakeLinks(const std::vector<std::string>& links, size_t more);
  // Says why something of a drop stored nothing: standard error, and the signal.
  void Refuse(const std::string& line);

  QPointer<QWidget> m_pWnd;
  std::unique_ptr<StationDownloader> downloader_;  // last: its thread wakes this object
};
