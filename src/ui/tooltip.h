// Hover tips for controls: one line per CR LF, never wrapped however long, leading spaces and empty lines
// kept, and shown also while the window is not the active one.
#pragma once

#include <QString>

class QWidget;

// All tips appear in Qt's one shared tooltip window. Qt has no balloon shape, so balloon is accepted and has
// no effect. With centred the tip appears centred below the control instead of at the pointer.
// The control's toolTip() holds the text with "\n" between lines. A second attach to the same control
// replaces its text. False only for a null control.
bool AttachTooltip(QWidget* control, const QString& text, bool balloon, bool centred);
