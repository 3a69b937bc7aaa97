// One run of the server with the desktop front end: the main window object with its Qt window,
// the notification-area icon, the message boxes and the driver of the event loop.
//
// The program starts with only the icon. A double-click on it shows the window; the first time,
// the window position is restored from the own file and OnWindowShown runs. Closing the window
// ends the run; the position is saved then (or, when the run ends otherwise, at teardown) if the
// window was shown, and ShutDown appends the lines typed into the log view to the day's file.
#pragma once

#include <string>

#include "frontends/desktop/desktop_geometry.h"
#include "frontends/desktop/desktop_window.h"
#include "frontends/desktop/loop_driver.h"
#include "frontends/desktop/message_boxes.h"
#include "frontends/desktop/tray_icon.h"
#include "server/server.h"

namespace larvek {

class EventLoop;

class DesktopSession {
 public:
  // Needs a QApplication. `loop` is not owned. `log_dir` (ending with '/') holds the day-log
  // folders; empty: the program directory.
  DesktopSession(EventLoop& loop, const std::string& program_path, const std::string& log_dir = "");
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  // Creates and starts the server (Server::Start), runs until the window is closed or
  // CloseRequest() is called, then tears down (window position, ShutDown). Returns the exit status.
  int Run();
  // A close request from outside the window (SIGTERM, SIGINT): ends the run; during teardown it
  // closes the boxes that teardown is waiting for.
  void CloseRequest();

  // The double-click on the icon.
  void ShowFromTray();
  DesktopWindow& Window() { return window_; }
  Server& server() { return server_; }

 private:
  // The end of the run: the server drains, then the application quits.
  void Quit();
  void SavePlacement(bool at_teardown);

  EventLoop& loop_;
  std::string app_title_;
  MessageBoxes boxes_;
  DesktopWindow window_;
  DesktopGeometry geometry_;
  QtLoopDriver driver_;
  TrayIcon tray_;
  Server server_;
  bool shown_ = false;            // the window has been shown (and its position restored)
  bool placement_saved_ = false;  // the position was saved when the window was closed
  bool tearing_down_ = false;
};

}  // namespace larvek
