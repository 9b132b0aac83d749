// The drop window, driven in-process on the offscreen platform: its shape
// from the skin, its place kept in the profile, the drag effects, and links
// dropped on it stored as stations by a real download from a local server.
#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "http_server.h"
#include "panel/drag_window.h"
#include "panel/drag_window_profile.h"
#include "panel/my_property_sheet.h"
#include "panel/radio_list_page.h"
#include "panel/skin_bitmap.h"
#include "panel/ui/commands.h"
#include "panel/ui/resources.h"
#include "gui_testing.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

// Runs the deletions that deleteLater() and a closed window asked for.
void DeletePending() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QApplication::processEvents();
}

QStringList Names(QTreeWidget* list) {
  QStringList names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) names << list->topLevelItem(i)->text(0);
  return names;
}

// A drag as the window sees it: what it accepts and with which action.
struct DragAnswer {
  bool accepted;
  Qt::DropAction action;
  bool operator==(const DragAnswer&) const = default;
};
std::ostream& operator<<(std::ostream& os, const DragAnswer& a) {
  return os << (a.accepted ? "accepted " : "refused ") << int(a.action);
}

DragAnswer Enter(QWidget* w, const QMimeData& data, Qt::KeyboardModifiers keys,
                 Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction) {
  QDragEnterEvent e(QPoint(27, 27), offered, &data, Qt::LeftButton, keys);
  QApplication::sendEvent(w, &e);
  return {e.isAccepted(), e.dropAction()};
}

DragAnswer Over(QWidget* w, const QMimeData& data, Qt::KeyboardModifiers keys,
                Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction) {
  QDragMoveEvent e(QPoint(28, 27), offered, &data, Qt::LeftButton, keys);
  QApplication::sendEvent(w, &e);
  return {e.isAccepted(), e.dropAction()};
}

// A whole drag: it enters, moves and is let go over the window.
DragAnswer Drop(QWidget* w, const QMimeData& data, Qt::KeyboardModifiers keys = {}) {
  Enter(w, data, keys);
  Over(w, data, keys);
  QDropEvent e(QPointF(28, 27), Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, &data,
               Qt::LeftButton, keys);
  QApplication::sendEvent(w, &e);
  return {e.isAccepted(), e.dropAction()};
}

// What the process writes to standard error while this object lives.
class StderrCapture {
 public:
  explicit StderrCapture(const fs::path& file) : file_(file) {
    fflush(stderr);
    saved_ = dup(2);
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }
  std::string Text() {
    fflush(stderr);
    return ReadFile(file_);
  }

 private:
  fs::path file_;
  int saved_ = -1;
};

// What a browser offers for a dragged link.
void OfferLink(QMimeData* data, const QString& url) {
  data->setData("text/uri-list", (url + "\r\n").toUtf8());
  data->setText(url);
}

class DropWindowTest : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    fs::create_directories(dir_ / "home");
    setenv("HOME", (dir_ / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    profile_ = dir_ / "config" / "tarvel.ini";
    stations_ = dir_ / "RadioList";
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    CatalogTest::TearDown();
  }
  static CMyPropertySheet::Options NoServer() {
    CMyPropertySheet::Options o;
    o.startServer = false;
    return o;
  }
  // What the profile file says, read afresh.
  QString Stored(const char* key) {
    return QSettings(QString::fromStdString(profile_.string()), QSettings::IniFormat)
        .value(QString("DragWindow/") + key)
        .toString();
  }
  fs::path profile_, stations_;
};

