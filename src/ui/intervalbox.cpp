#include "ui/intervalbox.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QStyleHints>
#include <QToolButton>

#include <algorithm>

namespace {

bool IsAccepted(QChar c) { return (c >= u'0' && c <= u'9') || c == u'-'; }

QString KeepAccepted(const QString& text) {
  QString kept;
  for (QChar c : text) {
    if (IsAccepted(c)) kept.append(c);
  }
  return kept;
}

// The base class treats such a key event as text to insert; the same test decides what we filter.
bool InsertsText(const QKeyEvent* event) {
  const QString text = event->text();
  if (text.isEmpty()) return false;
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  if (mods == Qt::ControlModifier || mods == (Qt::ControlModifier | Qt::ShiftModifier)) return false;
  const QChar first = text.at(0);
  return first.isPrint() || first.category() == QChar::Other_Format ||
         first.category() == QChar::Other_PrivateUse || first.isHighSurrogate();
}

// Leading blanks, an optional sign, then decimal digits; anything else ends the number.
qint64 ReadNumber(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
    negative = text[i] == u'-';
    ++i;
  }
  // Any value past the range wraps the same way, so a cap keeps long digit runs from overflowing.
  constexpr qint64 kCap = 1'000'000'000'000;
  qint64 n = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    n = std::min(kCap, n * 10 + (text[i].unicode() - u'0'));
  }
  return negative ? -n : n;
}

}  // namespace

IntervalBox::IntervalBox(QWidget* parent) : QLineEdit(parent) {
  setMaxLength(kMaxLength);
  setAlignment(Qt::AlignCenter);
  setFrame(false);
  // Drops would be a third way in besides typing and pasting.
  setAcceptDrops(false);

  QPalette colours = palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    colours.setColor(group, QPalette::Base, Qt::white);
    colours.setColor(group, QPalette::Window, Qt::white);
  }
  colours.setColor(QPalette::Active, QPalette::Text, Qt::black);
  colours.setColor(QPalette::Inactive, QPalette::Text, Qt::black);
  setPalette(colours);
  ShowSelection(false);

  m_spinner = new IntervalSpinner(this, parent);
  PlaceSpinner();

  connect(this, &QLineEdit::textChanged, this, &IntervalBox::OnTextChanged);
}

IntervalBox::~IntervalBox() { delete m_spinner.data(); }

IntervalSpinner* IntervalBox::Spinner() const { return m_spinner.data(); }

void IntervalBox::setVisible(bool visible) {
  QLineEdit::setVisible(visible);
  if (m_spinner) m_spinner->setVisible(visible);
}

void IntervalBox::PasteUpperCase() {
  if (isReadOnly()) return;
  const QString clip = QGuiApplication::clipboard()->text(QClipboard::Clipboard);
  if (clip.isEmpty() && !hasSelectedText()) return;
  insert(clip.toUpper());
}

void IntervalBox::OnTextChanged(const QString& text) {
  if (m_fixingCase) return;
  const QString upper = text.toUpper();
  if (upper != text) {
    // Only a path that bypassed PasteUpperCase gets here; the fix must not count as a second change.
    const int cursor = cursorPosition();
    m_fixingCase = true;
    setText(upper);
    setCursorPosition(cursor);
    m_fixingCase = false;
  }
  emit contentChanged();
}

void IntervalBox::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Paste)) {
    PasteUpperCase();
    event->accept();
    return;
  }
  if (InsertsText(event)) {
    const QString text = event->text();
    const QString kept = KeepAccepted(text);
    if (kept != text) {
      if (kept.isEmpty()) {
        event->accept();
        return;
      }
      QKeyEvent filtered(event->type(), event->key(), event->modifiers(), kept, event->isAutoRepeat(),
                         static_cast<quint16>(event->count()));
      QLineEdit::keyPressEvent(&filtered);
      event->setAccepted(filtered.isAccepted());
      return;
    }
  }
  QLineEdit::keyPressEvent(event);
}

void IntervalBox::inputMethodEvent(QInputMethodEvent* event) {
  const QString commit = event->commitString();
  const QString kept = KeepAccepted(commit);
  if (kept == commit) {
    QLineEdit::inputMethodEvent(event);
    return;
  }
  QInputMethodEvent filtered(event->preeditString(), event->attributes());
  filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
  QLineEdit::inputMethodEvent(&filtered);
  event->setAccepted(filtered.isAccepted());
}

void IntervalBox::mouseReleaseEvent(QMouseEvent* event) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (event->button() == Qt::MiddleButton && clipboard->supportsSelection() && !isReadOnly()) {
    deselect();
    insert(clipboard->text(QClipboard::Selection).toUpper());
    event->accept();
    return;
  }
  QLineEdit::mouseReleaseEvent(event);
}

