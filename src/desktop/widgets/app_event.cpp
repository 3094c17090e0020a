#include "desktop/widgets/app_event.h"

#include <QCoreApplication>

namespace kalvo {
namespace {
constexpr uint32_t kSystemOffset = 0x7000;  // system ids land in 0x7000..0x7FFF
}

AppEvent::AppEvent(uint32_t message, uintptr_t wparam, intptr_t lparam)
    : QEvent(TypeOf(message)), message_(message), wparam_(wparam), lparam_(lparam) {}

AppEvent::~AppEvent() = default;

QEvent::Type AppEvent::TypeOf(uint32_t message) {
    if (message >= uint32_t(QEvent::User) && message <= uint32_t(QEvent::MaxUser))
        return QEvent::Type(message);
    return QEvent::Type(kSystemOffset + (message & 0xFFF));
}

AppEvent* AppEvent::From(QEvent* event) {
    return dynamic_cast<AppEvent*>(event);
}

void PostAppEvent(QObject* receiver, std::unique_ptr<AppEvent> event) {
    if (!receiver || !event) return;
    QCoreApplication::postEvent(receiver, event.release());
}

void PostAppEvent(QObject* receiver, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    PostAppEvent(receiver, std::make_unique<AppEvent>(message, wparam, lparam));
}

bool SendAppEvent(QObject* receiver, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (!receiver) return false;
    AppEvent event(message, wparam, lparam);
    return QCoreApplication::sendEvent(receiver, &event);
}

}  // namespace kalvo
