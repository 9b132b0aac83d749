// The station page, driven in-process on the offscreen platform over a real
// station folder in a temporary working directory.
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeWidget>

#include <chrono>
#include <functional>
#include <thread>

#include "panel/my_property_sheet.h"
#include "panel/radio_list_page.h"
#include "panel/ui/commands.h"
#include "panel/ui/resources.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

QStringList Names(QTreeWidget* list) {
  QStringList names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) names << list->topLevelItem(i)->text(0);
  return names;
}

QTreeWidgetItem* Named(QTreeWidget* list, const QString& name) {
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
  return nullptr;
}

void ClickOn(QTreeWidget* list, const QString& name, Qt::KeyboardModifiers mods = {}) {
  QTreeWidgetItem* item = Named(list, name);
  ASSERT_NE(item, nullptr) << name.toStdString();
  list->scrollToItem(item);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, mods, QPoint(20, list->visualItemRect(item).center().y()));
}

class RadioPageTest : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    home_ = dir_ / "home";
    fs::create_directories(home_);
    setenv("HOME", home_.c_str(), 1);
    stations_ = dir_ / "RadioList";
  }
  void Station(const std::string& name, const std::string& bytes = "[playlist]\r\n") {
    WriteFile(stations_ / name, bytes);
  }
  fs::path home_, stations_;
};

TEST_F(RadioPageTest, ListsAndDescribesStationsAndRereadsOnEveryActivation) {
  CMyPropertySheet::Options options;
  options.startServer = false;
  CMyPropertySheet sheet(options);
  sheet.show();
  ASSERT_EQ(sheet.Tabs()->tabText(3), "Shoutcast Radio List");
  CRadioListPage* page = sheet.RadioPage();
  QTreeWidget* list = page->ListControl();
  QTextBrowser* description = page->DescriptionControl();
  ASSERT_TRUE(fs::is_directory(stations_));  // made by the page itself
  EXPECT_EQ(list->headerItem()->text(0), "Radio Name");

  // Any plain file is a station; folders and downloads in progress are not.
  Station("Jazz  Hits.pls",
          "[playlist]\r\nTitle without a bracket\r\nTitle1=(#1 - 10/200) <b>Jazz</b> & Hits\r\n");
  Station("notes.txt", "no title here\n");
  fs::create_directories(stations_ / "sub");
  Station(".download-123");
  sheet.SetActivePage(3);
  ASSERT_EQ(Names(list), (QStringList{"Jazz  Hits.pls", "notes.txt"}));
  EXPECT_EQ(page->StationCount(), 2);
  EXPECT_FALSE(list->topLevelItem(0)->icon(0).isNull());

  // A click describes the station: its title, shown as text, not markup.
  ClickOn(list, "Jazz  Hits.pls");
  EXPECT_EQ(description->toPlainText(), "<b>Jazz</b> & Hits");
  EXPECT_TRUE(description->isReadOnly());
  ClickOn(list, "notes.txt");
  EXPECT_EQ(description->toPlainText(), "");

  // Leaving the page empties it; stations added and removed meanwhile show
  // when the user turns back.
  ClickOn(list, "Jazz  Hits.pls");
  sheet.SetActivePage(0);
  EXPECT_EQ(list->topLevelItemCount(), 0);
  EXPECT_EQ(page->StationCount(), 0);
  EXPECT_EQ(description->toPlainText(), "");
  fs::remove(stations_ / "notes.txt");
  Station("Rock.pls");
  sheet.SetActivePage(3);
  EXPECT_EQ(Names(list), (QStringList{"Jazz  Hits.pls", "Rock.pls"}));

  // Refresh re-reads the folder without forgetting the description.
  ClickOn(list, "Rock.pls");
  Station("Ambient.pls", "Title1=(x) Calm\n");
  page->ControlAs<QPushButton>(1019)->click();
  EXPECT_EQ(Names(list), (QStringList{"Ambient.pls", "Jazz  Hits.pls", "Rock.pls"}));
  EXPECT_EQ(page->StationCount(), 3);
  ClickOn(list, "Ambient.pls");
  EXPECT_EQ(description->toPlainText(), "Calm");
}

