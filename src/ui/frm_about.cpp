#include "ui/frm_about.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "platform/version.h"
#include "ups/startup.h"

namespace kbx {

FrmAbout::FrmAbout(QWidget* owner) : QDialog(owner) {
  setObjectName("frmAbout");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  setModal(true);

  auto* lblDescription = new QLabel(this);
  lblDescription->setObjectName("lblDescription");
  lblDescription->setWordWrap(true);
  auto* lblAuthor = new QLabel("Written by the KBX Configurator developers", this);
  lblAuthor->setObjectName("lblAuthor");
  auto* label1 = new QLabel("Free to use with the UPS units it supports; no warranty.", this);
  label1->setObjectName("Label1");
  auto* lblVersion = new QLabel(this);
  lblVersion->setObjectName("lblVersion");
  auto* cmdOK = new QPushButton("OK", this);
  cmdOK->setObjectName("cmdOK");
  cmdOK->setDefault(true);  // Enter; Escape closes the dialog as well
  connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);

  auto* grid = new QGridLayout(this);
  grid->addWidget(lblDescription, 0, 0, 1, 2);
  grid->addWidget(lblAuthor, 1, 0);
  grid->addWidget(label1, 2, 0);
  grid->addWidget(lblVersion, 3, 0);
  grid->addWidget(cmdOK, 2, 1, 2, 1, Qt::AlignRight | Qt::AlignVCenter);

  // Load.
  setWindowTitle(QString("About ") + kProgramTitle);
  lblVersion->setText(QString("Version ") + kProgramVersion);
  lblDescription->setText(
      "The KBX Configurator updates value associated with numbers of KBXs stored inside UPS.  This results "
      "in "
      "accurate Battery Time Remain calculations.  Refer to Help for more details.");

  setFixedWidth(440);
  setFixedHeight(sizeHint().height());
  if (owner) move(owner->geometry().center() - rect().center());
}

}  // namespace kbx
