#include "ui/serverlist.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMetaObject>
#include <QPalette>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QThread>
#include <QToolTip>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>

namespace {

constexpr int32_t kDefaultColumnWidth = 50;
constexpr Qt::Alignment kCellAlignment = Qt::AlignLeft | Qt::AlignVCenter;
constexpr Qt::ItemFlags kCellFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;

// Touched only on the interface thread: every operation reaches it through RunOnInterfaceThread.
ServerListView* g_attachedList = nullptr;
std::atomic<uint64_t> g_rowsGeneration{0};

// The hand-over target must outlive every worker that may still call, and workers are never joined:
// it is made once and never deleted. Once made it stays the target even after the application object
// is gone, so that late callers wait rather than run on their own thread.
std::mutex g_targetMutex;
QObject* g_handOverTarget = nullptr;

QObject* HandOverTarget() {
  std::lock_guard lock(g_targetMutex);
  if (g_handOverTarget == nullptr) {
    const QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return nullptr;
    auto* target = new QObject;
    target->moveToThread(app->thread());
    g_handOverTarget = target;
  }
  return g_handOverTarget;
}

[[noreturn]] void WaitForProcessEnd() {
  for (;;) pause();
}

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToUtf8(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QTableWidgetItem* NewCell(const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(kCellFlags);
  item->setTextAlignment(kCellAlignment);
  return item;
}

bool CellExists(const ServerListView* list, int32_t row, int32_t column) {
  return list != nullptr && row >= 0 && row < list->rowCount() && column >= 0 &&
         column < list->columnCount();
}

void WriteCell(ServerListView* list, int32_t row, int32_t column, const QString& text) {
  if (QTableWidgetItem* item = list->item(row, column)) {
    item->setText(text);
  } else {
    list->setItem(row, column, NewCell(text));
  }
}

// A report list shows its selection only while it has the keyboard focus, and never a hover highlight.
class ServerListDelegate : public QStyledItemDelegate {
 public:
  explicit ServerListDelegate(QAbstractItemView* view) : QStyledItemDelegate(view), m_view(view) {}

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->state &= ~QStyle::State_MouseOver;
    if (!m_view->hasFocus() && option->state.testFlag(QStyle::State_Selected)) {
      option->state &= ~QStyle::State_Selected;
      // The table has already painted the selected row's panel under the cell; cover it.
      option->backgroundBrush = option->palette.brush(QPalette::Base);
    }
  }

 private:
  QAbstractItemView* m_view;
};

// Qt renders anything that looks like markup as rich text; a host or a caption must show as typed.
QString AsPlainTip(const QString& text) {
  if (!Qt::mightBeRichText(text)) return text;
  return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

}  // namespace

ServerListView::ServerListView(QWidget* parent) : QTableWidget(parent) {
  setObjectName(QStringLiteral("超级列表框1"));

  setShowGrid(true);
  setSortingEnabled(false);
  setWordWrap(false);
  setTextElideMode(Qt::ElideRight);
  setCornerButtonEnabled(false);

  QHeaderView* header = horizontalHeader();
  header->setVisible(true);
  header->setSectionsClickable(true);
  header->setSectionsMovable(true);
  header->setSortIndicatorShown(false);
  // Full-row selection would otherwise mark every header item as selected.
  header->setHighlightSections(false);
  header->setDefaultAlignment(kCellAlignment);
  // A column may be as narrow as 0 pixels, whether the program or the user makes it so.
  header->setMinimumSectionSize(0);
  verticalHeader()->setVisible(false);
  // A report list's rows are one line of text high; the style's default would make them twice that.
  verticalHeader()->setMinimumSectionSize(0);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);

  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setDragDropMode(QAbstractItemView::NoDragDrop);
  // Tab moves the focus on to the next control instead of walking the cells.
  setTabKeyNavigation(false);
  setItemDelegate(new ServerListDelegate(this));
  viewport()->setAttribute(Qt::WA_Hover, false);

  QPalette colours = palette();
  colours.setColor(QPalette::Text, Qt::black);
  colours.setColor(QPalette::Base, Qt::white);
  colours.setColor(QPalette::AlternateBase, Qt::white);
  setPalette(colours);

  setFrameStyle(QFrame::Box | QFrame::Plain);
  setLineWidth(1);
  setMidLineWidth(0);

  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

  setColumnCount(0);
  setRowCount(0);
}

ServerListView::~ServerListView() {
  if (g_attachedList == this) {
    g_attachedList = nullptr;
    g_rowsGeneration.fetch_add(1);
  }
}

bool ServerListView::viewportEvent(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QTableWidget::viewportEvent(event);

  const auto* help = static_cast<QHelpEvent*>(event);
  const QModelIndex index = indexAt(help->pos());
  const QString text = index.isValid() ? index.data(Qt::DisplayRole).toString() : QString();
  if (!text.isEmpty()) {
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    // A cell that runs past the viewport's edge is cut off just as one that is too narrow.
    const QRect visible = option.rect.intersected(viewport()->rect());
    const int needed = itemDelegateForIndex(index)->sizeHint(option, index).width();
    if (needed > visible.width()) {
      QToolTip::showText(help->globalPos(), AsPlainTip(text), viewport(), visible);
      return true;
    }
  }
  QToolTip::hideText();
  event->ignore();
  return true;
}