TEST(SkinShape, IsEveryRunOfPixelsNotOfTheTopLeftColour) {
  const QRgb key = qRgb(10, 20, 30);
  QImage skin(5, 3, QImage::Format_RGB32);
  skin.fill(key);
  EXPECT_TRUE(RegionFromSkin(skin).isEmpty());  // nothing to show: no shape at all
  EXPECT_TRUE(RegionFromSkin(QImage()).isEmpty());

  // Row 1: a run in the middle and one that ends at the right edge; row 2: a
  // pixel one step off the key colour is shown too.
  skin.setPixel(1, 1, qRgb(200, 0, 0));
  skin.setPixel(2, 1, qRgb(0, 200, 0));
  skin.setPixel(4, 1, qRgb(0, 0, 200));
  skin.setPixel(0, 2, qRgb(10, 20, 31));
  const QRegion expected = QRegion(1, 1, 2, 1) + QRegion(4, 1, 1, 1) + QRegion(0, 2, 1, 1);
  EXPECT_EQ(RegionFromSkin(skin), expected);
  // The same in the skin file's own 24-bit format.
  EXPECT_EQ(RegionFromSkin(skin.convertToFormat(QImage::Format_RGB888)), expected);

  // The program's own skin: a badge inside its square, corners left out.
  const QImage own = ui::Image(res::kSkin);
  ASSERT_EQ(own.size(), QSize(54, 54));
  const QRegion badge = RegionFromSkin(own);
  EXPECT_TRUE(badge.contains(QPoint(27, 27)));
  EXPECT_FALSE(badge.contains(QPoint(0, 0)));
  EXPECT_FALSE(badge.contains(QPoint(53, 53)));
  EXPECT_TRUE(QRect(0, 0, 54, 54).contains(badge.boundingRect()));
}

TEST(DropWindowPlace, StoredPlaceOnAScreenElseTheDefault) {
  const QSize size(54, 54);
  const QList<QRect> two{QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
  EXPECT_EQ(PlaceDropWindow(std::nullopt, size, two), QPoint(800, 50));
  EXPECT_EQ(PlaceDropWindow(QPoint(2500, 900), size, two), QPoint(2500, 900));  // second screen
  EXPECT_EQ(PlaceDropWindow(QPoint(-20, -20), size, two), QPoint(-20, -20));   // centre on screen
  EXPECT_EQ(PlaceDropWindow(QPoint(-40, 100), size, two), QPoint(800, 50));    // centre off
  EXPECT_EQ(PlaceDropWindow(QPoint(2500, 1010), size, two), QPoint(800, 50));  // below the second
  // A screen too small for the default place: the window stays on it.
  EXPECT_EQ(PlaceDropWindow(std::nullopt, size, {QRect(0, 0, 640, 480)}), QPoint(586, 50));
  EXPECT_EQ(PlaceDropWindow(QPoint(5000, 5000), size, {QRect(0, 0, 640, 480)}), QPoint(586, 50));
}

TEST_F(DropWindowTest, ShapedFromItsSkinAndPlacedAndShownAsTheProfileSays) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  {
    // Nothing stored: shown, on the screen, shaped like its skin.
    CDragWindow window;
    ASSERT_TRUE(window.Create());
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.windowFlags().testFlags(Qt::Tool | Qt::FramelessWindowHint |
                                               Qt::WindowStaysOnTopHint));
    EXPECT_EQ(window.size(), QSize(54, 54));
    EXPECT_EQ(window.mask(), RegionFromSkin(ui::Image(res::kSkin)));
    EXPECT_TRUE(screen.contains(window.geometry()));
    EXPECT_EQ(window.pos(), PlaceDropWindow(std::nullopt, window.size(), {screen}));
    // Moved, then hidden through the sheet's menu command.
    CMyPropertySheet sheet(NoServer());
    window.SetOwnerWindow(&sheet);
    sheet.SetDropWindow(&window);
    window.move(100, 120);
    sheet.OnCommand(cmd::kShowDropWindow);
    EXPECT_FALSE(window.isVisible());
  }
  EXPECT_EQ(Stored("Left"), "100");
  EXPECT_EQ(Stored("Top"), "120");
  EXPECT_EQ(Stored("Visible"), "0");
  {
    // The next start: hidden at the same place; shown again by the command,
    // and "Exit" hiding it is not the user's choice to keep.
    CDragWindow window;
    ASSERT_TRUE(window.Create());
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.pos(), QPoint(100, 120));
    CMyPropertySheet sheet(NoServer());
    window.SetOwnerWindow(&sheet);
    sheet.SetDropWindow(&window);
    sheet.OnCommand(cmd::kShowDropWindow);
    EXPECT_TRUE(window.isVisible());
    sheet.OnCommand(cmd::kExit);
    EXPECT_FALSE(window.isVisible());
  }
  EXPECT_EQ(Stored("Visible"), "1");

  // A place off every screen, and one that is not a number, fall back.
  for (const char* left : {"5000", "abc"}) {
    WriteFile(profile_, std::string("[DragWindow]\nLeft=") + left + "\nTop=5000\nVisible=1\n");
    CDragWindow window;
    ASSERT_TRUE(window.Create());
    EXPECT_EQ(window.pos(), PlaceDropWindow(std::nullopt, window.size(), {screen})) << left;
    EXPECT_TRUE(screen.contains(window.geometry())) << left;
  }
}

