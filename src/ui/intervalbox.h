// The auto-refresh interval box: a five-character line that takes only digits and '-' from the keyboard,
// with a pair of arrow buttons beside it that step the number and wrap around the range 0..86400.
#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QWidget>

class QToolButton;
class IntervalSpinner;

class IntervalBox : public QLineEdit {
  Q_OBJECT

 public:
  static constexpr int kMaxLength = 5;

  // The spinner is a sibling (a child of parent), so parent must not be null.
  explicit IntervalBox(QWidget* parent);
  ~IntervalBox() override;

  IntervalSpinner* Spinner() const;

  // Mirrors the box's visibility onto its spinner.
  void setVisible(bool visible) override;

  // Pastes the clipboard in upper case; used by every paste path of the box.
  void PasteUpperCase();

 signals:
  // Once for every change of the text, whatever made it; never for the text the box is created with.
  void contentChanged();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void PlaceSpinner();
  void ShowSelection(bool shown);
  void OnTextChanged(const QString& text);

  QPointer<IntervalSpinner> m_spinner;
  bool m_fixingCase = false;
};

// Two stacked arrow buttons, up over down, that never take the focus.
class IntervalSpinner : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kMinimum = 0;
  static constexpr int kMaximum = 86400;
  static constexpr int kWidth = 18;

  IntervalSpinner(IntervalBox* box, QWidget* parent);

  QToolButton* UpButton() const { return m_up; }
  QToolButton* DownButton() const { return m_down; }

  // One step up (+1) or down (-1) with wrap-around; nothing while the box is hidden or disabled.
  void Step(int direction);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  IntervalBox* m_box;
  QToolButton* m_up;
  QToolButton* m_down;
};
