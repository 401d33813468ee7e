#include "ui/hyperlink.h"

#include <QMouseEvent>
#include <QPainter>

#include "ui/openpage.h"

Hyperlink::Hyperlink(const QString& caption, const QString& address, QWidget* parent)
    : QWidget(parent), m_caption(caption), m_address(address) {
  setFocusPolicy(Qt::NoFocus);
  setCursor(Qt::PointingHandCursor);
  // Every movement counts, not only those with a button held.
  setMouseTracking(true);
  setAccessibleName(text());
}

QString Hyperlink::text() const { return m_caption.isEmpty() ? m_address : m_caption; }

QString Hyperlink::address() const { return m_address; }

bool Hyperlink::IsHovering() const { return m_hovering; }

bool Hyperlink::IsVisited() const { return m_visited; }

void Hyperlink::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  // The button face is read at every paint, so a change of theme shows at the next one.
  painter.fillRect(event->rect(), palette().color(QPalette::Active, QPalette::Button));
  painter.setPen(m_hovering ? kHoverColour : m_visited ? kVisitedColour : kNormalColour);
  // Centred even when wider than the control, so the widget's clip cuts both ends alike.
  painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
}

void Hyperlink::mouseMoveEvent(QMouseEvent* event) {
  if (!m_hovering) {
    m_hovering = true;
    update();
    // Held so that the move that leaves the link still reaches it and ends the hover.
    grabMouse();
  } else if (!rect().contains(event->position().toPoint())) {
    m_hovering = false;
    releaseMouse();
    update();
  } else if (mouseGrabber() != this) {
    grabMouse();
  }
  event->accept();
}

void Hyperlink::mousePressEvent(QMouseEvent* event) {
  event->accept();
  if (event->button() != Qt::LeftButton) return;
  m_visited = OpenWebPage(m_address);
  // A failure shows at the next repaint only, as any other change would.
  if (m_visited) update();
}

// The second press of a double click is not a press: it must not open the page again.
void Hyperlink::mouseDoubleClickEvent(QMouseEvent* event) { event->accept(); }
