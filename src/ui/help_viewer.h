#pragma once

#include <memory>
#include <string>

class QTextBrowser;
class QWidget;

namespace kbx {

// The program's help window: shows an HTML help file's contents and closes
// again when the program ends.
class HelpViewer {
 public:
  virtual ~HelpViewer() = default;
  // Shows the contents; a window that was not open yet opens beside `owner`.
  virtual void ShowContents(const std::string& path, const QWidget* owner = nullptr) = 0;
  virtual void Quit() = 0;
};

// The help window as a window of its own, independent of the main window,
// with Back, Forward and Home; Escape and Ctrl+W close it.
class BrowserHelpViewer : public HelpViewer {
 public:
  BrowserHelpViewer();
  ~BrowserHelpViewer() override;
  void ShowContents(const std::string& path, const QWidget* owner = nullptr) override;
  void Quit() override;
  // The page shown; its window() is the help window.
  QTextBrowser* window() const { return browser_; }

 private:
  void Create();

  std::unique_ptr<QWidget> window_;
  QTextBrowser* browser_ = nullptr;
};

}  // namespace kbx
