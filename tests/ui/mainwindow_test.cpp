#include "ui/mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QHelpEvent>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <algorithm>
#include <memory>

#include "ui/intervalbox.h"
#include "ui/tooltip.h"

namespace {

QString Name(const char* utf8) { return QString::fromUtf8(utf8); }

QKeyCombination Standard(QKeySequence::StandardKey key) { return QKeySequence(key)[0]; }

QWidget* ShownTip() {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->inherits("QTipLabel") && top->isVisible()) return top;
  }
  return nullptr;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<MainWindow> m_window;

  template <typename T = QWidget>
  T* Find(const char* name) const {
    return m_window->findChild<T*>(Name(name));
  }
  IntervalBox* Box() const { return Find<IntervalBox>("编辑框1"); }

  bool ShowActive() {
    m_window->show();
    QApplication::setActiveWindow(m_window.get());
    return QTest::qWaitForWindowActive(m_window.get());
  }

 private slots:
  void init() { m_window = std::make_unique<MainWindow>(); }

  void cleanup() {
    QToolTip::hideText();
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    m_window.reset();
  }

  void windowAtStart() {
    QSignalSpy chosen(m_window.get(), &MainWindow::regionChosen);
    QVERIFY(ShowActive());
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Tezmaro V1"));
    QCOMPARE(m_window->size(), QSize(294, 471));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(m_window->testAttribute(Qt::WA_AlwaysShowToolTips));
    // The icon comes from the compiled-in artwork: a missing resource would give an empty pixmap.
    QCOMPARE(m_window->windowIcon().pixmap(QSize(32, 32)).size(), QSize(32, 32));

    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect frame = m_window->frameGeometry();
    QCOMPARE(frame.left(), screen.left() + (screen.width() - frame.width()) / 2);
    QCOMPARE(frame.top(), screen.top() + (screen.height() - frame.height()) / 2);

    auto* region = Find<QComboBox>("组合框1");
    QCOMPARE(region->count(), 6);
    QStringList items;
    for (int i = 0; i < region->count(); ++i) items << region->itemText(i);
    QCOMPARE(items, (QStringList{"服务器", "US 北美", "EU 欧洲", "AS 亚太", "OC 澳洲", "SA 南美"}));
    QCOMPARE(m_window->CurrentRegion(), 0);
    QVERIFY(!region->isEditable());

    IntervalBox* box = Box();
    QCOMPARE(m_window->IntervalText(), QStringLiteral("1"));
    QCOMPARE(box->cursorPosition(), 0);
    QVERIFY(!box->hasSelectedText());
    QCOMPARE(box->maxLength(), 5);
    QCOMPARE(box->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);

    QVERIFY(!m_window->AutoRefreshChecked());
    auto* button = Find<QPushButton>("超级按钮1");
    QVERIFY(button->isFlat() && button->isCheckable() && button->isChecked());
    auto* timer = m_window->findChild<QTimer*>(Name("时钟1"));
    QVERIFY(timer != nullptr);
    QVERIFY(!timer->isActive());
    QCOMPARE(m_window->TimerPeriod(), 0);

    QCOMPARE(QApplication::focusWidget(), Find("选择框1"));
    QCoreApplication::processEvents();
    QCOMPARE(chosen.count(), 0);
  }

  void controlPlaces_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("place");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("takesFocus");
    QTest::newRow("label 5") << "透明标签5" << QRect(144, 16, 136, 16) << "【我吃鸡都是借的号…】" << false;
    QTest::newRow("maker link") << "超级链接框2" << QRect(76, 16, 60, 16) << "TzDev" << false;
    QTest::newRow("label 3") << "透明标签3" << QRect(16, 16, 56, 16) << "软件制作：TzDev" << false;
    QTest::newRow("label 2") << "透明标签2" << QRect(240, 1, 40, 16) << "【…】" << false;
    QTest::newRow("source link") << "超级链接框1" << QRect(75, 1, 144, 16)
                                 << "http://ec2-reachability.amazonaws.com/" << false;
    QTest::newRow("label 1") << "透明标签1" << QRect(16, 1, 64, 16) << "数据来源：" << false;
    QTest::newRow("selector") << "组合框1" << QRect(12, 442, 76, 20) << QString() << true;
    QTest::newRow("button") << "超级按钮1" << QRect(194, 433, 100, 38) << "手动刷新" << true;
    QTest::newRow("list") << "超级列表框1" << QRect(0, 33, 294, 400) << QString() << true;
    QTest::newRow("interval box") << "编辑框1" << QRect(200, 442, 32, 20) << "1" << true;
    QTest::newRow("spinner") << "" << QRect(232, 442, 18, 20) << QString() << false;
    QTest::newRow("label 4") << "透明标签4" << QRect(256, 442, 16, 20) << "秒" << false;
    QTest::newRow("check box") << "选择框1" << QRect(122, 442, 79, 20) << "自动刷新" << true;
  }

  void controlPlaces() {
    QFETCH(QString, name);
    QFETCH(QRect, place);
    QFETCH(QString, text);
    QFETCH(bool, takesFocus);
    QVERIFY(ShowActive());
    QWidget* control = name.isEmpty() ? Box()->Spinner() : m_window->findChild<QWidget*>(name);
    QVERIFY(control != nullptr);
    QCOMPARE(control->parentWidget(), m_window.get());
    QCOMPARE(control->geometry(), place);
    QVERIFY(control->isVisible());
    if (!text.isNull()) QCOMPARE(control->property("text").toString(), text);
    QCOMPARE((control->focusPolicy() & Qt::TabFocus) != 0, takesFocus);
  }

  void stackingOrder() {
    // Topmost first; the spinner has no name of its own.
    const QStringList expected{"透明标签5", "超级链接框2", "透明标签3", "透明标签2", "超级链接框1",
                               "透明标签1", "组合框1",     "超级按钮1", "超级列表框1", "编辑框1",
                               "spinner",   "透明标签4",   "选择框1"};
    QStringList stack;
    for (QObject* child : m_window->children()) {
      if (!child->isWidgetType()) continue;
      stack.prepend(child == Box()->Spinner() ? QStringLiteral("spinner") : child->objectName());
    }
    QCOMPARE(stack, expected);
  }

  void overlapsGoToTheUpperControl_data() {
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<bool>("autoRefreshOn");
    QTest::addColumn<QString>("upper");
    QTest::newRow("button covers the interval box") << QPoint(210, 450) << false << "超级按钮1";
    QTest::newRow("box once the button is hidden") << QPoint(210, 450) << true << "编辑框1";
    QTest::newRow("box over the check box's edge") << QPoint(200, 450) << true << "编辑框1";
    QTest::newRow("source link over label 1") << QPoint(77, 8) << false << "超级链接框1";
  }

  void overlapsGoToTheUpperControl() {
    QFETCH(QPoint, point);
    QFETCH(bool, autoRefreshOn);
    QFETCH(QString, upper);
    m_window->SetRefreshButtonVisible(!autoRefreshOn);
    QWidget* hit = m_window->childAt(point);
    while (hit != nullptr && hit->parentWidget() != m_window.get()) hit = hit->parentWidget();
    QVERIFY(hit != nullptr);
    QCOMPARE(hit->objectName(), upper);
  }

  void intervalTyping_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("changes");
    // The caret starts before the "1".
    QTest::newRow("letters dropped") << "abcXYZ" << "1" << 0;
    QTest::newRow("dot dropped") << "." << "1" << 0;
    QTest::newRow("space dropped") << " " << "1" << 0;
    QTest::newRow("minus accepted") << "-" << "-1" << 1;
    QTest::newRow("digits among others") << "9a.8 " << "981" << 2;
    QTest::newRow("fifth character is the last") << "2345" << "23451" << 4;
    QTest::newRow("sixth character refused") << "23456" << "23451" << 4;
  }

  void intervalTyping() {
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    QFETCH(int, changes);
    QVERIFY(ShowActive());
    IntervalBox* box = Box();
    box->setFocus();
    QSignalSpy changed(m_window.get(), &MainWindow::intervalChanged);
    QTest::keyClicks(box, typed);
    QCOMPARE(m_window->IntervalText(), expected);
    QCOMPARE(changed.count(), changes);
  }

  void intervalControlKeys_data() {
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("changes");
    QTest::newRow("delete at the caret") << QKeySequence(Qt::Key_Delete) << "" << 1;
    QTest::newRow("backspace at the end") << QKeySequence(Qt::Key_End, Qt::Key_Backspace) << "" << 1;
    QTest::newRow("undo brings it back") << QKeySequence(QKeyCombination(Qt::Key_Delete), Standard(QKeySequence::Undo)) << "1" << 2;
    QTest::newRow("cut") << QKeySequence(Standard(QKeySequence::SelectAll), Standard(QKeySequence::Cut)) << "" << 1;
    QTest::newRow("arrows change nothing") << QKeySequence(Qt::Key_Right, Qt::Key_Left) << "1" << 0;
    QTest::newRow("enter and F1 do nothing") << QKeySequence(Qt::Key_Return, Qt::Key_F1) << "1" << 0;
  }

  void intervalControlKeys() {
    QFETCH(QKeySequence, keys);
    QFETCH(QString, expected);
    QFETCH(int, changes);
    QVERIFY(ShowActive());
    IntervalBox* box = Box();
    box->setFocus();
    QSignalSpy changed(m_window.get(), &MainWindow::intervalChanged);
    QTest::keySequence(box, keys);
    QCOMPARE(m_window->IntervalText(), expected);
    QCOMPARE(changed.count(), changes);
    QVERIFY(m_window->isVisible());
  }

  void intervalPaste_data() {
    QTest::addColumn<QString>("clip");
    QTest::addColumn<bool>("replaceAll");
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<QString>("expected");
    const QKeySequence ctrlV(Qt::CTRL | Qt::Key_V);
    QTest::newRow("lower case shown upper") << "ab" << true << ctrlV << "AB";
    QTest::newRow("not filtered") << "x. -y" << true << ctrlV << "X. -Y";
    QTest::newRow("cut to five") << "1234567" << true << ctrlV << "12345";
    QTest::newRow("only what fits") << "abcdef" << false << ctrlV << "ABCD1";
    QTest::newRow("shift insert") << "k9" << true << QKeySequence(Qt::SHIFT | Qt::Key_Insert) << "K9";
    QTest::newRow("context menu") << "q-1" << true << QKeySequence() << "Q-1";
  }

  void intervalPaste() {
    QFETCH(QString, clip);
    QFETCH(bool, replaceAll);
    QFETCH(QKeySequence, keys);
    QFETCH(QString, expected);
    QVERIFY(ShowActive());
    IntervalBox* box = Box();
    box->setFocus();
    if (replaceAll) box->selectAll();
    QGuiApplication::clipboard()->setText(clip);
    QSignalSpy changed(m_window.get(), &MainWindow::intervalChanged);
    if (keys.isEmpty()) {
      QContextMenuEvent menuAsked(QContextMenuEvent::Mouse, QPoint(5, 5), box->mapToGlobal(QPoint(5, 5)));
      QCoreApplication::sendEvent(box, &menuAsked);
      QTRY_VERIFY(qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr);
      const QList<QAction*> actions = QApplication::activePopupWidget()->actions();
      const auto paste = std::find_if(actions.begin(), actions.end(),
                                      [](QAction* action) { return action->text().contains(u"Paste"); });
      QVERIFY(paste != actions.end());
      (*paste)->trigger();
    } else {
      QTest::keySequence(box, keys);
    }
    QCOMPARE(m_window->IntervalText(), expected);
    QCOMPARE(changed.count(), 1);

    // The paste is undone in one step, back to the text before it.
    QTest::keySequence(box, QKeySequence::Undo);
    QCOMPARE(m_window->IntervalText(), QStringLiteral("1"));
  }

  void selectionShownOnlyWithFocus() {
    QVERIFY(ShowActive());
    IntervalBox* box = Box();
    box->setFocus();
    box->selectAll();
    QCOMPARE(box->palette().color(QPalette::Active, QPalette::Highlight),
             QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight));
    Find("选择框1")->setFocus();
    QTRY_VERIFY(!box->hasFocus());
    QCOMPARE(box->palette().color(QPalette::Active, QPalette::Highlight), box->palette().color(QPalette::Base));
  }

  void spinner_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("after");
    QTest::newRow("up from 1") << "1" << true << "2";
    QTest::newRow("up wraps past 86400") << "86400" << true << "0";
    QTest::newRow("up from empty") << "" << true << "1";
    QTest::newRow("up from -5") << "-5" << true << "0";
    QTest::newRow("up reads leading blanks and sign") << "  +7" << true << "8";
    QTest::newRow("up stops at the first non-digit") << "12AB" << true << "13";
    QTest::newRow("up from 99999") << "99999" << true << "0";
    QTest::newRow("down wraps below 0") << "0" << false << "86400";
    QTest::newRow("down from empty") << "" << false << "86400";
    QTest::newRow("down from -5") << "-5" << false << "86400";
    QTest::newRow("down from 1") << "1" << false << "0";
    QTest::newRow("down from lone minus") << "-" << false << "86400";
    QTest::newRow("down from 86401") << "86401" << false << "86400";
    QTest::newRow("down from 99999") << "99999" << false << "86400";
  }

  void spinner() {
    QFETCH(QString, before);
    QFETCH(bool, up);
    QFETCH(QString, after);
    QVERIFY(ShowActive());
    IntervalBox* box = Box();
    box->setText(before);
    QVERIFY(!box->hasFocus());
    QSignalSpy changed(m_window.get(), &MainWindow::intervalChanged);
    IntervalSpinner* spinner = box->Spinner();
    QTest::mouseClick(up ? spinner->UpButton() : spinner->DownButton(), Qt::LeftButton);
    QCOMPARE(m_window->IntervalText(), after);
    QCOMPARE(changed.count(), 1);
    QVERIFY(box->hasFocus());
    QCOMPARE(box->selectedText(), after);
  }

  void spinnerFollowsTheBox() {
    QVERIFY(ShowActive());
    IntervalBox* box = Box();
    IntervalSpinner* spinner = box->Spinner();
    QSignalSpy changed(m_window.get(), &MainWindow::intervalChanged);

    box->setEnabled(false);
    QVERIFY(!spinner->isEnabled());
    spinner->Step(+1);
    box->setEnabled(true);
    QVERIFY(spinner->isEnabled());

    box->hide();
    QVERIFY(!spinner->isVisible());
    spinner->Step(-1);
    box->show();
    QVERIFY(spinner->isVisible());
    QCOMPARE(m_window->IntervalText(), QStringLiteral("1"));
    QCOMPARE(changed.count(), 0);

    box->setGeometry(100, 300, 40, 24);
    QCOMPARE(spinner->geometry(), QRect(140, 300, 18, 24));
  }

  void timerPeriodRule_data() {
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("same period keeps the phase") << 5000 << 5000 << "kept";
    QTest::newRow("other period restarts the count") << 4000 << 5000 << "restarted";
    QTest::newRow("negative stops") << 5000 << -1 << "stopped";
    QTest::newRow("zero stops") << 5000 << 0 << "stopped";
  }

  void timerPeriodRule() {
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(QString, outcome);
    auto* timer = m_window->findChild<QTimer*>(Name("时钟1"));
    m_window->SetTimerPeriod(first);
    QVERIFY(timer->isActive());
    QTRY_VERIFY(timer->remainingTime() < first - 50);
    const int before = timer->remainingTime();
    m_window->SetTimerPeriod(second);
    QCOMPARE(m_window->TimerPeriod(), std::max(second, 0));
    if (outcome == "kept") {
      QVERIFY(timer->isActive());
      QVERIFY(timer->remainingTime() <= before);
    } else if (outcome == "restarted") {
      QVERIFY(timer->isActive());
      QVERIFY(timer->remainingTime() > before + 500);
    } else {
      QVERIFY(!timer->isActive());
    }
  }

  void timerTicksUntilClose() {
    QVERIFY(ShowActive());
    QSignalSpy ticks(m_window.get(), &MainWindow::timerTicked);
    m_window->SetTimerPeriod(10);
    QTRY_VERIFY(ticks.count() >= 2);
    m_window->close();
    QVERIFY(!m_window->findChild<QTimer*>(Name("时钟1"))->isActive());
  }

  void escapeCloses_data() {
    QTest::addColumn<QString>("focused");
    QTest::addColumn<bool>("listOpen");
    QTest::newRow("check box") << "选择框1" << false;
    QTest::newRow("interval box") << "编辑框1" << false;
    QTest::newRow("list") << "超级列表框1" << false;
    QTest::newRow("button") << "超级按钮1" << false;
    QTest::newRow("selector") << "组合框1" << false;
    QTest::newRow("selector with its list open") << "组合框1" << true;
  }

  void escapeCloses() {
    QFETCH(QString, focused);
    QFETCH(bool, listOpen);
    QVERIFY(ShowActive());
    QWidget* control = m_window->findChild<QWidget*>(focused);
    control->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), control);
    QWidget* target = control;
    if (listOpen) {
      static_cast<QComboBox*>(control)->showPopup();
      QTRY_VERIFY(QApplication::activePopupWidget() != nullptr);
      target = QApplication::activePopupWidget();
      if (target->focusWidget() != nullptr) target = target->focusWidget();
    }
    QTest::keyClick(target, Qt::Key_Escape);
    QVERIFY(!m_window->isVisible());
    QTRY_COMPARE(QApplication::activePopupWidget(), nullptr);
  }

  void tabOrder_data() {
    QTest::addColumn<bool>("forward");
    QTest::addColumn<QString>("hidden");
    QTest::addColumn<QString>("disabled");
    QTest::addColumn<QStringList>("visits");
    QTest::newRow("tab") << true << "" << ""
                         << QStringList{"编辑框1", "超级列表框1", "超级按钮1", "组合框1", "选择框1"};
    QTest::newRow("shift tab") << false << "" << ""
                               << QStringList{"组合框1", "超级按钮1", "超级列表框1", "编辑框1", "选择框1"};
    QTest::newRow("hidden button skipped") << true << "超级按钮1" << ""
                                           << QStringList{"编辑框1", "超级列表框1", "组合框1", "选择框1"};
    QTest::newRow("disabled box skipped") << false << "" << "编辑框1"
                                          << QStringList{"组合框1", "超级按钮1", "超级列表框1", "选择框1"};
  }

  void tabOrder() {
    QFETCH(bool, forward);
    QFETCH(QString, hidden);
    QFETCH(QString, disabled);
    QFETCH(QStringList, visits);
    auto* list = Find<QTableWidget>("超级列表框1");
    list->setColumnCount(3);
    list->setRowCount(3);
    list->setCurrentCell(1, 1);
    if (hidden == "超级按钮1") m_window->SetRefreshButtonVisible(false);
    if (!disabled.isEmpty()) m_window->findChild<QWidget*>(disabled)->setEnabled(false);
    QVERIFY(ShowActive());
    QCOMPARE(QApplication::focusWidget(), Find("选择框1"));

    QStringList seen;
    for (qsizetype i = 0; i < visits.size(); ++i) {
      QTest::keyClick(QApplication::focusWidget(), forward ? Qt::Key_Tab : Qt::Key_Backtab,
                      forward ? Qt::NoModifier : Qt::ShiftModifier);
      seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, visits);
    // Tab leaves the list's current cell where it was.
    QCOMPARE(list->currentRow(), 1);
    QCOMPARE(list->currentColumn(), 1);
  }

  void checkBoxClicked_data() {
    QTest::addColumn<bool>("byPointer");
    QTest::newRow("space key") << false;
    QTest::newRow("pointer") << true;
  }

  void checkBoxClicked() {
    QFETCH(bool, byPointer);
    QVERIFY(ShowActive());
    auto* check = Find<QCheckBox>("选择框1");
    QList<bool> statesSeen;
    connect(m_window.get(), &MainWindow::autoRefreshClicked, this,
            [&] { statesSeen << m_window->AutoRefreshChecked(); });
    for (int i = 0; i < 2; ++i) {
      if (byPointer) {
        QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(6, check->height() / 2));
      } else {
        QTest::keyClick(check, Qt::Key_Space);
      }
    }
    QCOMPARE(statesSeen, (QList<bool>{true, false}));

    // The program's own writes raise nothing.
    m_window->SetAutoRefreshCaption(QStringLiteral("自动刷新："));
    check->setChecked(true);
    QCOMPARE(check->text(), QStringLiteral("自动刷新："));
    QCOMPARE(statesSeen.size(), 2);
  }

  void refreshButton() {
    QVERIFY(ShowActive());
    auto* button = Find<QPushButton>("超级按钮1");
    QSignalSpy clicked(m_window.get(), &MainWindow::refreshClicked);
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(clicked.count(), 2);
    m_window->SetRefreshButtonVisible(false);
    QVERIFY(!button->isVisible());
    m_window->SetRefreshButtonVisible(true);
    QVERIFY(button->isVisible());
  }

  void regionChosen_data() {
    QTest::addColumn<int>("item");
    QTest::addColumn<bool>("byPointer");
    QTest::newRow("pointer picks another region") << 3 << true;
    QTest::newRow("pointer picks the region shown") << 0 << true;
    QTest::newRow("keys pick another region") << 5 << false;
    QTest::newRow("keys pick the region shown") << 0 << false;
  }

  void regionChosen() {
    QFETCH(int, item);
    QFETCH(bool, byPointer);
    QVERIFY(ShowActive());
    auto* region = Find<QComboBox>("组合框1");
    QList<int> seen;
    connect(m_window.get(), &MainWindow::regionChosen, this, [&] { seen << m_window->CurrentRegion(); });

    region->setFocus();
    region->showPopup();
    QTRY_VERIFY(region->view()->isVisible());
    QAbstractItemView* view = region->view();
    const QModelIndex index = view->model()->index(item, 0);
    if (byPointer) {
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
    } else {
      for (int i = 0; i < item; ++i) QTest::keyClick(view, Qt::Key_Down);
      QTest::keyClick(view, Qt::Key_Return);
    }
    // Raised after the selector has finished, not from inside it.
    QVERIFY(seen.isEmpty());
    QTRY_COMPARE(seen, QList<int>{item});
    QVERIFY(!view->isVisible());
  }

  void regionNotChosen_data() {
    QTest::addColumn<bool>("programmatic");
    QTest::newRow("set by the program") << true;
    QTest::newRow("list closed by a click outside") << false;
  }

  void regionNotChosen() {
    QFETCH(bool, programmatic);
    QVERIFY(ShowActive());
    auto* region = Find<QComboBox>("组合框1");
    QSignalSpy chosen(m_window.get(), &MainWindow::regionChosen);
    if (programmatic) {
      region->setCurrentIndex(2);
      QCOMPARE(m_window->CurrentRegion(), 2);
    } else {
      region->showPopup();
      QTRY_VERIFY(QApplication::activePopupWidget() != nullptr);
      QWidget* popup = QApplication::activePopupWidget();
      QTest::mouseClick(popup, Qt::LeftButton, {}, QPoint(-20, -20));
      QTRY_COMPARE(QApplication::activePopupWidget(), nullptr);
      QCOMPARE(m_window->CurrentRegion(), 0);
    }
    QCoreApplication::processEvents();
    QCOMPARE(chosen.count(), 0);
  }

  void tooltipKeepsItsLines_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("centred");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("five lines, one empty, one long")
        << "AWS（Amazon Web Services） - 该公司提供PUBG服务器。\r\n 并不是所有的都在游戏中使用，"
           "但是有完整的服务器 - IP列表。\r\n（也许这个信息对你有用）\r\n\r\n"
           "下次更新打算增加延迟最高值最低值还有平均值、游戏内显示当前延迟、云更新列表"
        << false
        << QStringList{"AWS（Amazon Web Services） - 该公司提供PUBG服务器。",
                       " 并不是所有的都在游戏中使用，但是有完整的服务器 - IP列表。", "（也许这个信息对你有用）",
                       "", "下次更新打算增加延迟最高值最低值还有平均值、游戏内显示当前延迟、云更新列表"};
    QTest::newRow("leading spaces kept") << "a\r\n  b\r\n c" << false << QStringList{"a", "  b", " c"};
    const QString wide(300, QChar(u'长'));
    QTest::newRow("line wider than the screen") << "a\r\n" + wide << false << QStringList{"a", wide};
    QTest::newRow("markup shown as text") << "<b>bold</b> & co\r\n x" << false
                                          << QStringList{"<b>bold</b> & co", " x"};
    QTest::newRow("centred below the control") << "one\r\ntwo" << true << QStringList{"one", "two"};
  }

  void tooltipKeepsItsLines() {
    QFETCH(QString, text);
    QFETCH(bool, centred);
    QFETCH(QStringList, lines);
    QVERIFY(ShowActive());
    QWidget* label = Find("透明标签2");
    QVERIFY(AttachTooltip(label, text, false, centred));

    const QPoint at(5, 5);
    QHelpEvent hover(QEvent::ToolTip, at, label->mapToGlobal(at));
    QCoreApplication::sendEvent(label, &hover);
    QTRY_VERIFY(ShownTip() != nullptr);
    const QString shown = QToolTip::text();
    QString plain = shown;
    if (Qt::mightBeRichText(shown)) {
      QTextDocument document;
      document.setHtml(shown);
      plain = document.toPlainText();
    }
    QCOMPARE(plain.split(u'\n'), lines);

    // Unwrapped: the tip is wider than its widest line.
    QWidget* tip = ShownTip();
    const QFontMetrics metrics(tip->font());
    int widest = 0;
    for (const QString& line : lines) widest = std::max(widest, metrics.horizontalAdvance(line));
    QVERIFY2(tip->width() >= widest, qPrintable(QStringLiteral("%1 < %2").arg(tip->width()).arg(widest)));
    QVERIFY(tip->height() < (static_cast<int>(lines.size()) + 2) * metrics.lineSpacing());

    if (centred) {
      const int middle = label->mapToGlobal(QPoint(label->width() / 2, 0)).x();
      QVERIFY(qAbs(tip->geometry().center().x() - middle) <= 1);
      QVERIFY(tip->geometry().top() >= label->mapToGlobal(QPoint(0, label->height())).y());
    }
  }

  void tooltipOnNothing() { QVERIFY(!AttachTooltip(nullptr, QStringLiteral("x"), false, false)); }
};

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "mainwindow_test.moc"
