#include "ui/mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QKeyEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <array>

#include "ui/hyperlink.h"
#include "ui/intervalbox.h"
#include "ui/refreshbutton.h"
#include "ui/serverlist.h"
#include "ui/transparentlabel.h"

namespace {

constexpr Qt::WindowFlags kFrame = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

constexpr std::array kRegions = {u"服务器", u"US 北美", u"EU 欧洲", u"AS 亚太", u"OC 澳洲", u"SA 南美"};

const QString kDataSourceAddress = QStringLiteral("http://ec2-reachability.amazonaws.com/");
const QString kMakerName = QStringLiteral("TzDev");
const QString kMakerPage = QStringLiteral("https://steamcommunity.com/id/tzdev/");

// The application icon, the same artwork that is installed with the desktop entry.
QIcon ApplicationIcon() {
  QIcon icon;
  for (int side : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/icons/tezmaro-%1.png").arg(side), QSize(side, side));
  }
  return icon;
}

void AddLabel(QWidget* window, const char* name, const QString& text, const QRect& place) {
  auto* label = new TransparentLabel(text, window);
  label->setObjectName(QString::fromUtf8(name));
  label->setGeometry(place);
}

void AddLink(QWidget* window, const char* name, const QString& caption, const QString& address,
             const QRect& place) {
  auto* link = new Hyperlink(caption, address, window);
  link->setObjectName(QString::fromUtf8(name));
  link->setGeometry(place);
}

}  // namespace

MainWindow::MainWindow() : QWidget(nullptr, kFrame) {
  setWindowTitle(QStringLiteral("Tezmaro V1"));
  setFixedSize(kClientWidth, kClientHeight);
  setAttribute(Qt::WA_AlwaysShowToolTips);
  setWindowIcon(ApplicationIcon());

  // Created from the bottom of the stacking order up: a later sibling is drawn over an earlier one and
  // takes the pointer where they overlap.
  m_autoRefresh = new QCheckBox(QStringLiteral("自动刷新"), this);
  m_autoRefresh->setObjectName(QStringLiteral("选择框1"));
  m_autoRefresh->setGeometry(122, 442, 79, 20);

  AddLabel(this, "透明标签4", QStringLiteral("秒"), QRect(256, 442, 16, 20));

  m_interval = new IntervalBox(this);
  m_interval->setObjectName(QStringLiteral("编辑框1"));
  m_interval->setText(QStringLiteral("1"));
  m_interval->setCursorPosition(0);
  m_interval->setGeometry(200, 442, 32, 20);
  m_interval->Spinner()->stackUnder(m_interval);

  m_list = new ServerListView(this);
  m_list->setGeometry(0, 33, 294, 400);

  m_refresh = new RefreshButton(QStringLiteral("手动刷新"), this);
  m_refresh->setObjectName(QStringLiteral("超级按钮1"));
  m_refresh->setGeometry(194, 433, 100, 38);

  m_region = new QComboBox(this);
  m_region->setObjectName(QStringLiteral("组合框1"));
  m_region->setEditable(false);
  for (const char16_t* region : kRegions) m_region->addItem(QString::fromUtf16(region));
  m_region->setMaxVisibleItems(static_cast<int>(kRegions.size()));
  // Some styles open the list over the shown item; ours always drops down below the box.
  m_region->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
  m_region->setCurrentIndex(0);
  m_region->setGeometry(12, 442, 76, 20);

  AddLabel(this, "透明标签1", QStringLiteral("数据来源："), QRect(16, 1, 64, 16));
  AddLink(this, "超级链接框1", QString(), kDataSourceAddress, QRect(75, 1, 144, 16));
  AddLabel(this, "透明标签2", QStringLiteral("【…】"), QRect(240, 1, 40, 16));
  AddLabel(this, "透明标签3", QStringLiteral("软件制作：") + kMakerName, QRect(16, 16, 56, 16));
  AddLink(this, "超级链接框2", kMakerName, kMakerPage, QRect(76, 16, 60, 16));

  m_timer = new QTimer(this);
  m_timer->setObjectName(QStringLiteral("时钟1"));
  m_timer->setTimerType(Qt::PreciseTimer);

  AddLabel(this, "透明标签5", QStringLiteral("【我吃鸡都是借的号…】"), QRect(144, 16, 136, 16));

  setTabOrder(m_autoRefresh, m_interval);
  setTabOrder(m_interval, m_list);
  setTabOrder(m_list, m_refresh);
  setTabOrder(m_refresh, m_region);
  m_autoRefresh->setFocus(Qt::OtherFocusReason);

  // Connected only now, so that setting up the start state raises nothing.
  // The choice is reported once the box has finished with it, so a read of the selection sees the new item.
  connect(m_region, &QComboBox::activated, this, [this] { emit regionChosen(); }, Qt::QueuedConnection);
  connect(m_autoRefresh, &QCheckBox::clicked, this, &MainWindow::autoRefreshClicked);
  connect(m_interval, &IntervalBox::contentChanged, this, &MainWindow::intervalChanged);
  connect(m_refresh, &RefreshButton::clicked, this, &MainWindow::refreshClicked);
  connect(m_timer, &QTimer::timeout, this, &MainWindow::timerTicked);

  // Esc must close the window even while the selector's list (a window of its own) has the keyboard.
  qApp->installEventFilter(this);

  CentreOnPrimaryScreen();
  AttachServerList(m_list);
}

