// The program's one window: the region selector, the server list, the auto-refresh controls and the
// manual-refresh button, each reachable by its objectName, plus the window-wide keys Esc and Tab.
#pragma once

#include <QWidget>

#include <cstdint>

class QCheckBox;
class QComboBox;
class QTimer;
class IntervalBox;
class RefreshButton;
class ServerListView;

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 294;
  static constexpr int kClientHeight = 471;

  // Creates every control in its start state and raises nothing; the window stays hidden until shown.
  MainWindow();
  ~MainWindow() override;

  int CurrentRegion() const;
  bool AutoRefreshChecked() const;
  void SetAutoRefreshCaption(const QString& caption);
  QString IntervalText() const;
  void SetRefreshButtonVisible(bool visible);
  // A negative period counts as 0 (stopped). Writing the current period changes nothing, so a running timer
  // keeps its phase; any other value restarts the count from this write.
  void SetTimerPeriod(int32_t ms);
  int32_t TimerPeriod() const;

 signals:
  void regionChosen();
  void autoRefreshClicked();
  void intervalChanged();
  void refreshClicked();
  void timerTicked();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CentreOnPrimaryScreen();
  bool Owns(const QObject* object) const;
  void MoveFocus(bool forward);

  QCheckBox* m_autoRefresh = nullptr;
  IntervalBox* m_interval = nullptr;
  ServerListView* m_list = nullptr;
  RefreshButton* m_refresh = nullptr;
  QComboBox* m_region = nullptr;
  QTimer* m_timer = nullptr;
  int32_t m_period = 0;
  bool m_shownOnce = false;
};
