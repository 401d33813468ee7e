#include "ui/serverlist.h"

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QImage>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QThread>
#include <QToolTip>

#include <atomic>
#include <climits>
#include <memory>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;

namespace QTest {
template <>
inline char* toString(const std::string& text) {
  return qstrdup(text.c_str());
}
}  // namespace QTest

namespace {

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);

std::string Utf8(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// Runs body on a thread of its own, as the program's dispatchers and workers do, while the interface
// thread goes on handling events; a body that never comes back ends the run instead of hanging it.
void RunOnWorker(const std::function<void()>& body) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    body();
    done = true;
  });
  if (!QTest::qWaitFor([&] { return done.load(); }, 20000)) qFatal("a worker's list operation never returned");
  worker.join();
}

QString TipAsShown(const QString& tip) {
  return Qt::mightBeRichText(tip) ? QTextDocumentFragment::fromHtml(tip).toPlainText() : tip;
}

}  // namespace

class ServerListTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void configurationAtCreation();
  void clickingHeaderKeepsRowOrder();
  void userSelectsOneWholeRowHighlightedOnlyWithFocus();
  void userCannotEditCells();

  void insertColumn_data();
  void insertColumn();
  void insertRow_data();
  void insertRow();
  void missingCellReadsEmptyAndIsNeverCreated_data();
  void missingCellReadsEmptyAndIsNeverCreated();
  void cellTextReadsBackWhole_data();
  void cellTextReadsBackWhole();
  void deleteAllRowsKeepsColumns();
  void withoutListOperationsActOnEmptyList();

  void handOverRunsOnInterfaceThread();
  void manyWorkersGetTheirOwnCells();
  void workerReachesLogicalColumnsAfterHeaderDrag();

  void generationGuardsWrites_data();
  void generationGuardsWrites();
  void workersStaleResultIsDropped();

  void clientWidth_data();
  void clientWidth();

  void tooltipForCutOffCell_data();
  void tooltipForCutOffCell();

 private:
  void addProgramColumns();
  void addRows(const QStringList& areas);
  void showWindow();
  QStringList columnTexts(int column) const;
  QPoint cellCentre(int row, int column) const;
  QColor pixelOfCell(int row, int column) const;

  // The list sits in a window beside another focusable control, as in the program.
  std::unique_ptr<QWidget> m_window;
  ServerListView* m_list = nullptr;
  QLineEdit* m_other = nullptr;
};

void ServerListTest::init() {
  m_window = std::make_unique<QWidget>();
  m_window->resize(294, 471);
  m_other = new QLineEdit(m_window.get());
  m_other->setGeometry(0, 0, 100, 20);
  m_list = new ServerListView(m_window.get());
  m_list->setGeometry(0, 33, 294, 400);
  AttachServerList(m_list);
}

void ServerListTest::cleanup() {
  m_window.reset();
  m_list = nullptr;
  m_other = nullptr;
}

void ServerListTest::addProgramColumns() {
  QCOMPARE(InsertColumn(-1, "服务器区域", 102), 0);
  QCOMPARE(InsertColumn(-1, "IP", 116), 1);
  QCOMPARE(InsertColumn(-1, "延迟", 58), 2);
}

void ServerListTest::addRows(const QStringList& areas) {
  for (const QString& area : areas) {
    const int32_t row = InsertRow(-1, Utf8(area));
    SetCellText(row, 1, Utf8(QStringLiteral("host-") + area));
  }
}

