#include "desktop/widgets/colour_dialog.h"

#include <QColorDialog>

#include <mutex>

#include "core/common/colour.h"

namespace kalvo {
namespace {

std::mutex g_mutex;
CustomColours g_custom{};
ColourChooser g_chooser;

QColor FromColorref(uint32_t c) {
    return QColor(RedOf(c), GreenOf(c), BlueOf(c));
}
uint32_t ToColorref(const QColor& c) {
    return Rgb(uint8_t(c.red()), uint8_t(c.green()), uint8_t(c.blue()));
}

std::optional<uint32_t> RunDialog(QWidget* owner, uint32_t initial, CustomColours& custom) {
    const int n = std::min<int>(QColorDialog::customCount(), int(custom.size()));
    for (int i = 0; i < n; ++i) QColorDialog::setCustomColor(i, FromColorref(custom[size_t(i)]));
    QColorDialog dialog(FromColorref(initial), owner);
    const bool ok = dialog.exec() == QDialog::Accepted;
    for (int i = 0; i < n; ++i) custom[size_t(i)] = ToColorref(QColorDialog::customColor(i));
    if (!ok) return std::nullopt;
    return ToColorref(dialog.selectedColor());
}

}  // namespace

std::optional<uint32_t> ChooseColour(QWidget* owner, uint32_t initial) {
    ColourChooser chooser;
    CustomColours custom;
    {
        std::lock_guard lock(g_mutex);
        chooser = g_chooser;
        custom = g_custom;
    }
    std::optional<uint32_t> chosen =
        chooser ? chooser(owner, initial, custom) : RunDialog(owner, initial, custom);
    SetCustomColours(custom);
    return chosen;
}

CustomColours GetCustomColours() {
    std::lock_guard lock(g_mutex);
    return g_custom;
}

void SetCustomColours(const CustomColours& colours) {
    std::lock_guard lock(g_mutex);
    g_custom = colours;
}

void SetColourChooser(ColourChooser chooser) {
    std::lock_guard lock(g_mutex);
    g_chooser = std::move(chooser);
}

}  // namespace kalvo
