#pragma once
// The open and save file dialogs behind the page commands. Tests replace the real dialog with
// SetFileChooser and answer without a person.
#include <functional>
#include <optional>
#include <string>

class QFileDialog;
class QWidget;

namespace kalvo {

struct FileDialogOptions {
    enum class Mode { kOpen, kSave };
    Mode mode = Mode::kOpen;
    std::u16string filter;             // shown name, e.g. "Scenario Files (*.snr)"
    std::u16string pattern;            // e.g. "*.snr"
    std::u16string default_extension;  // added when the typed name has none, e.g. "snr"
    std::string folder;                // where the dialog starts
};

// The chosen path, or nothing when the user cancels. Saving asks before replacing a file.
std::optional<std::string> ChooseFile(QWidget* owner, const FileDialogOptions& options);

// Replaces the real dialog; an empty function restores it.
using FileChooser =
    std::function<std::optional<std::string>(QWidget* owner, const FileDialogOptions& options)>;
void SetFileChooser(FileChooser chooser);

// How the real dialog is set up from the options (kept apart so it can be checked).
void ConfigureFileDialog(QFileDialog& dialog, const FileDialogOptions& options);

}  // namespace kalvo
