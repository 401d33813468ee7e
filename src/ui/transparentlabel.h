// A one-line caption that paints only its text: whatever lies beneath it (the window, a sibling control)
// shows through everywhere else.
#pragma once

#include <QString>
#include <QWidget>

class TransparentLabel : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString text READ text CONSTANT)

 public:
  TransparentLabel(const QString& text, QWidget* parent);

  QString text() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString m_text;
};