void ServerListTest::showWindow() {
  m_window->show();
  m_window->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

QStringList ServerListTest::columnTexts(int column) const {
  QStringList texts;
  for (int row = 0; row < m_list->rowCount(); ++row) {
    texts << QString::fromStdString(GetCellText(row, column));
  }
  return texts;
}

QPoint ServerListTest::cellCentre(int row, int column) const {
  return m_list->visualRect(m_list->model()->index(row, column)).center();
}

QColor ServerListTest::pixelOfCell(int row, int column) const {
  return m_list->viewport()->grab().toImage().pixelColor(cellCentre(row, column));
}

void ServerListTest::configurationAtCreation() {
  QCOMPARE(m_list->objectName(), QStringLiteral("超级列表框1"));
  QCOMPARE(m_list->rowCount(), 0);
  QCOMPARE(m_list->columnCount(), 0);
  QVERIFY(m_list->showGrid());
  QVERIFY(!m_list->horizontalHeader()->isHidden());
  QVERIFY(m_list->horizontalHeader()->sectionsClickable());
  QVERIFY(m_list->horizontalHeader()->sectionsMovable());
  QVERIFY(!m_list->isSortingEnabled());
  QVERIFY(m_list->verticalHeader()->isHidden());
  QCOMPARE(m_list->selectionMode(), QAbstractItemView::SingleSelection);
  QCOMPARE(m_list->selectionBehavior(), QAbstractItemView::SelectRows);
  QCOMPARE(m_list->editTriggers(), QAbstractItemView::NoEditTriggers);
  QVERIFY(!m_list->selectionModel()->hasSelection());
  QCOMPARE(m_list->palette().color(QPalette::Text), kBlack);
  QCOMPARE(m_list->palette().color(QPalette::Base), kWhite);
  QCOMPARE(m_list->frameShape(), QFrame::Box);
  QCOMPARE(m_list->frameShadow(), QFrame::Plain);
  QCOMPARE(m_list->frameWidth(), 1);
  QCOMPARE(m_list->font(), QApplication::font());
  QCOMPARE(m_list->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
  QCOMPARE(m_list->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
}

void ServerListTest::clickingHeaderKeepsRowOrder() {
  addProgramColumns();
  addRows({"c", "a", "b"});
  showWindow();
  QHeaderView* header = m_list->horizontalHeader();
  for (int column = 0; column < 3; ++column) {
    const QPoint centre(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
  }
  QCOMPARE(columnTexts(0), QStringList({"c", "a", "b"}));
  QVERIFY(!m_list->selectionModel()->hasSelection());
}

void ServerListTest::userSelectsOneWholeRowHighlightedOnlyWithFocus() {
  addProgramColumns();
  addRows({"r0", "r1", "r2"});
  showWindow();
  m_list->setFocus();
  QTRY_VERIFY(m_list->hasFocus());
  QVERIFY(!m_list->selectionModel()->hasSelection());

  QTest::mouseClick(m_list->viewport(), Qt::LeftButton, {}, cellCentre(1, 2));
  QVERIFY(m_list->selectionModel()->isRowSelected(1, {}));
  QTest::mouseClick(m_list->viewport(), Qt::LeftButton, {}, cellCentre(2, 0));
  QCOMPARE(m_list->selectionModel()->selectedRows().size(), 1);
  QVERIFY(m_list->selectionModel()->isRowSelected(2, {}));

  // Column 2 of the row is empty, so its centre shows the row's background alone.
  QCOMPARE(pixelOfCell(2, 2), m_list->palette().color(QPalette::Active, QPalette::Highlight));
  QCOMPARE(pixelOfCell(1, 2), kWhite);

  // Tab leaves the list rather than walking its cells; the selection stays but is no longer shown.
  QTest::keyClick(m_list, Qt::Key_Tab);
  QTRY_VERIFY(m_other->hasFocus());
  QVERIFY(m_list->selectionModel()->isRowSelected(2, {}));
  QCOMPARE(pixelOfCell(2, 2), kWhite);
}

void ServerListTest::userCannotEditCells() {
  addProgramColumns();
  addRows({"r0"});
  showWindow();
  QTest::mouseDClick(m_list->viewport(), Qt::LeftButton, {}, cellCentre(0, 1));
  QTest::keyClick(m_list, Qt::Key_F2);
  QTest::keyClicks(m_list, "xyz");
  QTest::keyClick(m_list, Qt::Key_Return);
  QVERIFY(m_list->findChildren<QLineEdit*>().isEmpty());
  QCOMPARE(GetCellText(0, 1), "host-r0"s);
}

void ServerListTest::insertColumn_data() {
  QTest::addColumn<int>("position");
  QTest::addColumn<bool>("hasCaption");
  QTest::addColumn<bool>("hasWidth");
  QTest::addColumn<int>("width");
  QTest::addColumn<int>("index");
  QTest::addColumn<QStringList>("captions");
  QTest::addColumn<QList<int>>("widths");

  const QList<int> appended{10, 20, 30};
  QTest::newRow("-1 appends") << -1 << true << true << 30 << 2 << QStringList{"A", "B", "新"} << appended;
  QTest::newRow("INT_MIN appends") << INT_MIN << true << true << 30 << 2 << QStringList{"A", "B", "新"}
                                   << appended;
  QTest::newRow("count appends") << 2 << true << true << 30 << 2 << QStringList{"A", "B", "新"} << appended;
  QTest::newRow("past the end appends") << 99 << true << true << 30 << 2 << QStringList{"A", "B", "新"}
                                        << appended;
  QTest::newRow("0 inserts first") << 0 << true << true << 30 << 0 << QStringList{"新", "A", "B"}
                                   << QList<int>{30, 10, 20};
  QTest::newRow("1 inserts between") << 1 << true << true << 30 << 1 << QStringList{"A", "新", "B"}
                                     << QList<int>{10, 30, 20};
  QTest::newRow("missing caption is empty") << -1 << false << true << 30 << 2 << QStringList{"A", "B", ""}
                                            << appended;
  QTest::newRow("missing width is 50") << -1 << true << false << 0 << 2 << QStringList{"A", "B", "新"}
                                       << QList<int>{10, 20, 50};
  QTest::newRow("negative width is 0") << -1 << true << true << -5 << 2 << QStringList{"A", "B", "新"}
                                       << QList<int>{10, 20, 0};
}

void ServerListTest::insertColumn() {
  QFETCH(int, position);
  QFETCH(bool, hasCaption);
  QFETCH(bool, hasWidth);
  QFETCH(int, width);
  QFETCH(int, index);
  QFETCH(QStringList, captions);
  QFETCH(QList<int>, widths);

  QCOMPARE(InsertColumn(-1, "A", 10), 0);
  QCOMPARE(InsertColumn(-1, "B", 20), 1);
  const std::optional<std::string_view> caption =
      hasCaption ? std::optional<std::string_view>("新") : std::nullopt;
  QCOMPARE(InsertColumn(position, caption, hasWidth ? std::optional<int32_t>(width) : std::nullopt), index);

  QStringList shownCaptions;
  QList<int> shownWidths;
  for (int column = 0; column < m_list->columnCount(); ++column) {
    const QTableWidgetItem* item = m_list->horizontalHeaderItem(column);
    shownCaptions << (item != nullptr ? item->text() : QString());
    shownWidths << m_list->columnWidth(column);
  }
  QCOMPARE(shownCaptions, captions);
  QCOMPARE(shownWidths, widths);
}

void ServerListTest::insertRow_data() {
  QTest::addColumn<int>("position");
  QTest::addColumn<bool>("hasText");
  QTest::addColumn<int>("index");
  QTest::addColumn<QStringList>("areas");
  QTest::addColumn<QStringList>("hosts");

  QTest::newRow("-1 appends") << -1 << true << 2 << QStringList{"r0", "r1", "new"}
                              << QStringList{"host-r0", "host-r1", ""};
  QTest::newRow("past the end appends") << 7 << true << 2 << QStringList{"r0", "r1", "new"}
                                        << QStringList{"host-r0", "host-r1", ""};
  QTest::newRow("0 inserts first") << 0 << true << 0 << QStringList{"new", "r0", "r1"}
                                   << QStringList{"", "host-r0", "host-r1"};
  QTest::newRow("1 inserts between") << 1 << true << 1 << QStringList{"r0", "new", "r1"}
                                     << QStringList{"host-r0", "", "host-r1"};
  QTest::newRow("missing text is empty") << -1 << false << 2 << QStringList{"r0", "r1", ""}
                                         << QStringList{"host-r0", "host-r1", ""};
}

void ServerListTest::insertRow() {
  QFETCH(int, position);
  QFETCH(bool, hasText);
  QFETCH(int, index);
  QFETCH(QStringList, areas);
  QFETCH(QStringList, hosts);

  addProgramColumns();
  addRows({"r0", "r1"});
  SetCellText(0, 2, "37");
  QCOMPARE(InsertRow(position, hasText ? std::optional<std::string_view>("new") : std::nullopt), index);
  QCOMPARE(GetRowCount(), 3);
  QCOMPARE(columnTexts(0), areas);
  QCOMPARE(columnTexts(1), hosts);
  QCOMPARE(GetCellText(index, 2), ""s);
  QCOMPARE(GetCellText(index == 0 ? 1 : 0, 2), "37"s);
}

void ServerListTest::missingCellReadsEmptyAndIsNeverCreated_data() {
  QTest::addColumn<int>("row");
  QTest::addColumn<int>("column");

  QTest::newRow("row -1") << -1 << 0;
  QTest::newRow("row INT_MIN") << INT_MIN << 1;
  QTest::newRow("row equal to the count") << 2 << 1;
  QTest::newRow("row INT_MAX") << INT_MAX << 2;
  QTest::newRow("column -1") << 0 << -1;
  QTest::newRow("column equal to the count") << 0 << 3;
}

void ServerListTest::missingCellReadsEmptyAndIsNeverCreated() {
  QFETCH(int, row);
  QFETCH(int, column);

  addProgramColumns();
  addRows({"r0", "r1"});
  QCOMPARE(GetCellText(row, column), ""s);
  SetCellText(row, column, "written");
  QCOMPARE(m_list->rowCount(), 2);
  QCOMPARE(m_list->columnCount(), 3);
  QCOMPARE(columnTexts(0), QStringList({"r0", "r1"}));
  QCOMPARE(columnTexts(1), QStringList({"host-r0", "host-r1"}));
  QCOMPARE(columnTexts(2), QStringList({"", ""}));
}

void ServerListTest::cellTextReadsBackWhole_data() {
  QTest::addColumn<QByteArray>("text");

  QTest::newRow("digits") << QByteArray("37");
  QTest::newRow("no answer") << QByteArray("无响应");
  QTest::newRow("CJK over 512 bytes") << QByteArray("延迟").repeated(100);
  QTest::newRow("ASCII of 64 KiB") << QByteArray(65536, 'x');
  QTest::newRow("outside the BMP") << QByteArray("\xF0\x9F\x8C\x8F host");
  QTest::newRow("markup kept as typed") << QByteArray("<b>a&amp;b</b>");
  QTest::newRow("embedded NUL") << QByteArray("a\0b", 3);
  QTest::newRow("empty text empties the cell") << QByteArray();
}

void ServerListTest::cellTextReadsBackWhole() {
  QFETCH(QByteArray, text);

  addProgramColumns();
  addRows({"r0"});
  SetCellText(0, 2, "previous");
  const std::string_view bytes(text.constData(), static_cast<std::size_t>(text.size()));
  SetCellText(0, 2, bytes);
  QCOMPARE(GetCellText(0, 2), std::string(bytes));
  const QTableWidgetItem* item = m_list->item(0, 2);
  QCOMPARE(item != nullptr ? item->text() : QString(), QString::fromUtf8(text));
}

void ServerListTest::deleteAllRowsKeepsColumns() {
  addProgramColumns();
  addRows({"r0", "r1", "r2"});
  SetCellText(0, 2, "37");
  DeleteAllRows();
  QCOMPARE(GetRowCount(), 0);
  QCOMPARE(m_list->columnCount(), 3);
  const QStringList captions{m_list->horizontalHeaderItem(0)->text(), m_list->horizontalHeaderItem(1)->text(),
                             m_list->horizontalHeaderItem(2)->text()};
  QCOMPARE(captions, QStringList({"服务器区域", "IP", "延迟"}));
  QCOMPARE(QList<int>({m_list->columnWidth(0), m_list->columnWidth(1), m_list->columnWidth(2)}),
           QList<int>({102, 116, 58}));
  QCOMPARE(InsertRow(-1, "again"), 0);
  QCOMPARE(GetCellText(0, 1), ""s);
  QCOMPARE(GetCellText(0, 2), ""s);
}

void ServerListTest::withoutListOperationsActOnEmptyList() {
  // Every answer on one line, so that the interface thread's and a worker's can be compared alike.
  auto answers = [] {
    SetCellText(0, 0, "x");
    DeleteAllRows();
    const int32_t column = InsertColumn(-1, "c", 10);
    const int32_t row = InsertRow(-1, "r");
    return QStringLiteral("column %1, row %2, cell '%3', rows %4, width %5, guarded write %6")
        .arg(column)
        .arg(row)
        .arg(QString::fromStdString(GetCellText(0, 0)))
        .arg(GetRowCount())
        .arg(ListClientWidth())
        .arg(int(SetCellTextIfGeneration(RowsGeneration(), 0, 0, "x")));
  };
  const QString emptyList = QStringLiteral("column -1, row -1, cell '', rows 0, width 0, guarded write 0");

  AttachServerList(nullptr);
  QCOMPARE(answers(), emptyList);
  AttachServerList(m_list);
  addProgramColumns();
  m_window.reset();
  QCOMPARE(answers(), emptyList);
  QString workerAnswers;
  RunOnWorker([&] { workerAnswers = answers(); });
  QCOMPARE(workerAnswers, emptyList);

  // A second list replaces the first, and a generation noted on the first does not carry over.
  ServerListView first;
  ServerListView second;
  AttachServerList(&first);
  const uint64_t firstGeneration = RowsGeneration();
  AttachServerList(&second);
  QCOMPARE(InsertColumn(-1, "c", 10), 0);
  QCOMPARE(InsertRow(-1, "r"), 0);
  QVERIFY(!SetCellTextIfGeneration(firstGeneration, 0, 0, "stale"));
  QCOMPARE(first.columnCount(), 0);
  QCOMPARE(second.item(0, 0)->text(), QStringLiteral("r"));
}

void ServerListTest::handOverRunsOnInterfaceThread() {
  QThread* interfaceThread = QThread::currentThread();

  bool ranAtOnce = false;
  RunOnInterfaceThread([&] { ranAtOnce = true; });
  QVERIFY(ranAtOnce);

  QThread* ranOn = nullptr;
  bool exceptionReachedCaller = false;
  RunOnWorker([&] {
    RunOnInterfaceThread([&] { ranOn = QThread::currentThread(); });
    try {
      RunOnInterfaceThread([] { throw std::runtime_error("refused"); });
    } catch (const std::runtime_error&) {
      exceptionReachedCaller = true;
    }
  });
  QCOMPARE(ranOn, interfaceThread);
  QVERIFY(exceptionReachedCaller);
}

void ServerListTest::manyWorkersGetTheirOwnCells() {
  constexpr int kWorkers = 30;
  constexpr int kRounds = 100;
  addProgramColumns();
  for (int row = 0; row < kWorkers; ++row) addRows({QString::number(row)});

  std::atomic<int> finished{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> workers;
  for (int row = 0; row < kWorkers; ++row) {
    workers.emplace_back([&, row] {
      const std::string host = "host-" + std::to_string(row);
      for (int round = 0; round < kRounds; ++round) {
        const std::string latency = std::to_string(row * 1000 + round);
        if (GetCellText(row, 1) != host) ++wrong;
        SetCellText(row, 2, latency);
        if (GetCellText(row, 2) != latency) ++wrong;
        if (GetRowCount() != kWorkers) ++wrong;
      }
      ++finished;
    });
  }
  const bool allFinished = QTest::qWaitFor([&] { return finished.load() == kWorkers; }, 60000);
  if (!allFinished) qFatal("list operations from %d threads did not all return", kWorkers);
  for (std::thread& worker : workers) worker.join();

  QCOMPARE(wrong.load(), 0);
  for (int row = 0; row < kWorkers; ++row) {
    QCOMPARE(GetCellText(row, 2), std::to_string(row * 1000 + kRounds - 1));
  }
}

void ServerListTest::workerReachesLogicalColumnsAfterHeaderDrag() {
  addProgramColumns();
  addRows({"r0", "r1"});
  showWindow();

  QHeaderView* header = m_list->horizontalHeader();
  const int y = header->height() / 2;
  QTest::mousePress(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(1) + header->sectionSize(1) / 2, y));
  for (int x = header->sectionViewportPosition(1) + 40; x >= 2; x -= 10) {
    QTest::mouseMove(header->viewport(), QPoint(x, y));
  }
  QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(2, y));
  QCOMPARE(header->visualIndex(1), 0);
  QCOMPARE(header->logicalIndexAt(2), 1);

  std::string host;
  std::string pastTheEnd;
  int32_t rows = 0;
  RunOnWorker([&] {
    host = GetCellText(1, 1);
    SetCellText(1, 2, "37");
    pastTheEnd = GetCellText(2, 1);
    SetCellText(2, 2, "99");
    rows = GetRowCount();
  });
  QCOMPARE(host, "host-r1"s);
  QCOMPARE(pastTheEnd, ""s);
  QCOMPARE(rows, 2);
  QCOMPARE(m_list->rowCount(), 2);
  QCOMPARE(m_list->item(1, 2)->text(), QStringLiteral("37"));
  QCOMPARE(m_list->indexAt(QPoint(2, cellCentre(1, 1).y())).data().toString(), QStringLiteral("host-r1"));
}

void ServerListTest::generationGuardsWrites_data() {
  QTest::addColumn<bool>("stale");
  QTest::addColumn<int>("row");
  QTest::addColumn<int>("column");
  QTest::addColumn<bool>("written");

  QTest::newRow("current generation, existing cell") << false << 0 << 2 << true;
  QTest::newRow("generation before DeleteAllRows") << true << 0 << 2 << false;
  QTest::newRow("current generation, row past the end") << false << 1 << 2 << false;
  QTest::newRow("current generation, column past the end") << false << 0 << 3 << false;
}

void ServerListTest::generationGuardsWrites() {
  QFETCH(bool, stale);
  QFETCH(int, row);
  QFETCH(int, column);
  QFETCH(bool, written);

  addProgramColumns();
  addRows({"old"});
  const uint64_t before = RowsGeneration();
  DeleteAllRows();
  addRows({"new"});
  const uint64_t current = RowsGeneration();
  QVERIFY(current != before);

  QCOMPARE(SetCellTextIfGeneration(stale ? before : current, row, column, "12"), written);
  QCOMPARE(GetCellText(0, 2), written ? "12" : ""s);
  QCOMPARE(m_list->rowCount(), 1);
  QCOMPARE(m_list->columnCount(), 3);
}

void ServerListTest::workersStaleResultIsDropped() {
  addProgramColumns();
  addRows({"old"});

  std::atomic<bool> hostRead{false};
  std::binary_semaphore reloaded(0);
  std::string host;
  bool staleWritten = true;
  bool freshWritten = false;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    const uint64_t generation = RowsGeneration();
    host = GetCellText(0, 1);
    hostRead = true;
    reloaded.acquire();
    staleWritten = SetCellTextIfGeneration(generation, 0, 2, "37");
    freshWritten = SetCellTextIfGeneration(RowsGeneration(), 0, 2, "12");
    done = true;
  });
  const bool read = QTest::qWaitFor([&] { return hostRead.load(); }, 20000);
  if (read) {
    DeleteAllRows();
    addRows({"new"});
  }
  reloaded.release();
  if (!QTest::qWaitFor([&] { return done.load(); }, 20000)) qFatal("a worker's list operation never returned");
  worker.join();

  QVERIFY(read);
  QCOMPARE(host, "host-old"s);
  QVERIFY(!staleWritten);
  QVERIFY(freshWritten);
  QCOMPARE(GetCellText(0, 2), "12"s);
}

void ServerListTest::clientWidth_data() {
  QTest::addColumn<bool>("shown");
  QTest::addColumn<int>("rows");

  QTest::newRow("not yet shown, no rows") << false << 0;
  QTest::newRow("shown, no rows") << true << 0;
  QTest::newRow("shown, rows overflowing") << true << 200;
}

void ServerListTest::clientWidth() {
  QFETCH(bool, shown);
  QFETCH(int, rows);

  addProgramColumns();
  if (shown) showWindow();
  for (int row = 0; row < rows; ++row) InsertRow(-1, "r");
  if (rows == 0) {
    QCOMPARE(ListClientWidth(), 292);
  } else {
    QTRY_VERIFY(m_list->verticalScrollBar()->isVisible());
    QVERIFY(ListClientWidth() < 292);
  }
  if (shown) QCOMPARE(ListClientWidth(), m_list->viewport()->width());
}

void ServerListTest::tooltipForCutOffCell_data() {
  QTest::addColumn<int>("column");
  QTest::addColumn<int>("columnWidth");
  QTest::addColumn<QString>("text");
  QTest::addColumn<bool>("tipShown");

  const QString longHost = QStringLiteral("ec2-203-0-113-25.ap-northeast-1.compute.amazonaws.com");
  QTest::newRow("fits its column") << 2 << 58 << QStringLiteral("37") << false;
  QTest::newRow("empty cell") << 2 << 58 << QString() << false;
  QTest::newRow("wider than its column") << 1 << 116 << longHost << true;
  QTest::newRow("CJK wider than its column") << 0 << 102 << QStringLiteral("亚太地区东京一号服务器区域三号机房") << true;
  QTest::newRow("markup shown as typed") << 1 << 116 << QStringLiteral("<b>") + longHost + QStringLiteral("</b>")
                                         << true;
  QTest::newRow("runs past the list's edge") << 2 << 400 << longHost << true;
}

void ServerListTest::tooltipForCutOffCell() {
  QFETCH(int, column);
  QFETCH(int, columnWidth);
  QFETCH(QString, text);
  QFETCH(bool, tipShown);

  addProgramColumns();
  addRows({"r0"});
  m_list->setColumnWidth(column, columnWidth);
  SetCellText(0, column, Utf8(text));
  showWindow();
  QToolTip::hideText();
  QTRY_VERIFY(!QToolTip::isVisible());

  const QRect visible =
      m_list->visualRect(m_list->model()->index(0, column)).intersected(m_list->viewport()->rect());
  QVERIFY(!visible.isEmpty());
  QHelpEvent hover(QEvent::ToolTip, visible.center(), m_list->viewport()->mapToGlobal(visible.center()));
  QApplication::sendEvent(m_list->viewport(), &hover);

  QCOMPARE(QToolTip::isVisible(), tipShown);
  if (tipShown) QCOMPARE(TipAsShown(QToolTip::text()), text);
}

QTEST_MAIN(ServerListTest)
#include "serverlist_test.moc"
