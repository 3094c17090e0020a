#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace kalvo {

// Message boxes shown by the core. The program registers a handler that shows a real box; every
// box is also written to stderr as "caption: text".
enum class BoxKind { kOk, kOkCancel, kYesNo };
enum class BoxAnswer { kOk, kCancel, kYes, kNo };

using MessageBoxHandler =
    std::function<BoxAnswer(std::u16string_view caption, std::u16string_view text, BoxKind kind)>;

void SetMessageBoxHandler(MessageBoxHandler handler);
BoxAnswer ShowMessageBox(std::u16string_view caption, std::u16string_view text,
                         BoxKind kind = BoxKind::kOk);

// Shows the box, then ends the process with the code. Never returns.
[[noreturn]] void FatalExit(std::u16string_view caption, std::u16string_view text, int code);

}  // namespace kalvo
