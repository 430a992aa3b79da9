#include "platform/qt/LinkLabel.h"

#include <QFont>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPalette>

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(parent) {
  setText(text);
  setTextFormat(Qt::PlainText);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::TabFocus);
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  QPalette p = palette();
  p.setColor(QPalette::WindowText, QColor(0, 0, 0xCC));
  setPalette(p);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) emit clicked();
  QLabel::mouseReleaseEvent(e);
}

void TLinkLabel::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter || e->key() == Qt::Key_Space) {
    emit clicked();
    return;
  }
  QLabel::keyPressEvent(e);
}
