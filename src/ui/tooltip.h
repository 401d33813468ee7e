// Hover tips for controls, shown as plain text: one line per CR LF, never wrapped, spaces and empty lines kept.
#pragma once

#include <QString>

class QWidget;

// Qt has a single tooltip window and no balloon shape, so balloon is accepted and has no effect.
// With centred the tip appears centred below the control instead of at the pointer.
// A second attach to the same control replaces its text. False only for a null control.
bool AttachTooltip(QWidget* control, const QString& text, bool balloon, bool centred);
