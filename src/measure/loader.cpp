#include "measure/loader.h"

#include "measure/catalogue.h"
#include "measure/refresh.h"
#include "runtime/threads.h"
#include "ui/serverlist.h"

TextArray ServerLines;

namespace {

RegionSource g_regionSource = nullptr;

}  // namespace

void ReleaseServerLines() {
  TextArray().swap(ServerLines);
}

void SetRegionSource(RegionSource source) {
  g_regionSource = source;
}

void LoadServerList() {
  DeleteAllRows();
  const int region = g_regionSource != nullptr ? g_regionSource() : 0;
  ServerLines = SplitText(RegionText(region), "\r\n");
  const std::string tab = CharFromCode(9);
  for (const std::string& line : ServerLines) {
    const TextArray fields = SplitText(line, tab);
    const int32_t row = InsertRow(-1, fields.empty() ? std::string_view() : std::string_view(fields[0]));
    if (row < 0) continue;
    // A line without a TAB keeps an empty host, which the workers leave unprobed.
    SetCellText(row, 1, fields.size() > 1 ? std::string_view(fields[1]) : std::string_view());
  }
  StartThread(RefreshAll);
}
