#include "desktop/app/tray_icon.h"

#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

#include "core/common/messages.h"
#include "desktop/app/commands.h"
#include "desktop/widgets/app_event.h"

namespace kalvo {

void TrayIcon::PostEvent(intptr_t mouse_message) {
    PostAppEvent(receiver_, WM_APP_TRAY, kTrayIconId, mouse_message);
}

SystemTrayIcon::SystemTrayIcon() : icon_(std::make_unique<QSystemTrayIcon>()) {
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::DoubleClick)
                             PostEvent(kTrayLeftDoubleClick);
                         else if (reason == QSystemTrayIcon::Context)
                             PostEvent(kTrayRightButtonUp);
                     });
}

SystemTrayIcon::~SystemTrayIcon() {
    icon_->hide();
}

bool SystemTrayIcon::Add(const QIcon& icon, const QString& tip) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    icon_->setIcon(icon);
    icon_->setToolTip(tip);
    icon_->show();
    return icon_->isVisible();
}

void SystemTrayIcon::Notify(const QString& title, const QString& text) {
    if (icon_->isVisible() && QSystemTrayIcon::supportsMessages())
        icon_->showMessage(title, text, QSystemTrayIcon::Warning);
}

void SystemTrayIcon::Remove() {
    icon_->hide();
}

int SystemTrayIcon::RunMenu(const std::vector<TrayMenuItem>& items) {
    QMenu menu;
    for (const TrayMenuItem& item : items) {
        if (item.command == 0) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(item.text);
        action->setData(item.command);
    }
    // exec keeps the menu on the screen of the cursor.
    QAction* chosen = menu.exec(QCursor::pos());
    return chosen ? chosen->data().toInt() : 0;
}

}  // namespace kalvo