TEST_F(DropWindowTest, DrawnWithItsKeyColourTransparentWhereTheMaskLeavesOut) {
  // A compositor that ignores the SHAPE mask shows the window's own pixels:
  // every one outside the mask must be transparent, every one inside the
  // skin's own colour, opaque.
  CDragWindow window;
  ASSERT_TRUE(window.Create());
  EXPECT_TRUE(window.testAttribute(Qt::WA_TranslucentBackground));
  const QImage skin = ui::Image(res::kSkin).convertToFormat(QImage::Format_ARGB32);
  const QImage drawn = window.grab().toImage().convertToFormat(QImage::Format_ARGB32);
  ASSERT_EQ(drawn.size(), skin.size());
  const QRegion mask = window.mask();
  int wrong = 0;
  for (int y = 0; y < drawn.height(); ++y)
    for (int x = 0; x < drawn.width(); ++x) {
      const QRgb want = mask.contains(QPoint(x, y)) ? (skin.pixel(x, y) | 0xff000000u) : 0u;
      if (drawn.pixel(x, y) != want && wrong++ < 3)
        ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << drawn.pixel(x, y)
                      << " instead of " << want;
    }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(qAlpha(drawn.pixel(0, 0)), 0);
  EXPECT_EQ(qAlpha(drawn.pixel(53, 53)), 0);
  EXPECT_EQ(qAlpha(drawn.pixel(27, 27)), 255);
}

TEST_F(DropWindowTest, DragEffectsFollowCtrlAndWhatTheSourceOffers) {
  CDragWindow window;
  ASSERT_TRUE(window.Create());
  EXPECT_TRUE(window.acceptDrops());
  QMimeData text;
  text.setText("http://example.net/x.pls?file=x.pls");
  QMimeData uris;
  uris.setData("text/uri-list", "http://example.net/x.pls?file=x.pls\r\n");
  QMimeData image;
  image.setData("image/png", "\x89PNG");

  for (const QMimeData* data : {&text, &uris}) {
    EXPECT_EQ(Enter(&window, *data, {}), (DragAnswer{true, Qt::MoveAction}));
    EXPECT_EQ(Over(&window, *data, {}), (DragAnswer{true, Qt::MoveAction}));
    // With Ctrl: copy on entering, no drop as soon as it moves.
    EXPECT_EQ(Enter(&window, *data, Qt::ControlModifier), (DragAnswer{true, Qt::CopyAction}));
    EXPECT_FALSE(Over(&window, *data, Qt::ControlModifier).accepted);
  }
  EXPECT_FALSE(Enter(&window, image, {}).accepted);
  EXPECT_FALSE(Over(&window, image, {}).accepted);
  EXPECT_FALSE(Drop(&window, image).accepted);
  // A source that cannot move its link gets the copy it offers.
  EXPECT_EQ(Enter(&window, text, {}, Qt::CopyAction | Qt::LinkAction),
            (DragAnswer{true, Qt::CopyAction}));
  EXPECT_EQ(Over(&window, text, {}, Qt::CopyAction), (DragAnswer{true, Qt::CopyAction}));
}

