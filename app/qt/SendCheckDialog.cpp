#include "app/qt/SendCheckDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/qt/FormTexts.h"

TSendCheckDialog::TSendCheckDialog(const std::vector<TRecipientGroup>& groups,
                                   const std::vector<std::string>& attachments, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("SendCheckDialog"));
  setWindowTitle(tr("Check before sending"));
  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(tr("This mail leaves the company. Tick each outside recipient and each attachment."), this);
  intro->setWordWrap(true);
  layout->addWidget(intro);
  // A long list scrolls; the buttons stay in view.
  auto* area = new QScrollArea(this);
  area->setWidgetResizable(true);
  auto* list = new QWidget(area);
  auto* rows = new QVBoxLayout(list);
  for (const TRecipientGroup& g : groups) {
    const QString domain = g.Domain.empty() ? tr("(no domain)") : FormDisplayText(g.Domain);
    auto* heading = new QLabel(g.Outside ? tr("%1 (outside)").arg(domain) : domain, list);
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    rows->addWidget(heading);
    for (const std::string& address : g.Addresses) {
      if (!g.Outside) {
        rows->addWidget(new QLabel(QStringLiteral("    ") + FormDisplayText(address), list));
        continue;
      }
      auto* box = new QCheckBox(FormDisplayText(address), list);
      box->setObjectName(QStringLiteral("Recipient"));
      boxes_.append(box);
      rows->addWidget(box);
    }
  }
  if (!attachments.empty()) {
    auto* heading = new QLabel(tr("Attachments"), list);
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    rows->addWidget(heading);
    for (const std::string& name : attachments) {
      auto* box = new QCheckBox(FormDisplayText(name), list);
      box->setObjectName(QStringLiteral("Attachment"));
      boxes_.append(box);
      rows->addWidget(box);
    }
  }
  rows->addStretch(1);
  area->setWidget(list);
  layout->addWidget(area, 1);
  auto* buttons = new QDialogButtonBox(this);
  send_ = buttons->addButton(tr("&Send"), QDialogButtonBox::AcceptRole);
  send_->setObjectName(QStringLiteral("SendCheckSend"));
  buttons->addButton(QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  for (QCheckBox* box : boxes_) connect(box, &QCheckBox::toggled, this, &TSendCheckDialog::Update);
  Update();
}

void TSendCheckDialog::Update() {
  bool all = true;
  for (const QCheckBox* box : boxes_) all = all && box->isChecked();
  send_->setEnabled(all);
}