TEST_F(RadioPageTest, DeletesTheSelectedStationsByKeyButtonAndMenu) {
  for (const char* name : {"A.pls", "B.pls", "C.pls", "D.pls", "E.pls", "F.pls"}) Station(name);
  Station("Keep.pls", "Title1=(1) Kept\n");
  CRadioListPage page;
  page.show();
  page.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&page));
  QTreeWidget* list = page.ListControl();
  QTextBrowser* description = page.DescriptionControl();
  ASSERT_EQ(list->topLevelItemCount(), 7);

  // Three at once with the Delete key, one of them already gone from the
  // disk: the other two files go all the same.
  ClickOn(list, "Keep.pls");
  ASSERT_EQ(description->toPlainText(), "Kept");
  list->clearSelection();
  for (const char* name : {"A.pls", "C.pls", "E.pls"}) Named(list, name)->setSelected(true);
  fs::remove(stations_ / "C.pls");
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Delete);
  EXPECT_EQ(Names(list), (QStringList{"B.pls", "D.pls", "F.pls", "Keep.pls"}));
  EXPECT_EQ(page.StationCount(), 4);
  for (const char* name : {"A.pls", "C.pls", "E.pls"}) EXPECT_FALSE(fs::exists(stations_ / name)) << name;
  EXPECT_TRUE(fs::exists(stations_ / "B.pls"));
  EXPECT_EQ(description->toPlainText().trimmed(), "");

  // The button.
  list->clearSelection();
  Named(list, "B.pls")->setSelected(true);
  page.ControlAs<QPushButton>(1011)->click();
  EXPECT_FALSE(fs::exists(stations_ / "B.pls"));
  EXPECT_EQ(Names(list), (QStringList{"D.pls", "F.pls", "Keep.pls"}));

  // A right click with nothing selected shows no menu (it would block here);
  // with a selection the menu's Delete deletes it.
  list->clearSelection();
  emit list->customContextMenuRequested(QPoint(5, 5));
  EXPECT_EQ(list->topLevelItemCount(), 3);
  Named(list, "D.pls")->setSelected(true);
  Named(list, "F.pls")->setSelected(true);
  bool shown = false;
  QTimer::singleShot(0, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    shown = menu == page.PopupMenu();
    if (!menu) return;
    menu->setActiveAction(ui::FindCommand(menu, cmd::kRadioDelete));
    QTest::keyClick(menu, Qt::Key_Return);
  });
  emit list->customContextMenuRequested(QPoint(5, 5));
  EXPECT_TRUE(shown);
  EXPECT_EQ(Names(list), (QStringList{"Keep.pls"}));
  EXPECT_FALSE(fs::exists(stations_ / "D.pls"));
  EXPECT_FALSE(fs::exists(stations_ / "F.pls"));
  EXPECT_TRUE(fs::exists(stations_ / "Keep.pls"));
}

// A station whose name and title carry a direction override ("evil" made to
// read "live") and control characters is shown without them, and is still
// the file that a click describes and Delete deletes.
TEST_F(RadioPageTest, NamesAndTitlesAreShownWithoutControlsOrDirectionOverrides) {
  const std::string rlo = "\xE2\x80\xAE", pdf = "\xE2\x80\xAC", lri = "\xE2\x81\xA6";
  const std::string name = "My " + rlo + "live" + pdf + " radio.pls";
  Station(name, "Title1=(1) " + rlo + "evil" + pdf + "\x1B[31m Radio" + lri + "\x07\r\n");
  CRadioListPage page;
  page.show();
  QTreeWidget* list = page.ListControl();
  ASSERT_EQ(Names(list), (QStringList{"My live radio.pls"}));
  ClickOn(list, "My live radio.pls");
  EXPECT_EQ(page.DescriptionControl()->toPlainText(), "evil[31m Radio");
  list->topLevelItem(0)->setSelected(true);
  page.OnDeleteStation();
  EXPECT_FALSE(fs::exists(stations_ / name));
}

}  // namespace
