#pragma once

#include <memory>
#include <string>

class QTextBrowser;

namespace kbx {

// The program's help window: shows an HTML help file's contents and closes
// again when the program ends.
class HelpViewer {
 public:
  virtual ~HelpViewer() = default;
  virtual void ShowContents(const std::string& path) = 0;
  virtual void Quit() = 0;
};

// The help window as a window of its own, independent of the main window.
class BrowserHelpViewer : public HelpViewer {
 public:
  BrowserHelpViewer();
  ~BrowserHelpViewer() override;
  void ShowContents(const std::string& path) override;
  void Quit() override;
  QTextBrowser* window() const { return browser_.get(); }

 private:
  std::unique_ptr<QTextBrowser> browser_;
};

}  // namespace kbx
