#include "ui/tooltip.h"

#include <QApplication>
#include <QHelpEvent>
#include <QToolTip>
#include <QWidget>

namespace {

constexpr char kPresenterName[] = "tz_tip_presenter";

// Qt shows a plain-text tip wrapped once it is wider than the screen. Preformatted rich text is never
// wrapped, and escaping keeps every character as typed, markup-like text and ampersands included.
QString Unwrappable(const QString& plain) {
  QString escaped = plain.toHtmlEscaped();
  escaped.replace(u'\n', QStringLiteral("<br>"));
  return QStringLiteral("<p style=\"white-space:pre\">") + escaped + QStringLiteral("</p>");
}

// Answers the control's tip requests: the whole control is the hot area, and the tip goes either to the
// pointer or centred below the control.
class TipPresenter : public QObject {
 public:
  explicit TipPresenter(QWidget* control) : QObject(control), m_control(control) {
    setObjectName(QLatin1String(kPresenterName));
    control->installEventFilter(this);
  }

  void SetCentred(bool centred) { m_centred = centred; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != m_control || event->type() != QEvent::ToolTip) return false;
    const QString text = m_control->toolTip();
    if (text.isEmpty()) return false;
    const auto* help = static_cast<const QHelpEvent*>(event);
    const QPoint below = m_control->mapToGlobal(QPoint(m_control->width() / 2, m_control->height()));
    QToolTip::showText(m_centred ? below : help->globalPos(), Unwrappable(text), m_control, m_control->rect());
    if (m_centred) {
      for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->inherits("QTipLabel") && top->isVisible()) {
          // setGeometry places the tip itself; move() would place its frame.
          top->setGeometry(QRect(QPoint(below.x() - top->width() / 2, below.y()), top->size()));
        }
      }
    }
    return true;
  }

 private:
  QWidget* m_control;
  bool m_centred = false;
};

}  // namespace

bool AttachTooltip(QWidget* control, const QString& text, bool balloon, bool centred) {
  Q_UNUSED(balloon);
  if (control == nullptr) return false;
  QString lines = text;
  lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  lines.replace(u'\r', u'\n');
  control->setToolTip(lines);
  // Qt looks for this on the control's window when deciding whether an inactive window may show a tip.
  control->window()->setAttribute(Qt::WA_AlwaysShowToolTips);
  QObject* found = control->findChild<QObject*>(QLatin1String(kPresenterName), Qt::FindDirectChildrenOnly);
  auto* presenter = found != nullptr ? static_cast<TipPresenter*>(found) : new TipPresenter(control);
  presenter->SetCentred(centred);
  return true;
}
