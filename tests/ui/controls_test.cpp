#include <sched.h>

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>
#include <QUrl>

#include <memory>

#include "ui/hyperlink.h"
#include "ui/mainwindow.h"
#include "ui/openpage.h"
#include "ui/refreshbutton.h"
#include "ui/tooltip.h"
#include "ui/transparentlabel.h"

namespace {

const QColor kWindowColour(30, 160, 60);
const QColor kFace(212, 208, 200);
const QColor kLightFace(244, 240, 232);
const QColor kText(0, 0, 0);
const QColor kHighlight(255, 255, 255);
const QColor kShadow(128, 128, 128);

const QString kAddress = QStringLiteral("http://pages.test/tezmaro/");

// The first opening step as the tests want it; no test ever reaches the desktop's own handler.
bool g_shellAnswer = false;
QList<QUrl> g_shellAsked;
bool FakeShell(const QUrl& url) {
  g_shellAsked << url;
  return g_shellAnswer;
}

QPalette FixedPalette() {
  QPalette colours;
  colours.setColor(QPalette::Window, kWindowColour);
  colours.setColor(QPalette::Button, kFace);
  colours.setColor(QPalette::ButtonText, kText);
  colours.setColor(QPalette::Light, kHighlight);
  colours.setColor(QPalette::Dark, kShadow);
  return colours;
}

// Without antialiasing every ink pixel has exactly the pen's colour.
QFont CrispFont() {
  QFont font = QApplication::font();
  font.setStyleStrategy(QFont::NoAntialias);
  return font;
}

QImage Snapshot(QWidget* widget, const QRect& area = QRect(QPoint(0, 0), QSize(-1, -1))) {
  return widget->grab(area).toImage().convertToFormat(QImage::Format_RGB32);
}

QColor At(const QImage& image, int x, int y) { return image.pixelColor(x, y); }

int CountOf(const QImage& image, const QColor& colour) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) count += image.pixelColor(x, y) == colour ? 1 : 0;
  }
  return count;
}

QRect BoundsOf(const QImage& image, const QColor& colour, const QRect& within) {
  QRect bounds;
  for (int y = within.top(); y <= within.bottom(); ++y) {
    for (int x = within.left(); x <= within.right(); ++x) {
      if (image.pixelColor(x, y) == colour) bounds |= QRect(x, y, 1, 1);
    }
  }
  return bounds;
}

QString Unexpected(const QImage& image, const QList<QColor>& allowed) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (!allowed.contains(image.pixelColor(x, y))) {
        return QStringLiteral("(%1,%2) is %3").arg(x).arg(y).arg(image.pixelColor(x, y).name());
      }
    }
  }
  return QString();
}

QStringList TipLines() {
  QTextDocument document;
  document.setHtml(QToolTip::text());
  return document.toPlainText().split(u'\n');
}

QList<QWidget*> TipWindows() {
  QList<QWidget*> tips;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->inherits("QTipLabel") && top->isVisible()) tips << top;
  }
  return tips;
}

// A real double click: the QWidget overload of QTest sends the double click alone.
void DoubleClick(QWidget* widget, const QPoint& at) {
  QWidget* top = widget->window();
  QTest::mouseDClick(top->windowHandle(), Qt::LeftButton, {}, widget->mapTo(top, at));
}

}  // namespace

class ControlsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QWidget> m_host;
  std::unique_ptr<QTemporaryDir> m_xdg;

  // A window with the fixed colours and a crisp font, room beside its controls for the pointer to go.
  void ShowHost() {
    m_host->show();
    QApplication::setActiveWindow(m_host.get());
    QVERIFY(QTest::qWaitForWindowActive(m_host.get()));
    // The pointer starts in a corner where no control is, whatever the test before left it over.
    QTest::mouseMove(m_host.get(), QPoint(m_host->width() - 2, m_host->height() - 2));
  }

  QString XdgPath(const QString& relative) const { return m_xdg->filePath(relative); }

  void WriteFile(const QString& relative, const QByteArray& content) const {
    const QString path = XdgPath(relative);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
  }

  // A stand-in browser that writes its arguments, one a line, to a file named after it.
  QString WriteHandler(const QString& name) const {
    const QString script = XdgPath(QStringLiteral("bin/") + name);
    const QString record = XdgPath(QStringLiteral("record-") + name);
    WriteFile(QStringLiteral("bin/") + name,
              QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1.part' && mv '%1.part' '%1'\n")
                  .arg(record)
                  .toUtf8());
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return script;
  }

  QStringList Recorded(const QString& name) const {
    QFile file(XdgPath(QStringLiteral("record-") + name));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
  }

  bool RecordExists(const QString& name) const { return QFile::exists(XdgPath(QStringLiteral("record-") + name)); }

 private slots:
  void init() {
    m_xdg = std::make_unique<QTemporaryDir>();
    QVERIFY(m_xdg->isValid());
    qputenv("XDG_CONFIG_HOME", XdgPath("config").toUtf8());
    qputenv("XDG_CONFIG_DIRS", XdgPath("etc").toUtf8());
    qputenv("XDG_DATA_HOME", XdgPath("data").toUtf8());
    qputenv("XDG_DATA_DIRS", XdgPath("share").toUtf8());
    qunsetenv("XDG_CURRENT_DESKTOP");
    g_shellAnswer = false;
    g_shellAsked.clear();

    m_host = std::make_unique<QWidget>();
    m_host->setPalette(FixedPalette());
    m_host->setFont(CrispFont());
    m_host->setAutoFillBackground(true);
    m_host->setGeometry(0, 0, 320, 120);
    // Qt consults the cursor when a widget is shown under it; keep it off every window of the tests.
    QCursor::setPos(QGuiApplication::primaryScreen()->geometry().bottomRight());
  }

  void cleanup() {
    QToolTip::hideText();
    m_host.reset();
    m_xdg.reset();
  }

  void labelShowsWhatLiesBeneath() {
    // Half of the label lies over a red sibling, the rest over the window.
    auto* beneath = new QWidget(m_host.get());
    beneath->setGeometry(10, 10, 40, 20);
    QPalette red;
    red.setColor(QPalette::Window, Qt::red);
    beneath->setPalette(red);
    beneath->setAutoFillBackground(true);
    auto* label = new TransparentLabel(QStringLiteral("数据"), m_host.get());
    label->setGeometry(30, 10, 80, 20);
    ShowHost();
    QCOMPARE(label->cursor().shape(), Qt::ArrowCursor);

    const QImage image = Snapshot(m_host.get(), label->geometry());
    QCOMPARE(Unexpected(image, {kWindowColour, QColor(Qt::red), kText}), QString());
    QCOMPARE(At(image, 1, 1), QColor(Qt::red));
    QCOMPARE(At(image, 78, 18), kWindowColour);
    const QRect ink = BoundsOf(image, kText, image.rect());
    QVERIFY(!ink.isEmpty());
    QVERIFY2(ink.left() <= 2, "left-aligned");
    QVERIFY2(qAbs(ink.center().y() - image.rect().center().y()) <= 2, "vertically centred");
  }

  void creditIsCutAtTheRightEdge() {
    MainWindow window;
    window.setPalette(FixedPalette());
    window.setFont(CrispFont());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* credit = window.findChild<TransparentLabel*>(QStringLiteral("透明标签3"));
    QVERIFY(credit != nullptr);

    // The same text with room to spare shows how far it would reach.
    auto* wide = new TransparentLabel(credit->text(), m_host.get());
    wide->setGeometry(0, 0, 200, credit->height());
    ShowHost();
    const QImage whole = Snapshot(m_host.get(), wide->geometry());
    QVERIFY2(BoundsOf(whole, kText, whole.rect()).right() >= credit->width(), "the credit is wider than its label");

    // Up to the edge the credit is drawn as it would be anyway; past it, up to the next control, nothing.
    QCOMPARE(Snapshot(&window, credit->geometry()), whole.copy(0, 0, credit->width(), credit->height()));
    const QRect past(credit->geometry().right() + 1, credit->y() + 1, 3, credit->height() - 1);
    QCOMPARE(CountOf(Snapshot(&window, past), kText), 0);
  }

  void hyperlinkColours_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("normal") << "normal" << Hyperlink::kNormalColour;
    QTest::newRow("hovered") << "hovered" << Hyperlink::kHoverColour;
    QTest::newRow("opened, pointer gone") << "visited" << Hyperlink::kVisitedColour;
    QTest::newRow("opened while hovered") << "visited hovered" << Hyperlink::kHoverColour;
    QTest::newRow("open failed after one succeeded, pointer gone") << "failed" << Hyperlink::kNormalColour;
  }

  void hyperlinkColours() {
    QFETCH(QString, state);
    QFETCH(QColor, colour);
    auto* link = new Hyperlink(QStringLiteral("TzDev"), kAddress, m_host.get());
    link->setGeometry(20, 20, 60, 16);
    ShowHost();
    const QPoint away = link->geometry().bottomRight() + QPoint(40, 40);
    if (state.startsWith(u"visited") || state == u"failed") {
      g_shellAnswer = true;
      QTest::mousePress(link, Qt::LeftButton);
      QTest::mouseRelease(link, Qt::LeftButton);
    }
    if (state == u"failed") {
      g_shellAnswer = false;
      QTest::mousePress(link, Qt::LeftButton);
      QTest::mouseRelease(link, Qt::LeftButton);
      QVERIFY(!link->IsVisited());
    }
    if (state.endsWith(u"hovered")) {
      QTest::mouseMove(link, QPoint(5, 5));
    } else {
      QTest::mouseMove(link, QPoint(5, 5));
      QTest::mouseMove(m_host.get(), away);
    }

    const QImage image = Snapshot(link);
    QCOMPARE(Unexpected(image, {kFace, colour}), QString());
    QVERIFY(CountOf(image, colour) > 0);
  }

  void hyperlinkText_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("shape");
    QTest::newRow("caption centred") << "TzDev" << 100 << "centred";
    QTest::newRow("no caption shows the address") << "" << 300 << "centred";
    QTest::newRow("too wide, cut at both ends") << QString(30, QChar(0x2588)) << 60 << "cut";
  }

  void hyperlinkText() {
    QFETCH(QString, caption);
    QFETCH(int, width);
    QFETCH(QString, shape);
    auto* link = new Hyperlink(caption, kAddress, m_host.get());
    link->setGeometry(0, 0, width, 16);
    ShowHost();
    QCOMPARE(link->text(), caption.isEmpty() ? kAddress : caption);
    QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);

    const QImage image = Snapshot(link);
    const QRect ink = BoundsOf(image, Hyperlink::kNormalColour, image.rect());
    if (shape == u"cut") {
      QCOMPARE(ink.left(), 0);
      QCOMPARE(ink.right(), width - 1);
    } else {
      QVERIFY2(qAbs(ink.left() - (width - 1 - ink.right())) <= 2, "centred horizontally");
      QVERIFY2(qAbs(ink.center().y() - image.rect().center().y()) <= 2, "centred vertically");
      // What the address would look like as a caption is exactly what is shown without one.
      Hyperlink twin(QString(link->text()), QString(), m_host.get());
      twin.setGeometry(link->geometry());
      twin.show();
      QCOMPARE(Snapshot(&twin), image);
    }
  }

  void hyperlinkOpensOnPress_data() {
    QTest::addColumn<QString>("gesture");
    QTest::addColumn<int>("opens");
    QTest::newRow("press, before the release") << "press" << 1;
    QTest::newRow("click") << "click" << 1;
    QTest::newRow("double click opens once") << "double click" << 1;
    QTest::newRow("right button") << "right" << 0;
  }

  void hyperlinkOpensOnPress() {
    QFETCH(QString, gesture);
    QFETCH(int, opens);
    g_shellAnswer = true;
    auto* link = new Hyperlink(QString(), kAddress, m_host.get());
    link->setGeometry(20, 20, 200, 16);
    ShowHost();
    const QPoint at(10, 8);
    if (gesture == u"press") {
      QTest::mousePress(link, Qt::LeftButton, {}, at);
    } else if (gesture == u"click") {
      QTest::mouseClick(link, Qt::LeftButton, {}, at);
    } else if (gesture == u"double click") {
      DoubleClick(link, at);
    } else {
      QTest::mouseClick(link, Qt::RightButton, {}, at);
    }
    QCOMPARE(g_shellAsked.size(), opens);
    if (opens > 0) QCOMPARE(g_shellAsked.front(), QUrl(kAddress));
    QCOMPARE(link->IsVisited(), opens > 0);
    if (gesture == u"press") QTest::mouseRelease(link, Qt::LeftButton, {}, at);
  }

  void hyperlinkHoldsThePointerWhileHovered() {
    auto* link = new Hyperlink(QStringLiteral("TzDev"), kAddress, m_host.get());
    link->setGeometry(20, 20, 60, 16);
    auto* other = new QWidget(m_host.get());
    other->setGeometry(200, 20, 60, 60);
    ShowHost();
    QVERIFY(!link->IsHovering());

    QTest::mouseMove(link, QPoint(5, 5));
    QVERIFY(link->IsHovering());
    QCOMPARE(QWidget::mouseGrabber(), link);
    QTest::mouseMove(link, QPoint(50, 10));
    QVERIFY(link->IsHovering());
    QCOMPARE(QWidget::mouseGrabber(), link);

    // Taken away by another control and given back: the next move inside takes it again.
    other->grabMouse();
    other->releaseMouse();
    QCOMPARE(QWidget::mouseGrabber(), nullptr);
    QTest::mouseMove(link, QPoint(30, 8));
    QCOMPARE(QWidget::mouseGrabber(), link);

    // The move that leaves reaches the link only because it holds the pointer.
    QTest::mouseMove(m_host.get(), other->geometry().center());
    QVERIFY(!link->IsHovering());
    QCOMPARE(QWidget::mouseGrabber(), nullptr);
  }

  void opening_data() {
    QTest::addColumn<bool>("shellOpens");
    QTest::addColumn<QString>("exec");  // "<handler>" stands for the fake browser's path
    QTest::addColumn<QString>("registered");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QStringList>("arguments");
    const QStringList address{kAddress};
    QTest::newRow("shell opens it") << true << "" << "" << true << QStringList();
    QTest::newRow("handler, bare %u") << false << "<handler> %u" << "user" << true << address;
    QTest::newRow("handler, quoted %u after an option")
        << false << "<handler> --new-window \"%u\"" << "user" << true
        << QStringList{"--new-window", kAddress};
    QTest::newRow("handler without field code") << false << "<handler>" << "user" << true << address;
    QTest::newRow("handler, %U with options after it cut off")
        << false << "<handler> --a %U --b" << "user" << true << QStringList{"--a", kAddress};
    QTest::newRow("handler, %i %c %% expanded before the cut")
        << false << "<handler> %i %c 100%% %f" << "user" << true
        << QStringList{"--icon", "fake-icon", "Fake Browser", "100%", kAddress};
    QTest::newRow("handler in a subfolder of a system data folder")
        << false << "<handler> %u" << "system" << true << address;
    QTest::newRow("no handler registered") << false << "" << "" << false << QStringList();
    QTest::newRow("registered handler not installed") << false << "" << "missing" << false << QStringList();
    QTest::newRow("handler program missing")
        << false << "/nonexistent/tezmaro-browser %u" << "user" << false << QStringList();
  }

  void opening() {
    QFETCH(bool, shellOpens);
    QFETCH(QString, exec);
    QFETCH(QString, registered);
    QFETCH(bool, opened);
    QFETCH(QStringList, arguments);
    g_shellAnswer = shellOpens;
    const QString handler = WriteHandler(QStringLiteral("browser"));
    const QByteArray entry = QStringLiteral("[Desktop Entry]\nType=Application\nName=Fake Browser\nName[de]=Falsch\n"
                                            "Icon=fake-icon\nExec=%1\n")
                                 .arg(QString(exec).replace(QStringLiteral("<handler>"), handler))
                                 .toUtf8();
    if (registered == u"user") {
      WriteFile("data/applications/fake-browser.desktop", entry);
      WriteFile("config/mimeapps.list", "[Default Applications]\ntext/html=fake-browser.desktop;\n");
    } else if (registered == u"system") {
      WriteFile("share/applications/vendor/browser.desktop", entry);
      WriteFile("share/applications/mimeapps.list",
                "[Added Associations]\ntext/html=other.desktop;\n[Default Applications]\n"
                "text/html=gone.desktop;vendor-browser.desktop\n");
    } else if (registered == u"missing") {
      WriteFile("config/mimeapps.list", "[Default Applications]\ntext/html=gone.desktop\n");
    }

    auto* link = new Hyperlink(QStringLiteral("TzDev"), kAddress, m_host.get());
    link->setGeometry(20, 20, 60, 16);
    ShowHost();
    QTest::mouseClick(link, Qt::LeftButton);
    QCOMPARE(link->IsVisited(), opened);
    QCOMPARE(g_shellAsked, QList<QUrl>{QUrl(kAddress)});
    if (!arguments.isEmpty()) {
      QTRY_VERIFY(RecordExists(QStringLiteral("browser")));
      QCOMPARE(Recorded(QStringLiteral("browser")), arguments);
    }
  }

  void emptyAddressFailsAtOnce() {
    g_shellAnswer = true;
    QVERIFY(!OpenWebPage(QString()));
    QVERIFY(g_shellAsked.isEmpty());
  }

  void tipsShareOneWindowAndShowWhileInactive() {
    MainWindow window;
    QWidget* source = window.findChild<QWidget*>(QStringLiteral("透明标签2"));
    QWidget* maker = window.findChild<QWidget*>(QStringLiteral("透明标签5"));
    QVERIFY(AttachTooltip(source, QStringLiteral("来源\r\n 第二行"), false, false));
    QVERIFY(AttachTooltip(maker, QStringLiteral("有大佬\r\n 我给你"), false, false));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Another window is the active one.
    ShowHost();
    QVERIFY(!window.isActiveWindow());

    QTest::mouseMove(source, QPoint(5, 5));
    QTRY_COMPARE(TipWindows().size(), 1);
    QWidget* tip = TipWindows().front();
    QCOMPARE(TipLines(), (QStringList{"来源", " 第二行"}));

    QTest::mouseMove(maker, QPoint(5, 5));
    QTRY_COMPARE(TipLines(), (QStringList{"有大佬", " 我给你"}));
    QCOMPARE(TipWindows(), QList<QWidget*>{tip});
  }

  void lighteningRule_data() {
    QTest::addColumn<QColor>("face");
    QTest::addColumn<QColor>("lightened");
    QTest::newRow("(240,240,240): s = 15, white") << QColor(240, 240, 240) << QColor(255, 255, 255);
    QTest::newRow("(212,208,200): s = 32") << QColor(212, 208, 200) << QColor(244, 240, 232);
    QTest::newRow("black: s = 32") << QColor(0, 0, 0) << QColor(32, 32, 32);
    QTest::newRow("white stays white") << QColor(255, 255, 255) << QColor(255, 255, 255);
    QTest::newRow("one light component sets s for all") << QColor(250, 100, 30) << QColor(255, 105, 35);
  }

  void lighteningRule() {
    QFETCH(QColor, face);
    QFETCH(QColor, lightened);
    QCOMPARE(LightenedFace(face), lightened);
  }

  void buttonLooks_data() {
    QTest::addColumn<bool>("toggled");
    QTest::addColumn<bool>("hovered");
    QTest::addColumn<QColor>("background");
    QTest::addColumn<QColor>("topLeft");
    QTest::addColumn<QColor>("bottomRight");
    QTest::newRow("toggled: pressed in") << true << false << kLightFace << kShadow << kHighlight;
    QTest::newRow("idle: flat") << false << false << kFace << kFace << kFace;
    QTest::newRow("hovered while idle: raised") << false << true << kLightFace << kHighlight << kShadow;
    QTest::newRow("hovered while toggled: unchanged") << true << true << kLightFace << kShadow << kHighlight;
  }

  void buttonLooks() {
    QFETCH(bool, toggled);
    QFETCH(bool, hovered);
    QFETCH(QColor, background);
    QFETCH(QColor, topLeft);
    QFETCH(QColor, bottomRight);
    auto* button = new RefreshButton(QStringLiteral("手动刷新"), m_host.get());
    button->setGeometry(10, 10, 100, 38);
    ShowHost();
    button->clearFocus();
    QVERIFY(button->isChecked());
    button->setChecked(toggled);
    if (hovered) QTest::mouseMove(button, QPoint(50, 5));
    QCOMPARE(button->IsHovering(), hovered);

    const QImage image = Snapshot(button);
    const int w = image.width();
    const int h = image.height();
    QCOMPARE(At(image, 1, h / 2), background);
    QCOMPARE(At(image, w - 2, 1), background);
    QCOMPARE(At(image, w / 2, 0), topLeft);
    QCOMPARE(At(image, 0, h / 2), topLeft);
    QCOMPARE(At(image, w / 2, h - 1), bottomRight);
    QCOMPARE(At(image, w - 1, h / 2), bottomRight);
  }

  void buttonCaption_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QColor>("ink");
    QTest::addColumn<QColor>("echo");
    QTest::newRow("idle") << "idle" << kText << QColor();
    QTest::newRow("toggled, not shifted") << "toggled" << kText << QColor();
    QTest::newRow("held down, not shifted") << "held" << kText << QColor();
    QTest::newRow("disabled: shadow over a highlight copy") << "disabled" << kShadow << kHighlight;
  }

  void buttonCaption() {
    QFETCH(QString, state);
    QFETCH(QColor, ink);
    QFETCH(QColor, echo);
    auto* button = new RefreshButton(QStringLiteral("手动刷新"), m_host.get());
    button->setGeometry(10, 10, 100, 38);
    ShowHost();
    button->clearFocus();
    // Inside the focus frame, which a press brings with it.
    const QRect inside(4, 4, 92, 30);
    button->setChecked(false);
    const QRect idle = BoundsOf(Snapshot(button), kText, inside);
    QVERIFY(!idle.isEmpty());
    QVERIFY2(qAbs(idle.center().x() - 49) <= 2 && qAbs(idle.center().y() - 18) <= 2, "centred");

    if (state == u"toggled") button->setChecked(true);
    if (state == u"held") QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    if (state == u"disabled") button->setEnabled(false);
    const bool down = button->isDown();
    const QImage image = Snapshot(button);
    if (state == u"held") QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(down, state == u"held");
    QCOMPARE(BoundsOf(image, ink, inside), idle);
    if (echo.isValid()) {
      QVERIFY(CountOf(image.copy(inside), echo) > 0);
      QCOMPARE(CountOf(image.copy(inside), kText), 0);
    }
  }

  void focusRectangle_data() {
    QTest::addColumn<bool>("focused");
    QTest::newRow("focused: dotted 3 px inside") << true;
    QTest::newRow("not focused: none") << false;
  }

  void focusRectangle() {
    QFETCH(bool, focused);
    auto* button = new RefreshButton(QStringLiteral("手动刷新"), m_host.get());
    button->setGeometry(10, 10, 100, 38);
    auto* elsewhere = new QLineEdit(m_host.get());
    elsewhere->setGeometry(150, 10, 60, 20);
    ShowHost();
    button->setChecked(false);
    (focused ? static_cast<QWidget*>(button) : elsewhere)->setFocus();
    QTRY_COMPARE(button->hasFocus(), focused);

    const QImage image = Snapshot(button);
    const int inset = RefreshButton::kFocusInset;
    // Alternate pixels of the frame's four sides; everything off the frame keeps the face colour.
    for (int x = inset; x <= image.width() - 1 - inset; ++x) {
      const QColor dot = focused && (x + inset) % 2 == 0 ? kText : kFace;
      QCOMPARE(At(image, x, inset), dot);
    }
    for (int y = inset; y <= image.height() - 1 - inset; ++y) {
      const QColor dot = focused && (inset + y) % 2 == 0 ? kText : kFace;
      QCOMPARE(At(image, inset, y), dot);
    }
    QCOMPARE(At(image, inset - 1, inset - 1), kFace);
    QCOMPARE(At(image, inset + 1, inset + 1), kFace);
  }

  void hoverEnds_data() {
    QTest::addColumn<QString>("cause");
    QTest::newRow("pointer leaves") << "leave";
    QTest::newRow("focus lost") << "focus";
    QTest::newRow("disabled, focus moves on") << "disable";
  }

  void hoverEnds() {
    QFETCH(QString, cause);
    auto* button = new RefreshButton(QStringLiteral("手动刷新"), m_host.get());
    button->setGeometry(10, 10, 100, 38);
    auto* next = new QLineEdit(m_host.get());
    next->setGeometry(150, 10, 60, 20);
    ShowHost();
    button->setChecked(false);
    button->setFocus();
    QTRY_VERIFY(button->hasFocus());
    QTest::mouseMove(button, QPoint(50, 20));
    QVERIFY(button->IsHovering());

    if (cause == u"leave") QTest::mouseMove(m_host.get(), QPoint(300, 100));
    if (cause == u"focus") next->setFocus();
    if (cause == u"disable") button->setEnabled(false);
    QTRY_VERIFY(!button->IsHovering());
    QCOMPARE(At(Snapshot(button), 1, 1), kFace);
    if (cause != u"leave") QCOMPARE(QApplication::focusWidget(), next);
  }

  void dragFromElsewhereDoesNotHover() {
    auto* button = new RefreshButton(QStringLiteral("手动刷新"), m_host.get());
    button->setGeometry(10, 10, 100, 38);
    ShowHost();
    QMouseEvent drag(QEvent::MouseMove, QPointF(50, 20), button->mapToGlobal(QPointF(50, 20)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(button, &drag);
    QVERIFY(!button->IsHovering());
  }

  void eachClickFlipsAndIsReportedOnce_data() {
    QTest::addColumn<bool>("byPointer");
    QTest::newRow("pointer") << true;
    QTest::newRow("space key") << false;
  }

  void eachClickFlipsAndIsReportedOnce() {
    QFETCH(bool, byPointer);
    auto* button = new RefreshButton(QStringLiteral("手动刷新"), m_host.get());
    button->setGeometry(10, 10, 100, 38);
    ShowHost();
    button->setFocus();
    QSignalSpy clicked(button, &QAbstractButton::clicked);
    for (int i = 0; i < 3; ++i) {
      if (byPointer) {
        QTest::mouseClick(button, Qt::LeftButton);
      } else {
        QTest::keyClick(button, Qt::Key_Space);
      }
    }
    // The argument is the toggle state already in effect when the click is reported.
    QCOMPARE(clicked.count(), 3);
    QCOMPARE(clicked.at(0).at(0).toBool(), false);
    QCOMPARE(clicked.at(1).at(0).toBool(), true);
    QCOMPARE(clicked.at(2).at(0).toBool(), false);
    QVERIFY(!button->isChecked());
  }
};

int main(int argc, char** argv) {
  // Nothing here is meant to reach the network; a namespace of our own, where we may make one, makes sure.
  if (unshare(CLONE_NEWNET) != 0) unshare(CLONE_NEWUSER | CLONE_NEWNET);
  // Until a test sets up its own folders, no desktop's real HTML handler can be found.
  QTemporaryDir empty;
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME", "XDG_DATA_DIRS"}) {
    qputenv(variable, empty.path().toUtf8());
  }
  SetShellOpen(FakeShell);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  ControlsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "controls_test.moc"
