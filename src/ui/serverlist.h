// The program's one server list: a report-style table that is also the only store of rows, and the plain
// operations through which the loader, the dispatcher and the workers reach it from any thread.
#pragma once

#include <QTableWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class ServerListView : public QTableWidget {
  Q_OBJECT

 public:
  explicit ServerListView(QWidget* parent = nullptr);
  ~ServerListView() override;

 protected:
  bool viewportEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
};

// Every operation below may be called from any thread. On the interface thread it runs at once; from any
// other thread it is carried out on the interface thread, between two of its event handlers, while the
// caller waits. With no list attached they act on an empty list without columns: InsertColumn and
// InsertRow give -1, reads give "" or 0, writes do nothing.

// A later attach replaces the list, nullptr detaches it; destroying the attached list detaches it.
// Either way the rows generation moves on.
void AttachServerList(ServerListView* list);

// A negative position or one past the end appends. A missing caption is empty, a missing width is 50
// pixels, a negative one 0. Returns the index of the new column.
int32_t InsertColumn(int32_t position, std::optional<std::string_view> caption = std::nullopt,
                     std::optional<int32_t> width = std::nullopt);

// A negative position or one past the end appends. The text goes into column 0, the other cells are
// empty. Returns the index at which the new row stands.
int32_t InsertRow(int32_t position, std::optional<std::string_view> text = std::nullopt);

// Replaces the whole text of one cell; a row or column that does not exist makes it do nothing.
void SetCellText(int32_t row, int32_t column, std::string_view text);

// The whole text of one cell; "" for a cell never set and for a cell that does not exist.
std::string GetCellText(int32_t row, int32_t column);

int32_t GetRowCount();

// Removes every row and starts a new rows generation; columns, captions and widths stay.
void DeleteAllRows();

// The list's outer width less its border on both sides, less the vertical scroll bar while it is shown.
int32_t ListClientWidth();

// A worker that notes the generation before it reads a row can write its result with
// SetCellTextIfGeneration, so that a result computed for rows since replaced is dropped rather than
// landing in a newer row with the same index. Reading the generation never waits for the interface thread.
uint64_t RowsGeneration();

// Writes only while the rows are still of that generation and the cell exists; true when written.
bool SetCellTextIfGeneration(uint64_t generation, int32_t row, int32_t column, std::string_view text);

// Runs fn on the interface thread and waits until it is done; on the interface thread it runs at once.
// An exception thrown by fn reaches the caller. Once the interface thread's event loop has stopped for
// good, a call from another thread never returns: the process is ending and nothing it would touch is
// safe any longer.
void RunOnInterfaceThread(const std::function<void()>& fn);
