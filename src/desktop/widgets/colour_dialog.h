#pragma once
// The colour chooser behind the colour commands. One set of 16 custom colours serves the whole
// process, so a colour kept in one dialog is offered again in every later one.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

class QWidget;

namespace kalvo {

using CustomColours = std::array<uint32_t, 16>;  // COLORREF

// Shows the chooser owned by owner, starting from initial (COLORREF); the chosen colour on OK,
// nothing on Cancel. The chooser may change the custom colours.
std::optional<uint32_t> ChooseColour(QWidget* owner, uint32_t initial);

// The process-wide custom colours (black until the user keeps one).
CustomColours GetCustomColours();
void SetCustomColours(const CustomColours& colours);

// Replaces the real dialog (tests answer without a person); an empty function restores it.
using ColourChooser =
    std::function<std::optional<uint32_t>(QWidget* owner, uint32_t initial, CustomColours& custom)>;
void SetColourChooser(ColourChooser chooser);

}  // namespace kalvo
