#pragma once
// The notification-area icon behind a seam: the program uses the desktop's, tests a fake.
#include <QIcon>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class QObject;
class QSystemTrayIcon;

namespace kalvo {

struct TrayMenuItem {
    int command = 0;  // 0: separator
    QString text;
};

class TrayIcon {
  public:
    virtual ~TrayIcon() = default;
    // Icon events are posted to the receiver as WM_APP_TRAY (wParam the icon id, lParam
    // kTrayLeftDoubleClick or kTrayRightButtonUp).
    void SetReceiver(QObject* receiver) { receiver_ = receiver; }
    // Shows the icon; false when there is no notification area or it refused the icon.
    virtual bool Add(const QIcon& icon, const QString& tip) = 0;
    virtual void Remove() = 0;
    // Shows the menu at the mouse cursor and waits for the choice: its command, or 0.
    virtual int RunMenu(const std::vector<TrayMenuItem>& items) = 0;
    // A passing notification beside the icon; nothing when the icon is not shown or the
    // notification area shows none.
    virtual void Notify(const QString& title, const QString& text) {
        (void)title;
        (void)text;
    }

  protected:
    // For implementations: an icon event reached the icon.
    void PostEvent(intptr_t mouse_message);

  private:
    QObject* receiver_ = nullptr;
};

// The desktop's notification area.
class SystemTrayIcon : public TrayIcon {
  public:
    SystemTrayIcon();
    ~SystemTrayIcon() override;
    bool Add(const QIcon& icon, const QString& tip) override;
    void Remove() override;
    int RunMenu(const std::vector<TrayMenuItem>& items) override;
    void Notify(const QString& title, const QString& text) override;

  private:
    std::unique_ptr<QSystemTrayIcon> icon_;
};

}  // namespace kalvo