// The selection's highlight depends on the focus, so the rows must be drawn again when it changes.
void ServerListView::focusInEvent(QFocusEvent* event) {
  QTableWidget::focusInEvent(event);
  viewport()->update();
}

void ServerListView::focusOutEvent(QFocusEvent* event) {
  QTableWidget::focusOutEvent(event);
  viewport()->update();
}

void RunOnInterfaceThread(const std::function<void()>& fn) {
  if (!fn) return;
  QObject* target = HandOverTarget();
  // Without an application object there is no interface thread yet, nor any widget to protect.
  if (target == nullptr || QThread::currentThread() == target->thread()) {
    fn();
    return;
  }
  bool ran = false;
  std::exception_ptr failure;
  QMetaObject::invokeMethod(
      target,
      [&] {
        ran = true;
        try {
          fn();
        } catch (...) {
          failure = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  // Qt releases the caller without running the call when it discards the pending event at shutdown.
  if (!ran) WaitForProcessEnd();
  if (failure) std::rethrow_exception(failure);
}

void AttachServerList(ServerListView* list) {
  RunOnInterfaceThread([list] {
    g_attachedList = list;
    g_rowsGeneration.fetch_add(1);
  });
}

int32_t InsertColumn(int32_t position, std::optional<std::string_view> caption,
                     std::optional<int32_t> width) {
  int32_t inserted = -1;
  RunOnInterfaceThread([&] {
    ServerListView* list = g_attachedList;
    if (list == nullptr) return;
    const int32_t count = list->columnCount();
    if (count == std::numeric_limits<int32_t>::max()) return;
    const int32_t at = (position < 0 || position > count) ? count : position;
    list->insertColumn(at);
    auto* headerItem = new QTableWidgetItem(caption ? FromUtf8(*caption) : QString());
    headerItem->setTextAlignment(kCellAlignment);
    list->setHorizontalHeaderItem(at, headerItem);
    const int32_t pixels = std::clamp(width.value_or(kDefaultColumnWidth), 0,
                                      list->horizontalHeader()->maximumSectionSize());
    list->setColumnWidth(at, pixels);
    inserted = at;
  });
  return inserted;
}

int32_t InsertRow(int32_t position, std::optional<std::string_view> text) {
  int32_t inserted = -1;
  RunOnInterfaceThread([&] {
    ServerListView* list = g_attachedList;
    if (list == nullptr) return;
    const int32_t count = list->rowCount();
    if (count == std::numeric_limits<int32_t>::max()) return;
    const int32_t at = (position < 0 || position > count) ? count : position;
    list->insertRow(at);
    if (list->columnCount() > 0) list->setItem(at, 0, NewCell(text ? FromUtf8(*text) : QString()));
    inserted = at;
  });
  return inserted;
}

void SetCellText(int32_t row, int32_t column, std::string_view text) {
  RunOnInterfaceThread([&] {
    if (CellExists(g_attachedList, row, column)) WriteCell(g_attachedList, row, column, FromUtf8(text));
  });
}

std::string GetCellText(int32_t row, int32_t column) {
  std::string text;
  RunOnInterfaceThread([&] {
    if (!CellExists(g_attachedList, row, column)) return;
    if (const QTableWidgetItem* item = g_attachedList->item(row, column)) text = ToUtf8(item->text());
  });
  return text;
}

int32_t GetRowCount() {
  int32_t count = 0;
  RunOnInterfaceThread([&] {
    if (g_attachedList != nullptr) count = g_attachedList->rowCount();
  });
  return count;
}

void DeleteAllRows() {
  RunOnInterfaceThread([] {
    g_rowsGeneration.fetch_add(1);
    if (g_attachedList != nullptr) g_attachedList->setRowCount(0);
  });
}

int32_t ListClientWidth() {
  int32_t width = 0;
  RunOnInterfaceThread([&] {
    const ServerListView* list = g_attachedList;
    if (list == nullptr) return;
    // Asked of the scroll bar relative to the list, so that the answer holds before the window is shown.
    const QScrollBar* bar = list->verticalScrollBar();
    const int barWidth = bar->isVisibleTo(list) ? bar->width() : 0;
    width = std::max(0, list->width() - 2 * list->frameWidth() - barWidth);
  });
  return width;
}

uint64_t RowsGeneration() {
  return g_rowsGeneration.load();
}

bool SetCellTextIfGeneration(uint64_t generation, int32_t row, int32_t column, std::string_view text) {
  bool written = false;
  RunOnInterfaceThread([&] {
    if (generation != g_rowsGeneration.load() || !CellExists(g_attachedList, row, column)) return;
    WriteCell(g_attachedList, row, column, FromUtf8(text));
    written = true;
  });
  return written;
}
