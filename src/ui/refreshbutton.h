// The flat two-state push button that asks for a refresh. It draws itself from the system colours: pressed
// in while toggled or held, lightened with a raised edge while hovered, and a dotted frame while focused.
#pragma once

#include <QColor>
#include <QPushButton>

// The hover background: the button face lightened by the same step s on each component, where
// s = min(32, 255 - red, 255 - green, 255 - blue), so the lightest component just reaches white.
QColor LightenedFace(const QColor& face);

class RefreshButton : public QPushButton {
  Q_OBJECT

 public:
  static constexpr int kFocusInset = 3;

  // Starts toggled on, so it is first drawn pressed in.
  RefreshButton(const QString& caption, QWidget* parent);

  bool IsHovering() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void PointerMoved(const QPoint& position, Qt::MouseButtons buttons);
  void EndHover();

  bool m_hovering = false;
};
