// The notification-area icon TrayIcon1: the program's icon with the application title as
// tooltip, no menu and no single-click action. A double-click with any mouse button calls
// on_double_click. (Qt reports only left double-clicks on the icon; the others are caught on
// their way to the icon's widget.)
#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

namespace larvek {

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  TrayIcon(const QIcon& icon, const QString& tooltip, std::function<void()> on_double_click,
           QObject* parent = nullptr);
  ~TrayIcon() override;

  void Show() { icon_.show(); }
  void Hide() { icon_.hide(); }
  // True when a notification area exists to hold the icon.
  static bool Available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QSystemTrayIcon icon_;
  std::function<void()> on_double_click_;
};

}  // namespace larvek
