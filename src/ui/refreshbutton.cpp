#include "ui/refreshbutton.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

QColor LightenedFace(const QColor& face) {
  const int step = std::min({32, 255 - face.red(), 255 - face.green(), 255 - face.blue()});
  return QColor(face.red() + step, face.green() + step, face.blue() + step);
}

RefreshButton::RefreshButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
  setFlat(true);
  setCheckable(true);
  setChecked(true);
  setAutoDefault(false);
  setDefault(false);
  setMouseTracking(true);
}

bool RefreshButton::IsHovering() const { return m_hovering; }

void RefreshButton::paintEvent(QPaintEvent*) {
  // The system colours are read at every paint, so a change of theme shows at the next one.
  const QPalette& colours = palette();
  const QColor face = colours.color(QPalette::Active, QPalette::Button);
  const QColor text = colours.color(QPalette::Active, QPalette::ButtonText);
  const QColor shadow = colours.color(QPalette::Active, QPalette::Dark);
  const QColor highlight = colours.color(QPalette::Active, QPalette::Light);

  const bool pressed = isDown() || isChecked();
  const QRect area = rect();
  QPainter painter(this);
  painter.fillRect(area, m_hovering || pressed ? LightenedFace(face) : face);

  if (pressed || m_hovering) {
    const QColor topLeft = pressed ? shadow : highlight;
    const QColor bottomRight = pressed ? highlight : shadow;
    const int right = area.width() - 1;
    const int bottom = area.height() - 1;
    painter.fillRect(0, 0, right, 1, topLeft);
    painter.fillRect(0, 0, 1, bottom, topLeft);
    painter.fillRect(0, bottom, right + 1, 1, bottomRight);
    painter.fillRect(right, 0, 1, bottom + 1, bottomRight);
  }

  const QString caption = this->text();
  if (!caption.isEmpty()) {
    const QFontMetrics metrics(font());
    const QSize block =
        metrics.boundingRect(QRect(0, 0, area.width(), 1 << 20), Qt::TextWordWrap, caption).size();
    QRect place(QPoint((area.width() - block.width()) / 2, (area.height() - block.height()) / 2), block);
    // A toggle button never shifts its caption: pressed in and held look the same.
    if (!isCheckable() && isDown()) place.translate(1, 1);
    constexpr int flags = Qt::TextWordWrap | Qt::AlignHCenter | Qt::AlignTop;
    if (!isEnabled()) {
      painter.setPen(highlight);
      painter.drawText(place.translated(1, 1), flags, caption);
      painter.setPen(shadow);
    } else {
      painter.setPen(text);
    }
    painter.drawText(place, flags, caption);
  }

  if (hasFocus()) {
    // Every other pixel along the frame, the pattern running on around the corners.
    const QRect frame = area.adjusted(kFocusInset, kFocusInset, -kFocusInset, -kFocusInset);
    painter.setPen(text);
    for (int x = frame.left(); x <= frame.right(); ++x) {
      for (int y : {frame.top(), frame.bottom()}) {
        if ((x + y) % 2 == 0) painter.drawPoint(x, y);
      }
    }
    for (int y = frame.top() + 1; y < frame.bottom(); ++y) {
      for (int x : {frame.left(), frame.right()}) {
        if ((x + y) % 2 == 0) painter.drawPoint(x, y);
      }
    }
  }
}

void RefreshButton::PointerMoved(const QPoint& position, Qt::MouseButtons buttons) {
  const bool over = rect().contains(position);
  if (!over) {
    EndHover();
    return;
  }
  // A drag that started elsewhere does not light the button up.
  if (m_hovering || buttons.testFlag(Qt::LeftButton)) return;
  m_hovering = true;
  update();
}

void RefreshButton::EndHover() {
  if (!m_hovering) return;
  m_hovering = false;
  update();
}

void RefreshButton::enterEvent(QEnterEvent* event) {
  QPushButton::enterEvent(event);
  PointerMoved(event->position().toPoint(), QApplication::mouseButtons());
}

void RefreshButton::leaveEvent(QEvent* event) {
  QPushButton::leaveEvent(event);
  EndHover();
}

void RefreshButton::mouseMoveEvent(QMouseEvent* event) {
  QPushButton::mouseMoveEvent(event);
  PointerMoved(event->position().toPoint(), event->buttons());
}

void RefreshButton::focusOutEvent(QFocusEvent* event) {
  QPushButton::focusOutEvent(event);
  EndHover();
}

void RefreshButton::changeEvent(QEvent* event) {
  QPushButton::changeEvent(event);
  // Qt itself passes the focus on to the next control, as a disabled button may not keep it.
  if (event->type() == QEvent::EnabledChange && !isEnabled()) EndHover();
}
