// What the drop window does with a drag: it takes text (plain text or a URL
// list, as a browser offers a dragged link), shows the engine's drag effect,
// and hands a dropped playlist link to a download thread; the download is
// named after its station on this thread, in the order of the drops.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <string>

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
  // Takes the dropped link: a playlist link is queued for download and the
  // call returns at once. True when the drop counts as done (a move).
  bool OnDrop(const QMimeData* data, Qt::KeyboardModifiers keys);

  // The link a drop carries: the URL list's first link, else the text.
  static std::string DroppedLink(const QMimeData* data);
  static bool OffersText(const QMimeData* data);

 signals:
  // A dropped link was stored as station `name`.
  void stationStored(const QString& name);
  // A dropped playlist link stored nothing; `why` says so in a sentence.
  void stationRefused(const QString& why);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void NameFinished();

  QPointer<QWidget> m_pWnd;
  std::unique_ptr<StationDownloader> downloader_;  // last: its thread wakes this object
};
