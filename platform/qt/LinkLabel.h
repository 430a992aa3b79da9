// A label that acts as a link.
#pragma once

#include <QLabel>

// A label that acts as a link: shown as one, emits clicked on a left click.
class TLinkLabel : public QLabel {
  Q_OBJECT
 public:
  TLinkLabel(const QString& text, QWidget* parent);
 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
};
