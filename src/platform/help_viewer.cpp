#include "platform/help_viewer.h"

#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>

namespace kbx {

BrowserHelpViewer::BrowserHelpViewer() = default;
BrowserHelpViewer::~BrowserHelpViewer() = default;

void BrowserHelpViewer::ShowContents(const std::string& path) {
  if (!browser_) {
    browser_ = std::make_unique<QTextBrowser>();
    browser_->setObjectName("helpWindow");
    browser_->setOpenExternalLinks(true);
    browser_->resize(720, 600);
  }
  const QString file = QString::fromStdString(path);
  if (QFileInfo(file).isReadable()) {
    browser_->setSource(QUrl::fromLocalFile(file));
    browser_->setWindowTitle(browser_->documentTitle().isEmpty() ? QFileInfo(file).fileName()
                                                                 : browser_->documentTitle());
  } else {
    browser_->setWindowTitle("Help");
    browser_->setHtml("<h3>Help is not available</h3><p>The help file <code>" + file.toHtmlEscaped() +
                      "</code> cannot be found or read.</p>");
  }
  browser_->show();
  browser_->raise();
  browser_->activateWindow();
}

void BrowserHelpViewer::Quit() {
  if (browser_) browser_->close();
}

}  // namespace kbx
