#include "core/common/message_box.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/common/text.h"

namespace kalvo {
namespace {
std::mutex g_mutex;
MessageBoxHandler g_handler;
}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard lock(g_mutex);
    g_handler = std::move(handler);
}

BoxAnswer ShowMessageBox(std::u16string_view caption, std::u16string_view text, BoxKind kind) {
    std::fprintf(stderr, "%s: %s\n", Utf16ToUtf8(caption).c_str(), Utf16ToUtf8(text).c_str());
    std::fflush(stderr);
    MessageBoxHandler handler;
    {
        std::lock_guard lock(g_mutex);
        handler = g_handler;
    }
    if (handler) return handler(caption, text, kind);
    return kind == BoxKind::kYesNo ? BoxAnswer::kYes : BoxAnswer::kOk;
}

void FatalExit(std::u16string_view caption, std::u16string_view text, int code) {
    ShowMessageBox(caption, text, BoxKind::kOk);
    std::fflush(nullptr);
    std::_Exit(code);
}

}  // namespace kalvo