// Built here rather than taken from the base class, whose Paste would bypass the upper-casing.
void IntervalBox::contextMenuEvent(QContextMenuEvent* event) {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const auto add = [this, menu](const char* text, QKeySequence::StandardKey key, bool enabled, auto slot) {
    QString caption = QCoreApplication::translate("QLineEdit", text);
    const QKeySequence shortcut(key);
    if (!shortcut.isEmpty() && QGuiApplication::styleHints()->showShortcutsInContextMenus()) {
      caption += u'\t' + shortcut.toString(QKeySequence::NativeText);
    }
    menu->addAction(caption, this, slot)->setEnabled(enabled);
  };
  const bool editable = !isReadOnly();
  const bool selected = hasSelectedText();
  add("&Undo", QKeySequence::Undo, editable && isUndoAvailable(), &QLineEdit::undo);
  add("&Redo", QKeySequence::Redo, editable && isRedoAvailable(), &QLineEdit::redo);
  menu->addSeparator();
  add("Cu&t", QKeySequence::Cut, editable && selected, &QLineEdit::cut);
  add("&Copy", QKeySequence::Copy, selected, &QLineEdit::copy);
  add("&Paste", QKeySequence::Paste, editable && !QGuiApplication::clipboard()->text().isEmpty(),
      &IntervalBox::PasteUpperCase);
  add("Delete", QKeySequence::UnknownKey, editable && selected, [this] { del(); });
  menu->addSeparator();
  add("Select All", QKeySequence::SelectAll, !text().isEmpty() && selectedText() != text(), &QLineEdit::selectAll);
  menu->popup(event->globalPos());
}

void IntervalBox::focusInEvent(QFocusEvent* event) {
  ShowSelection(true);
  QLineEdit::focusInEvent(event);
}

void IntervalBox::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  ShowSelection(false);
}

void IntervalBox::ShowSelection(bool shown) {
  QPalette colours = palette();
  for (auto group : {QPalette::Active, QPalette::Inactive}) {
    if (shown) {
      colours.setColor(group, QPalette::Highlight, QGuiApplication::palette().color(group, QPalette::Highlight));
      colours.setColor(group, QPalette::HighlightedText,
                       QGuiApplication::palette().color(group, QPalette::HighlightedText));
    } else {
      colours.setColor(group, QPalette::Highlight, colours.color(group, QPalette::Base));
      colours.setColor(group, QPalette::HighlightedText, colours.color(group, QPalette::Text));
    }
  }
  setPalette(colours);
}

void IntervalBox::paintEvent(QPaintEvent* event) {
  QLineEdit::paintEvent(event);
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::Dark));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void IntervalBox::PlaceSpinner() {
  if (m_spinner) m_spinner->setGeometry(x() + width(), y(), IntervalSpinner::kWidth, height());
}

void IntervalBox::moveEvent(QMoveEvent* event) {
  QLineEdit::moveEvent(event);
  PlaceSpinner();
}

void IntervalBox::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  PlaceSpinner();
}

void IntervalBox::changeEvent(QEvent* event) {
  QLineEdit::changeEvent(event);
  if (event->type() == QEvent::EnabledChange && m_spinner) m_spinner->setEnabled(isEnabled());
}

IntervalSpinner::IntervalSpinner(IntervalBox* box, QWidget* parent)
    : QWidget(parent), m_box(box), m_up(new QToolButton(this)), m_down(new QToolButton(this)) {
  setFocusPolicy(Qt::NoFocus);
  m_up->setObjectName(QStringLiteral("up"));
  m_down->setObjectName(QStringLiteral("down"));
  m_up->setArrowType(Qt::UpArrow);
  m_down->setArrowType(Qt::DownArrow);
  for (QToolButton* button : {m_up, m_down}) {
    button->setFocusPolicy(Qt::NoFocus);
    // Holding an arrow keeps stepping, as users of such arrows expect.
    button->setAutoRepeat(true);
  }
  connect(m_up, &QToolButton::clicked, this, [this] { Step(+1); });
  connect(m_down, &QToolButton::clicked, this, [this] { Step(-1); });
}

void IntervalSpinner::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int upper = height() / 2;
  m_up->setGeometry(0, 0, width(), upper);
  m_down->setGeometry(0, upper, width(), height() - upper);
}

void IntervalSpinner::Step(int direction) {
  if (m_box->isHidden() || !m_box->isEnabled()) return;
  const qint64 next = ReadNumber(m_box->text()) + (direction > 0 ? 1 : -1);
  qint64 result = next;
  if (next < kMinimum || next > kMaximum) result = direction > 0 ? kMinimum : kMaximum;
  m_box->setText(QString::number(result));
  m_box->selectAll();
  m_box->setFocus(Qt::OtherFocusReason);
}
