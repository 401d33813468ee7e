// What the controls at the foot of the main window do. Every handler runs on the interface thread and
// returns at once; measuring runs on threads of its own.
#pragma once

#include <cstdint>

class MainWindow;
class QString;

// Connects the five handlers below to the window's events.
void ConnectHandlers(MainWindow* window);

void OnRegionChosen(MainWindow& window);
void OnRefreshClicked(MainWindow& window);
void OnTimerTicked(MainWindow& window);
void OnAutoRefreshClicked(MainWindow& window);
void OnIntervalChanged(MainWindow& window);

// The interval box's text as a timer period: whole seconds times 1000, a text that is no number gives 0.
int32_t IntervalMs(const QString& intervalText);
