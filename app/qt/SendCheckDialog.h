// The confirmation before a mail leaves the company: every recipient grouped by
// domain (the outside ones marked), then the attachments. Each outside recipient
// and each attachment carries a box; Send is enabled once every box is ticked.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QList>
#include <QPushButton>
#include <string>
#include <vector>

#include "app/OfficeMail.h"

class TSendCheckDialog : public QDialog {
  Q_OBJECT

 public:
  // Texts are CP932, as the form holds them.
  TSendCheckDialog(const std::vector<TRecipientGroup>& groups, const std::vector<std::string>& attachments,
                   QWidget* parent = nullptr);
  // The boxes to tick, outside recipients first, then the attachments.
  const QList<QCheckBox*>& Boxes() const { return boxes_; }
  QPushButton* SendButton() const { return send_; }

 private:
  void Update();
  QList<QCheckBox*> boxes_;
  QPushButton* send_;
};
