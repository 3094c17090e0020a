#pragma once
// Window messages of the program as Qt events: the event type is the message id, and the event
// carries wParam, lParam and, when the sender hands data over, an owned payload.
#include <QEvent>

#include <cstdint>
#include <memory>
#include <utility>

class QObject;

namespace kalvo {

struct AppPayload {
    virtual ~AppPayload() = default;
};

template <class T>
struct AppPayloadOf : AppPayload {
    explicit AppPayloadOf(T v) : value(std::move(v)) {}
    T value;
};

class AppEvent : public QEvent {
  public:
    AppEvent(uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0);
    template <class T>
    AppEvent(uint32_t message, uintptr_t wparam, intptr_t lparam, T payload)
        : AppEvent(message, wparam, lparam) {
        payload_ = std::make_unique<AppPayloadOf<T>>(std::move(payload));
    }
    ~AppEvent() override;

    uint32_t Message() const { return message_; }
    uintptr_t WParam() const { return wparam_; }
    intptr_t LParam() const { return lparam_; }

    // The payload when it holds a T, else null; it lives as long as the event.
    template <class T>
    T* Payload() const {
        auto* p = dynamic_cast<AppPayloadOf<T>*>(payload_.get());
        return p ? &p->value : nullptr;
    }

    // Event type of a message. Program messages (0x8000 and up) keep their id; the few system ids
    // below Qt's user range (WM_CLOSE) are moved up, away from Qt's own event types.
    static QEvent::Type TypeOf(uint32_t message);
    // The event as an AppEvent, or null.
    static AppEvent* From(QEvent* event);

  private:
    uint32_t message_;
    uintptr_t wparam_;
    intptr_t lparam_;
    std::unique_ptr<AppPayload> payload_;
};

// Posts to the receiver's thread; safe from any thread. Qt owns the event from here on.
void PostAppEvent(QObject* receiver, std::unique_ptr<AppEvent> event);
void PostAppEvent(QObject* receiver, uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0);
// Delivers at once on the calling thread (the receiver must live on it); true when handled.
bool SendAppEvent(QObject* receiver, uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0);

}  // namespace kalvo
