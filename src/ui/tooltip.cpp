#include "ui/tooltip.h"

#include <QApplication>
#include <QHelpEvent>
#include <QTextDocument>
#include <QToolTip>
#include <QWidget>

namespace {

constexpr char kCentringName[] = "tz_centred_tip";

// Qt decides by itself whether a tip is rich text; a plain text that merely looks like markup is escaped and
// kept unwrapped instead, so it still shows character for character.
QString TipText(const QString& text) {
  QString lines = text;
  lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  lines.replace(u'\r', u'\n');
  if (!Qt::mightBeRichText(lines)) return lines;
  QString escaped = lines.toHtmlEscaped();
  escaped.replace(u'\n', QStringLiteral("<br>"));
  return QStringLiteral("<p style=\"white-space:pre\">") + escaped + QStringLiteral("</p>");
}

// Shows the control's tip centred below it rather than at the pointer.
class CentredTip : public QObject {
 public:
  explicit CentredTip(QWidget* control) : QObject(control), m_control(control) {
    setObjectName(QLatin1String(kCentringName));
    control->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != m_control || event->type() != QEvent::ToolTip) return false;
    const QPoint below = m_control->mapToGlobal(QPoint(m_control->width() / 2, m_control->height()));
    QToolTip::showText(below, m_control->toolTip(), m_control);
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (top->inherits("QTipLabel") && top->isVisible()) {
        // setGeometry places the tip itself; move() would place its frame.
        top->setGeometry(QRect(QPoint(below.x() - top->width() / 2, below.y()), top->size()));
      }
    }
    return true;
  }

 private:
  QWidget* m_control;
};

}  // namespace

bool AttachTooltip(QWidget* control, const QString& text, bool balloon, bool centred) {
  Q_UNUSED(balloon);
  if (control == nullptr) return false;
  control->setToolTip(TipText(text));
  QObject* centring = control->findChild<QObject*>(QLatin1String(kCentringName), Qt::FindDirectChildrenOnly);
  if (centred && centring == nullptr) new CentredTip(control);
  if (!centred) delete centring;
  return true;
}