TEST_F(DropWindowTest, DroppedLinksBecomeStationsListedOnTheShownPage) {
  TestHttpServer server;
  HttpReply jazz;
  jazz.body = "[playlist]\nFile1=http://127.0.0.1:1/\nTitle1=(#1 - 10/200) Jazz: Hits\n";
  jazz.delayMs = 700;  // the drop must not wait for it
  server.Route("/tunein.pls?id=1&file=abc.pls", jazz);
  HttpReply rock;
  rock.body = "[playlist]\nTitle1=(#2 - 1/9) Rock\n";
  server.Route("/tunein.pls?id=2&file=rock.pls", rock);

  CMyPropertySheet sheet(NoServer());
  sheet.show();
  sheet.SetActivePage(3);
  QTreeWidget* list = sheet.RadioPage()->ListControl();
  ASSERT_EQ(list->topLevelItemCount(), 0);
  CDragWindow window;
  ASSERT_TRUE(window.Create());
  window.SetOwnerWindow(&sheet);
  sheet.SetDropWindow(&window);
  QSignalSpy refused(window.DropTarget(), &CDragDropTarget::stationRefused);

  // A link as a browser drags it, then a second one as plain text with the
  // line end a browser adds: the drop returns before the download is done.
  QMimeData first;
  OfferLink(&first, QString::fromStdString(server.Url("/tunein.pls?id=1&file=abc.pls")));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Drop(&window, first), (DragAnswer{true, Qt::MoveAction}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  QMimeData second;
  second.setText(QString::fromStdString(server.Url("/tunein.pls?id=2&file=rock.pls")) + "\n");
  EXPECT_TRUE(Drop(&window, second).accepted);
  // Links that are no playlist's (case matters) fetch nothing, and a
  // playlist the server does not have stores nothing; each drop still counts.
  QMimeData upper, m3u, missing;
  OfferLink(&upper, QString::fromStdString(server.Url("/tunein.PLS?file=abc.PLS")));
  OfferLink(&m3u, QString::fromStdString(server.Url("/tunein.m3u?file=abc.m3u")));
  OfferLink(&missing, QString::fromStdString(server.Url("/gone.pls?file=gone.pls")));
  for (const QMimeData* data : {&upper, &m3u, &missing}) EXPECT_TRUE(Drop(&window, *data).accepted);

  // Listed without a refresh, in the order of the drops' naming.
  // The two that are no playlist links are refused at once, the 404 later.
  ASSERT_TRUE(Until([&] { return list->topLevelItemCount() == 2 && refused.count() == 3; }))
      << Names(list).join(",").toStdString();
  EXPECT_EQ(Names(list), (QStringList{"Jazz  Hits.pls", "Rock.pls"}));
  EXPECT_EQ(ReadFile(stations_ / "Jazz  Hits.pls"),
            "[playlist]\r\nFile1=http://127.0.0.1:1/\r\nTitle1=(#1 - 10/200) Jazz: Hits\r\n");
  EXPECT_NE(refused.at(2).at(0).toString().indexOf("404"), -1);
  for (const std::string& request : server.Requests()) {
    EXPECT_EQ(request.find("PLS"), std::string::npos) << request;
    EXPECT_EQ(request.find("m3u"), std::string::npos) << request;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(stations_), fs::directory_iterator()), 2);

  // On another page nothing is listed behind the user's back; turning back
  // to the page shows the new station.
  sheet.SetActivePage(0);
  HttpReply again = jazz;
  again.delayMs = 0;
  again.body = "Title1=(3) Ambient\n";
  server.Route("/ambient.pls?file=ambient.pls", again);
  QMimeData third;
  OfferLink(&third, QString::fromStdString(server.Url("/ambient.pls?file=ambient.pls")));
  Drop(&window, third);
  ASSERT_TRUE(Until([&] { return fs::exists(stations_ / "Ambient.pls"); }));
  QApplication::processEvents();
  EXPECT_EQ(list->topLevelItemCount(), 0);
  sheet.SetActivePage(3);
  EXPECT_EQ(Names(list), (QStringList{"Ambient.pls", "Jazz  Hits.pls", "Rock.pls"}));
}

