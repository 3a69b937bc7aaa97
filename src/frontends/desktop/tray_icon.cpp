#include "frontends/desktop/tray_icon.h"

#include <QApplication>
#include <QEvent>

namespace larvek {
namespace {

// The widget that draws the icon inside an X11 notification area (XEmbed).
bool IsTrayIconWidget(const QObject* object) {
  return object->objectName() == QLatin1String("QSystemTrayIconSys") ||
         object->inherits("QSystemTrayIconSys");
}

}  // namespace

TrayIcon::TrayIcon(const QIcon& icon, const QString& tooltip, std::function<void()> on_double_click,
                   QObject* parent)
    : QObject(parent), icon_(icon), on_double_click_(std::move(on_double_click)) {
  icon_.setObjectName(QStringLiteral("TrayIcon1"));
  icon_.setToolTip(tooltip);
  connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::DoubleClick) on_double_click_();
  });
  qApp->installEventFilter(this);
}

TrayIcon::~TrayIcon() {
  qApp->removeEventFilter(this);
  icon_.hide();
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonDblClick && IsTrayIconWidget(watched)) {
    // Taken here for every button, so the left button is not reported twice.
    on_double_click_();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace larvek
