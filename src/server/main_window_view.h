// What the server's logic needs of its main window. The console front end and the desktop
// front end each implement it once; the start-up, networking and command code only see this.
#pragma once

#include <string>

namespace larvek {

class LogView;

class MainWindowView {
 public:
  virtual ~MainWindowView() = default;

  // The window's own caption (task-bar label) and the caption shown in its title bar.
  virtual void SetWindowCaption(const std::string& caption) = 0;
  virtual void SetTitleBarCaption(const std::string& caption) = 0;
  // A modal error message captioned with the application title; the event loop keeps running
  // while it is open. `text` is final (the trailing "." has been added where it belongs).
  virtual void ShowErrorMessage(const std::string& text) = 0;
  // The warning shown when the listening socket was closed by an error: the code as text.
  virtual void ShowListenerClosedWarning(int code) = 0;
  // The activity log's view.
  virtual LogView& Log() = 0;
};

}  // namespace larvek
