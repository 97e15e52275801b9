#include "ui/help_viewer.h"

#include <QAction>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "ui/window_placement.h"

namespace kbx {

namespace {

// The help window's size in the units of its font: some 70 characters wide
// and 36 lines high, but never larger than most of the screen.
QSize HelpWindowSize(const QWidget& window) {
  const QFontMetrics metrics(window.font());
  QSize size(metrics.averageCharWidth() * 80, metrics.lineSpacing() * 36);
  if (const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen()) {
    size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
  }
  return size;
}

// The narrowest window that shows the page without a horizontal scroll bar:
// the widest line that does not wrap (a sample of the board, a command), the
// page's frame and margins and the vertical scroll bar.
int NarrowestWidth(const QTextBrowser& page) {
  const std::unique_ptr<QTextDocument> narrowest(page.document()->clone());
  narrowest->setTextWidth(1);
  return static_cast<int>(std::ceil(narrowest->size().width())) + 2 * page.frameWidth() +
         page.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, page.verticalScrollBar()) + 2;
}

}  // namespace

BrowserHelpViewer::BrowserHelpViewer() = default;
BrowserHelpViewer::~BrowserHelpViewer() = default;

void BrowserHelpViewer::Create() {
  window_ = std::make_unique<QWidget>();
  window_->setObjectName("helpWindow");
  window_->setAccessibleName("Help");
  auto* layout = new QVBoxLayout(window_.get());
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* tools = new QToolBar(window_.get());
  tools->setObjectName("helpTools");
  tools->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  browser_ = new QTextBrowser(window_.get());
  browser_->setObjectName("helpPage");
  browser_->setOpenExternalLinks(true);
  browser_->setAccessibleName("Help text");
  layout->addWidget(tools);
  layout->addWidget(browser_, 1);

  const QStyle* style = window_->style();
  // Back and Forward return to the spot as it was left. The page also puts
  // back the link that had the keyboard focus, and scrolls to it wherever it
  // is: the focus moves to the middle of what is in view before each step.
  const auto focusInView = [this] {
    browser_->setTextCursor(browser_->cursorForPosition(browser_->viewport()->rect().center()));
  };
  auto tool = [&](const char* name, const QString& text, QStyle::StandardPixmap icon, const QKeySequence& key,
                  void (QTextBrowser::*slot)()) {
    QAction* action = tools->addAction(style->standardIcon(icon), text);
    QObject::connect(action, &QAction::triggered, browser_, [this, focusInView, slot] {
      focusInView();
      (browser_->*slot)();
    });
    action->setObjectName(name);
    action->setShortcut(key);
    action->setToolTip(text + " (" + key.toString(QKeySequence::NativeText) + ")");
    return action;
  };
  QAction* back =
      tool("helpBack", "&Back", QStyle::SP_ArrowBack, QKeySequence::Back, &QTextBrowser::backward);
  QAction* forward =
      tool("helpForward", "&Forward", QStyle::SP_ArrowForward, QKeySequence::Forward, &QTextBrowser::forward);
  tool("helpHome", "&Home", QStyle::SP_DirHomeIcon, QKeySequence(Qt::ALT | Qt::Key_Home),
       &QTextBrowser::home);
  back->setEnabled(false);
  forward->setEnabled(false);
  QObject::connect(browser_, &QTextBrowser::backwardAvailable, back, &QAction::setEnabled);
  QObject::connect(browser_, &QTextBrowser::forwardAvailable, forward, &QAction::setEnabled);

  // Escape and Ctrl+W close the window, wherever the focus is in it.
  auto* close = new QAction("Close", window_.get());
  close->setObjectName("helpClose");
  close->setShortcuts({QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)});
  close->setShortcutContext(Qt::WindowShortcut);
  QObject::connect(close, &QAction::triggered, window_.get(), &QWidget::close);
  window_->addAction(close);

  window_->resize(HelpWindowSize(*window_));
}

void BrowserHelpViewer::ShowContents(const std::string& path, const QWidget* owner) {
  if (!window_) Create();
  const QString file = QString::fromStdString(path);
  if (QFileInfo(file).isReadable()) {
    browser_->setSource(QUrl::fromLocalFile(file));
    window_->setWindowTitle(browser_->documentTitle().isEmpty() ? QFileInfo(file).fileName()
                                                                : browser_->documentTitle());
  } else {
    window_->setWindowTitle("Help");
    browser_->setHtml("<h3>Help is not available</h3><p>The help file <code>" + file.toHtmlEscaped() +
                      "</code> cannot be found or read.</p>");
  }
  if (owner != nullptr) {
    window_->setWindowIcon(owner->windowIcon());
    if (!window_->isVisible()) {
      // Somewhat narrower rather than over the main window.
      const QSize wanted = HelpWindowSize(*window_);
      const int decoration = owner->frameGeometry().width() - owner->width();
      const QScreen* screen = owner->screen();
      const int room =
          screen ? RoomBeside(owner->frameGeometry(), screen->availableGeometry()) - decoration : 0;
      const int narrowest = NarrowestWidth(*browser_);
      int width = room < wanted.width() && room >= wanted.width() * 2 / 3 ? room : wanted.width();
      width = std::max(width, narrowest);
      if (screen != nullptr) width = std::min(width, screen->availableGeometry().width() - decoration);
      window_->resize(width, wanted.height());
      MoveBeside(*window_, *owner);
    }
  }
  window_->show();
  window_->raise();
  window_->activateWindow();
  browser_->setFocus();
}

void BrowserHelpViewer::Quit() {
  if (window_) window_->close();
}

}  // namespace kbx
