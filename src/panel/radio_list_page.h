// The internet radio stations page, the sheet's fourth tab: the station
// files of the station folder, the title of the one last clicked, Refresh
// and Delete. The folder, the titles and the deletion are the engine's.
#pragma once

#include <QString>
#include <string>

#include "panel/ui/property_sheet.h"

class QMenu;
class QPoint;
class QTextBrowser;
class QTreeWidget;

class CRadioListPage : public ui::PropertyPage {
  Q_OBJECT
 public:
  explicit CRadioListPage(QWidget* parent = nullptr);

  // The station folder, ending in '/'; created when missing.
  virtual std::string GetRadioFolder() const;

  // The list shows the folder as it is each time the user turns to the
  // page, and holds nothing while another page is shown.
  bool OnSetActive() override;
  bool OnKillActive() override;

  void OnRefresh();
  void OnClickStation();
  void OnDeleteStation();
  // Shows the station menu at `globalPos` when a station is selected.
  void OnRightClickStation(const QPoint& globalPos);
  void OnCommand(int command);

  QTreeWidget* ListControl() const { return list_; }
  QTextBrowser* DescriptionControl() const { return description_; }
  QMenu* PopupMenu() const { return popupMenu_; }
  int StationCount() const { return stationCount_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FillStationList(const std::string& folder);
  void ClearStationList();
  void ShowDescription(const QString& text);

  int stationCount_ = 0;  // items put into the list since it was last cleared
  QTreeWidget* list_;
  QTextBrowser* description_;
  QMenu* popupMenu_;
};
