#include "ui/about_box.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "platform/version.h"
#include "ups/startup.h"

namespace kbx {

AboutBox::AboutBox(QWidget* owner) : QDialog(owner) {
  setObjectName("frmAbout");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  setModal(true);

  auto* description = new QLabel(this);
  description->setObjectName("lblDescription");
  description->setWordWrap(true);
  auto* author = new QLabel("Written by the KBX Configurator developers", this);
  author->setObjectName("lblAuthor");
  auto* notice = new QLabel("Free to use with the UPS units it supports; no warranty.", this);
  notice->setObjectName("Label1");
  auto* version = new QLabel(this);
  version->setObjectName("lblVersion");
  auto* okButton = new QPushButton("OK", this);
  okButton->setObjectName("cmdOK");
  okButton->setDefault(true);  // Enter; Escape closes the dialog as well
  connect(okButton, &QPushButton::clicked, this, &QDialog::accept);

  // Every text line as wide as the box; OK beside the version, the last line.
  auto* grid = new QGridLayout(this);
  grid->addWidget(description, 0, 0, 1, 2);
  grid->addWidget(author, 1, 0, 1, 2);
  grid->addWidget(notice, 2, 0, 1, 2);
  grid->addWidget(version, 3, 0);
  grid->addWidget(okButton, 3, 1, Qt::AlignRight | Qt::AlignVCenter);
  grid->setColumnStretch(0, 1);

  // Load.
  setWindowTitle(QString("About ") + kProgramTitle);
  version->setText(QString("Version ") + kProgramVersion);
  description->setText(
      "The KBX Configurator updates value associated with numbers of KBXs stored inside UPS.  This results "
      "in "
      "accurate Battery Time Remain calculations.  Refer to Help for more details.");

  // As wide as the lower lines and the button need, but no wider than the
  // main window: then those lines wrap at the box's width, as the description does.
  grid->activate();
  int width =
      grid->contentsMargins().left() + grid->contentsMargins().right() +
      std::max({author->sizeHint().width(), notice->sizeHint().width(),
                version->sizeHint().width() + grid->horizontalSpacing() + okButton->sizeHint().width()});
  if (owner != nullptr && width > owner->width()) {
    width = owner->width();
    author->setWordWrap(true);
    notice->setWordWrap(true);
  }
  setFixedSize(width, grid->totalHeightForWidth(width));
  if (owner) move(owner->geometry().center() - rect().center());
}

}  // namespace kbx
