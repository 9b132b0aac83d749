#include "panel/drag_window.h"

#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "panel/my_property_sheet.h"
#include "panel/ui/commands.h"

namespace {

// The skin with every pixel of its key colour (the top-left pixel's, as the
// shape takes it) made fully transparent, the others fully opaque.
QImage WithKeyTransparent(const QImage& skin) {
  if (skin.isNull()) return {};
  QImage image = skin.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = image.pixel(0, 0);
  for (int y = 0; y < image.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      row[x] = row[x] == key ? qRgba(0, 0, 0, 0) : (row[x] | 0xff000000u);
  }
  return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace

CDragWindow::CDragWindow(QWidget* parent, DownloadLimits limits)
    // A tool window without a frame, above the others; the profile and the
    // sheet's menu, not the taskbar, are the ways to it.
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      m_pSkin(res::kSkin),
      m_dropTarget(nullptr, limits) {
  // Alt+F4 (the window manager's close) ends it for the rest of the run.
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("Tarvel Drop Window");
  // Round twice over: the skin's key colour is drawn transparent on a
  // translucent window, which a compositor honours even where it ignores the
  // X SHAPE mask (Wayland, some window managers under XWayland); the mask
  // set in Create() still rounds it on an X server without compositing.
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_NoSystemBackground);
  shown_ = WithKeyTransparent(m_pSkin.Image());
  connect(&m_dropTarget, &CDragDropTarget::pendingChanged, this, &CDragWindow::ShowPending);
}

CDragWindow::~CDragWindow() {
  recording_ = false;
  profile_.Sync();
}

bool CDragWindow::Create() {
  if (!m_dropTarget.Register(this)) {
    QMessageBox::critical(nullptr, "error", "Create drag windwo false");
    return false;
  }
  setFixedSize(m_pSkin.Width(), m_pSkin.Height());
  const QRegion shape = m_pSkin.CreateRegion();
  if (shape.isEmpty()) clearMask();
  else setMask(shape);

  QList<QRect> screens;
  if (QScreen* primary = QGuiApplication::primaryScreen()) screens << primary->geometry();
  for (QScreen* s : QGuiApplication::screens())
    if (s != QGuiApplication::primaryScreen()) screens << s->geometry();
  firstPlace_ = !profile_.Position().has_value();
  move(PlaceDropWindow(profile_.Position(), size(), screens));
  recording_ = true;
  setVisible(profile_.Visible());
  return true;
}

bool CDragWindow::SetOwnerWindow(CMyPropertySheet* owner) {
  m_pOwnerWnd = owner;
  delete menu_;
  menu_ = nullptr;
  if (!owner) return true;
  // The tray's menu without a default item; the sheet runs its commands and
  // sets its check marks as it opens.
  menu_ = owner->CreateTrayMenu(this, false);
  connect(&m_dropTarget, &CDragDropTarget::stationStored, owner, &CMyPropertySheet::OnStationStored,
          Qt::UniqueConnection);
  connect(&m_dropTarget, &CDragDropTarget::stationRefused, owner,
          &CMyPropertySheet::OnStationRefused, Qt::UniqueConnection);
  return true;
}

void CDragWindow::KeepClearOf(const QRect& other) {
  if (!firstPlace_) return;
  firstPlace_ = false;
  constexpr int kGap = 12;
  if (!frameGeometry().intersects(other.adjusted(-kGap, -kGap, kGap, kGap))) return;
  const QScreen* screen = QGuiApplication::screenAt(other.center());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect room = screen->availableGeometry();
  for (const int x : {other.right() + 1 + kGap, other.left() - kGap - width()}) {
    const QRect there(QPoint(x, qBound(room.top(), y(), room.bottom() - height())), size());
    if (room.contains(there)) {
      move(there.topLeft());
      return;
    }
  }
}

bool CDragWindow::Recording() const {
  // "Exit" hides every window; that is no choice of the user's to keep.
  return recording_ && !(m_pOwnerWnd && m_pOwnerWnd->Exiting());
}

void CDragWindow::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QRect r = event->rect();
  // Source, not over: the window's pixels become the skin's, transparency
  // included, whatever the backing store held before.
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.drawImage(r.topLeft(), shown_, r);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  if (pending_ > 0) {
    // A mark on the skin while links download: a dot inside its lower right.
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 1));
    painter.setBrush(QColor(0, 160, 0));
    const int d = qMax(6, width() / 6);
    painter.drawEllipse(QRect(width() * 2 / 3 - d / 2, height() * 2 / 3 - d / 2, d, d));
  }
}