// A link whose server never answers holds up no later drop; the window shows
// what downloads, and says why the dead one stored nothing.
TEST_F(DropWindowTest, ADeadLinkHoldsUpNoLaterDropAndTheWindowShowsWhatDownloads) {
  TestHttpServer server;
  server.Route("/dead.pls?file=dead.pls", {.hang = true});
  server.Route("/good.pls?file=good.pls", {.body = "Title1=(1) Good\n"});
  StderrCapture err(dir_ / "stderr.txt");
  CMyPropertySheet sheet(NoServer());
  DownloadLimits limits;
  limits.totalTimeoutMs = 3000;
  CDragWindow window(nullptr, limits);
  ASSERT_TRUE(window.Create());
  window.SetOwnerWindow(&sheet);
  QSignalSpy refused(window.DropTarget(), &CDragDropTarget::stationRefused);
  EXPECT_TRUE(window.toolTip().isEmpty());

  QMimeData dead, good;
  OfferLink(&dead, QString::fromStdString(server.Url("/dead.pls?file=dead.pls")));
  OfferLink(&good, QString::fromStdString(server.Url("/good.pls?file=good.pls")));
  const auto start = std::chrono::steady_clock::now();
  Drop(&window, dead);
  EXPECT_EQ(window.Pending(), 1);
  EXPECT_NE(window.toolTip().indexOf("Downloading 1 station"), -1) << window.toolTip().toStdString();
  Drop(&window, good);
  ASSERT_TRUE(Until([&] { return fs::exists(stations_ / "Good.pls"); }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  QApplication::processEvents();
  EXPECT_EQ(window.Pending(), 1);  // the dead one still runs, and shows
  EXPECT_FALSE(window.toolTip().isEmpty());

  ASSERT_TRUE(Until([&] { return refused.count() == 1; }));
  EXPECT_NE(refused.at(0).at(0).toString().indexOf("took too long"), -1);
  EXPECT_EQ(window.Pending(), 0);
  EXPECT_TRUE(window.toolTip().isEmpty());
  const std::string text = err.Text();
  EXPECT_NE(text.find("tarvel: dropped \"" + server.Url("/dead.pls?file=dead.pls") + "\": the download took too long"),
            std::string::npos) << text;
}

// A browser drags a selection of links as one URL list: each playlist link
// is taken, in order, as if dropped alone.
TEST_F(DropWindowTest, ADropOfManyLinksTakesEachOfThem) {
  TestHttpServer server;
  QStringList lines{"# dragged from a station directory"};
  QStringList expected;
  for (int i = 1; i <= 20; ++i) {
    const std::string target = "/tunein.pls?id=" + std::to_string(i) + "&file=s" + std::to_string(i) + ".pls";
    server.Route(target, {.body = "Title1=(" + std::to_string(i) + ") Station " + std::to_string(100 + i) + "\n"});
    lines << QString::fromStdString(server.Url(target));
    expected << QString("Station %1.pls").arg(100 + i);
  }
  lines.insert(5, "http://127.0.0.1:1/list.m3u?file=x.m3u");
  StderrCapture err(dir_ / "stderr.txt");
  CDragWindow window;
  ASSERT_TRUE(window.Create());
  QMimeData many;
  many.setData("text/uri-list", (lines.join("\r\n") + "\r\n").toUtf8());
  many.setText(lines.mid(1).join("\n"));
  EXPECT_EQ(Drop(&window, many), (DragAnswer{true, Qt::MoveAction}));
  ASSERT_TRUE(Until([&] { return window.Pending() == 0; }, 20s));
  QStringList stored;
  for (const auto& e : fs::directory_iterator(stations_)) stored << QString::fromStdString(e.path().filename());
  stored.sort();
  EXPECT_EQ(stored, expected);
  EXPECT_EQ(server.Requests().size(), 20u);
  EXPECT_NE(err.Text().find("list.m3u?file=x.m3u\": the link does not end in \"pls\""), std::string::npos)
      << err.Text();
}

// A drop that stores nothing says why on standard error, before any download.
TEST_F(DropWindowTest, DropsOfNoPlaylistLinkSayWhy) {
  StderrCapture err(dir_ / "stderr.txt");
  CDragWindow window;
  ASSERT_TRUE(window.Create());
  QMimeData words, song, empty;
  words.setText("just some words");
  song.setData("text/uri-list", "file:///home/user/Music/song.mp3\r\n");
  song.setText("file:///home/user/Music/song.mp3");
  empty.setText("  \n");
  for (const QMimeData* data : {&words, &song, &empty}) EXPECT_TRUE(Drop(&window, *data).accepted);
  const std::string text = err.Text();
  EXPECT_NE(text.find("tarvel: dropped \"just some words\": the link does not end in \"pls\"; nothing was stored\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("tarvel: dropped \"file:///home/user/Music/song.mp3\": the link does not end in \"pls\""),
            std::string::npos) << text;
  EXPECT_NE(text.find("tarvel: dropped text holds no link; nothing was stored\n"), std::string::npos) << text;
  EXPECT_EQ(window.Pending(), 0);
  EXPECT_TRUE(!fs::exists(stations_) || fs::is_empty(stations_));
}

TEST_F(DropWindowTest, AtFirstStartTheWindowStandsClearOfTheSheet) {
  const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
  {
    CDragWindow window;
    ASSERT_TRUE(window.Create());
    const QRect sheet(window.x() - 100, 0, 130, 400);  // over the window's left part
    window.KeepClearOf(sheet);
    EXPECT_FALSE(window.frameGeometry().intersects(sheet)) << window.x() << "," << window.y();
    EXPECT_TRUE(room.contains(window.frameGeometry()));
  }
  // Later starts keep the place the window had.
  CDragWindow again;
  ASSERT_TRUE(again.Create());
  const QPoint stored = again.pos();
  again.KeepClearOf(again.frameGeometry());
  EXPECT_EQ(again.pos(), stored);
}

TEST_F(DropWindowTest, MenuKeysMovesAndCloseOfTheDropWindow) {
  CMyPropertySheet sheet(NoServer());
  sheet.hide();
  QPointer<CDragWindow> window = new CDragWindow;
  ASSERT_TRUE(window->Create());
  window->SetOwnerWindow(&sheet);
  sheet.SetDropWindow(window);
  window->move(200, 200);

  // The right button opens the tray's menu: no bold item, the sheet's check
  // marks, and its commands go to the sheet.
  QContextMenuEvent context(QContextMenuEvent::Mouse, QPoint(27, 27), window->mapToGlobal(QPoint(27, 27)));
  QApplication::sendEvent(window, &context);
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(menu, window->Menu());
  EXPECT_EQ(menu->defaultAction(), nullptr);
  EXPECT_EQ(menu->actions().size(), 6);  // four commands, a separator, "Start at login"
  EXPECT_FALSE(ui::FindCommand(menu, cmd::kShowSheet)->isChecked());
  EXPECT_TRUE(ui::FindCommand(menu, cmd::kShowDropWindow)->isChecked());
  menu->setActiveAction(ui::FindCommand(menu, cmd::kShowSheet));
  QTest::keyClick(menu, Qt::Key_Return);
  EXPECT_TRUE(sheet.isVisible());
  EXPECT_TRUE(window->isVisible());

  // Enter, Escape and a double click do nothing; the left button moves it.
  window->activateWindow();
  QTest::keyClick(window, Qt::Key_Return);
  QTest::keyClick(window, Qt::Key_Escape);
  QTest::mouseDClick(window, Qt::LeftButton, {}, QPoint(27, 27));
  ASSERT_TRUE(window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->pos(), QPoint(200, 200));
  QTest::mousePress(window, Qt::LeftButton, {}, QPoint(27, 27));
  QTest::mouseMove(window, QPoint(47, 57));
  QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(47, 57));
  EXPECT_EQ(window->pos(), QPoint(220, 230));

  // Closed (the window manager's close command): gone for the rest of the
  // run, and the sheet's menu item has nothing to act on.
  window->close();
  DeletePending();
  EXPECT_TRUE(window.isNull());
  EXPECT_EQ(sheet.DropWindow(), nullptr);
  emit sheet.TrayMenu()->aboutToShow();
  EXPECT_FALSE(ui::FindCommand(sheet.TrayMenu(), cmd::kShowDropWindow)->isEnabled());
  sheet.OnCommand(cmd::kShowDropWindow);  // does nothing
  EXPECT_EQ(Stored("Visible"), "0");
}

}  // namespace
