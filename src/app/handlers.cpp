#include "app/handlers.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include <QString>

#include "measure/loader.h"
#include "measure/refresh.h"
#include "runtime/text.h"
#include "runtime/threads.h"
#include "ui/mainwindow.h"

void ConnectHandlers(MainWindow* window) {
  QObject::connect(window, &MainWindow::regionChosen, window, [window] { OnRegionChosen(*window); });
  QObject::connect(window, &MainWindow::refreshClicked, window, [window] { OnRefreshClicked(*window); });
  QObject::connect(window, &MainWindow::timerTicked, window, [window] { OnTimerTicked(*window); });
  QObject::connect(window, &MainWindow::autoRefreshClicked, window,
                   [window] { OnAutoRefreshClicked(*window); });
  QObject::connect(window, &MainWindow::intervalChanged, window, [window] { OnIntervalChanged(*window); });
}

void OnRegionChosen(MainWindow&) {
  LoadServerList();
}

void OnRefreshClicked(MainWindow&) {
  StartThread(RefreshAll);
}

void OnTimerTicked(MainWindow&) {
  StartThread(RefreshAll);
}

void OnAutoRefreshClicked(MainWindow& window) {
  if (window.AutoRefreshChecked()) {
    window.SetAutoRefreshCaption(QStringLiteral("自动刷新："));
    window.SetRefreshButtonVisible(false);
    window.SetTimerPeriod(IntervalMs(window.IntervalText()));
  } else {
    window.SetAutoRefreshCaption(QStringLiteral("自动刷新"));
    window.SetRefreshButtonVisible(true);
    window.SetTimerPeriod(0);
  }
}

void OnIntervalChanged(MainWindow& window) {
  if (window.AutoRefreshChecked()) window.SetTimerPeriod(IntervalMs(window.IntervalText()));
}

int32_t IntervalMs(const QString& intervalText) {
  const QByteArray utf8 = intervalText.toUtf8();
  const double ms = TextToInt(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size()))) * 1000.0;
  // The box's five characters keep this in range; a pasted text is only cut to five as well, but an
  // out-of-range double-to-int conversion would be undefined, so it is clamped all the same.
  constexpr double kLow = std::numeric_limits<int32_t>::min();
  constexpr double kHigh = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::clamp(ms, kLow, kHigh));
}