void CDragWindow::ShowPending(int pending) {
  pending_ = pending;
  if (pending > 0) {
    setToolTip(pending == 1 ? QString("Downloading 1 station...")
                            : QString("Downloading %1 stations...").arg(pending));
    setCursor(Qt::BusyCursor);
  } else {
    setToolTip(QString());
    unsetCursor();
  }
  update();
}

void CDragWindow::BringOwnerForward() {
  if (m_pOwnerWnd && m_pOwnerWnd->isVisible()) {
    m_pOwnerWnd->raise();
    m_pOwnerWnd->activateWindow();
  }
  activateWindow();
  setFocus(Qt::MouseFocusReason);
}

void CDragWindow::mousePressEvent(QMouseEvent* event) {
  BringOwnerForward();
  if (event->button() != Qt::LeftButton) return;
  // The window manager's own move: it works under any of them, and the
  // window follows the pointer until the button is released.
  if (windowHandle() && windowHandle()->startSystemMove()) return;
  moveGrip_ = event->globalPosition().toPoint() - pos();
}

void CDragWindow::mouseMoveEvent(QMouseEvent* event) {
  if (moveGrip_ && (event->buttons() & Qt::LeftButton))
    move(event->globalPosition().toPoint() - *moveGrip_);
}

void CDragWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) moveGrip_.reset();
}

void CDragWindow::mouseDoubleClickEvent(QMouseEvent* event) { event->accept(); }

void CDragWindow::contextMenuEvent(QContextMenuEvent* event) {
  if (menu_) menu_->popup(event->globalPos());
}

void CDragWindow::keyPressEvent(QKeyEvent* event) {
  // Enter and Escape do nothing here; the window closes only by the
  // window manager's close command.
  event->accept();
}

void CDragWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (Recording()) profile_.SetPosition(pos());
}

void CDragWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  KeepOutOfTaskbar();
  if (Recording() && !event->spontaneous()) profile_.SetVisible(true);
}

void CDragWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (Recording() && !event->spontaneous()) profile_.SetVisible(false);
}

void CDragWindow::KeepOutOfTaskbar() {
  // Under X11 a tool window still shows in taskbars and pagers unless its
  // _NET_WM_STATE says otherwise before it is mapped. Qt adds its own states
  // (above the others) to what it finds there.
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11 || !x11->connection()) return;
  xcb_connection_t* c = x11->connection();
  auto atom = [c](const char* name) -> xcb_atom_t {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return a;
  };
  const xcb_window_t window = xcb_window_t(winId());
  const xcb_atom_t state = atom("_NET_WM_STATE");
  std::vector<xcb_atom_t> states;
  if (xcb_get_property_reply_t* reply = xcb_get_property_reply(
          c, xcb_get_property(c, 0, window, state, XCB_ATOM_ATOM, 0, 64), nullptr)) {
    if (reply->format == 32 && reply->type == XCB_ATOM_ATOM) {
      const auto* data = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
      states.assign(data, data + xcb_get_property_value_length(reply) / sizeof(xcb_atom_t));
    }
    free(reply);
  }
  for (const char* name : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
    const xcb_atom_t a = atom(name);
    if (a != XCB_ATOM_NONE && std::find(states.begin(), states.end(), a) == states.end())
      states.push_back(a);
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, state, XCB_ATOM_ATOM, 32,
                      uint32_t(states.size()), states.data());
  xcb_flush(c);
}
