#include "frontends/desktop/desktop_session.h"

#include <QApplication>
#include <QIcon>
#include <exception>

#include "base/codepage.h"
#include "platform/event_loop.h"

namespace larvek {
namespace {

QString FromCp1250(const std::string& text) {
  return QString::fromStdString(Cp1250ToUtf8(text));
}

}  // namespace

DesktopSession::DesktopSession(EventLoop& loop, const std::string& program_path,
                               const std::string& log_dir)
    : loop_(loop),
      app_title_(ApplicationTitle(program_path)),
      window_(boxes_, app_title_),
      geometry_(window_),
      driver_(loop),
      tray_(QApplication::windowIcon(), FromCp1250(app_title_), [this] { ShowFromTray(); }),
      server_(loop, window_, program_path, log_dir) {
  QObject::connect(&window_, &DesktopWindow::closeRequested, [this] {
    SavePlacement(false);
    placement_saved_ = true;
    Quit();
  });
  // An error that escapes a loop handler is shown like the start-up errors; the loop goes on.
  loop_.SetErrorHandler(
      [this](const Error& e) { window_.ShowErrorMessage(MessageBoxText(e.Message())); });
}

DesktopSession::~DesktopSession() {
  driver_.Stop();
  loop_.SetErrorHandler(nullptr);
}

void DesktopSession::SavePlacement(bool at_teardown) {
  if (!shown_) return;  // a window never shown keeps the file untouched
  try {
    server_.SaveWindowPlacement(geometry_, at_teardown);
  } catch (const std::exception& e) {
    window_.ShowErrorMessage(MessageBoxText(e.what()));
  }
}

void DesktopSession::ShowFromTray() {
  if (!shown_) {
    shown_ = true;
    try {
      server_.RestoreWindowPlacement(geometry_);
    } catch (const std::exception& e) {
      window_.ShowErrorMessage(MessageBoxText(e.what()));
    }
    server_.OnWindowShown();
    driver_.Rearm();
  }
  window_.ShowRestored();
}

void DesktopSession::CloseRequest() {
  if (tearing_down_)
    boxes_.CloseAll();
  else
    Quit();
}

void DesktopSession::Quit() {
  // Requests in flight finish (or are cut) before the application quits.
  server_.Drain([] { QApplication::quit(); });
}

int DesktopSession::Run() {
  tray_.Show();
  server_.Start();
  // Without a notification area the icon could not be double-clicked (it appears when one
  // starts later): the window is shown at once instead.
  if (!TrayIcon::Available()) ShowFromTray();
  driver_.Start();
  QApplication::exec();

  // The run is over. Boxes still open were left by a close request from outside the window.
  tearing_down_ = true;
  boxes_.CloseAll();
  window_.hide();
  if (!placement_saved_) SavePlacement(true);
  server_.ShutDown();
  // Errors of the teardown are shown and waited for; the loop still serves meanwhile.
  boxes_.WaitUntilAllClosed();
  driver_.Stop();
  // 1 when a log line could not be written; the components go with the session, then the icon.
  return server_.ExitStatus();
}

}  // namespace larvek