MainWindow::~MainWindow() = default;

int MainWindow::CurrentRegion() const { return m_region->currentIndex(); }

bool MainWindow::AutoRefreshChecked() const { return m_autoRefresh->isChecked(); }

void MainWindow::SetAutoRefreshCaption(const QString& caption) { m_autoRefresh->setText(caption); }

QString MainWindow::IntervalText() const { return m_interval->text(); }

void MainWindow::SetRefreshButtonVisible(bool visible) { m_refresh->setVisible(visible); }

void MainWindow::SetTimerPeriod(int32_t ms) {
  const int32_t period = ms < 0 ? 0 : ms;
  if (period == m_period) return;
  m_period = period;
  m_timer->stop();
  if (period > 0) m_timer->start(period);
}

int32_t MainWindow::TimerPeriod() const { return m_period; }

void MainWindow::CentreOnPrimaryScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  const QSize outer = frameGeometry().size();
  move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
}

bool MainWindow::Owns(const QObject* object) const {
  if (object == nullptr || !object->isWidgetType()) return false;
  const auto* start = static_cast<const QWidget*>(object);
  // A dialog of its own keeps its keys; a popup (the selector's list, a menu) is part of the window.
  if (start->window() != this && start->window()->windowType() != Qt::Popup) return false;
  // parentWidget() also leads out of a popup to the control that opened it.
  for (const QWidget* widget = start; widget != nullptr; widget = widget->parentWidget()) {
    if (widget == this) return true;
  }
  return false;
}

void MainWindow::MoveFocus(bool forward) {
  const std::array<QWidget*, 5> order = {m_autoRefresh, m_interval, m_list, m_refresh, m_region};
  const int count = static_cast<int>(order.size());
  const QWidget* focus = focusWidget();
  int current = -1;
  for (int i = 0; i < count; ++i) {
    if (focus != nullptr && (order[i] == focus || order[i]->isAncestorOf(focus))) current = i;
  }
  const int start = current >= 0 ? current : (forward ? -1 : count);
  for (int step = 1; step <= count; ++step) {
    const int index = ((start + (forward ? step : -step)) % count + count) % count;
    QWidget* candidate = order[static_cast<size_t>(index)];
    if (candidate->isVisible() && candidate->isEnabled()) {
      candidate->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
      return;
    }
  }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress || !Owns(watched)) return QWidget::eventFilter(watched, event);
  const auto* key = static_cast<const QKeyEvent*>(event);
  const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
  if (key->key() == Qt::Key_Escape && mods == Qt::NoModifier) {
    if (QWidget* popup = QApplication::activePopupWidget(); popup != nullptr && Owns(popup)) popup->close();
    close();
    return true;
  }
  const bool tab = key->key() == Qt::Key_Tab && mods == Qt::NoModifier;
  const bool backtab = (key->key() == Qt::Key_Backtab || key->key() == Qt::Key_Tab) && mods == Qt::ShiftModifier;
  // Inside an open popup Tab belongs to the popup.
  if ((tab || backtab) && QApplication::activePopupWidget() == nullptr) {
    MoveFocus(tab);
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (m_shownOnce) return;
  m_shownOnce = true;
  // Only now does the frame have its real size, and the outer frame is what is centred.
  CentreOnPrimaryScreen();
  if (focusWidget() == nullptr) MoveFocus(true);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  if (!event->isAccepted()) return;
  // The timer goes with the window: no tick may follow the close.
  m_timer->stop();
  m_period = 0;
}
