// A caption that opens a web page on the press of the left button. It paints its own button-face
// background, and its text colour tells normal, hovered and successfully opened apart.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class Hyperlink : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString text READ text CONSTANT)

 public:
  static constexpr QColor kNormalColour = QColor(0, 0, 255);
  static constexpr QColor kVisitedColour = QColor(128, 0, 0);
  static constexpr QColor kHoverColour = QColor(0, 120, 215);

  // With an empty caption the address itself is shown.
  Hyperlink(const QString& caption, const QString& address, QWidget* parent);

  QString text() const;
  QString address() const;
  bool IsHovering() const;
  // Whether the last open succeeded.
  bool IsVisited() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  QString m_caption;
  QString m_address;
  bool m_hovering = false;
  bool m_visited = false;
};
