#include "ui/transparentlabel.h"

#include <QPainter>

TransparentLabel::TransparentLabel(const QString& text, QWidget* parent) : QWidget(parent), m_text(text) {
  setAutoFillBackground(false);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  setAttribute(Qt::WA_NoSystemBackground, true);
  setFocusPolicy(Qt::NoFocus);
  setCursor(Qt::ArrowCursor);
  setAccessibleName(text);
}

QString TransparentLabel::text() const { return m_text; }

void TransparentLabel::paintEvent(QPaintEvent*) {
  if (m_text.isEmpty()) return;
  QPainter painter(this);
  // The captions are black by design, not in the theme's text colour.
  painter.setPen(QColor(0, 0, 0));
  // Text wider than the label is cut at its right edge by the widget's own clip, never elided or shrunk.
  painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_text);
}
