#include "desktop/widgets/file_dialog.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>

#include <mutex>

#include "desktop/widgets/qt_text.h"

namespace kalvo {
namespace {

std::mutex g_mutex;
FileChooser g_chooser;

std::optional<std::string> RunDialog(QWidget* owner, const FileDialogOptions& options) {
    QFileDialog dialog(owner ? owner : QApplication::activeWindow());
    ConfigureFileDialog(dialog, options);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return QFile::encodeName(dialog.selectedFiles().first()).toStdString();
}

}  // namespace

void ConfigureFileDialog(QFileDialog& dialog, const FileDialogOptions& options) {
    const bool save = options.mode == FileDialogOptions::Mode::kSave;
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !save);
    // Qt reads the patterns from the parentheses of a filter; add them when the name lacks them.
    QString filter = ToQString(options.filter);
    const QString pattern = ToQString(options.pattern);
    if (!pattern.isEmpty() && !filter.contains(QLatin1Char('(')))
        filter += QStringLiteral(" (") + pattern + QLatin1Char(')');
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(ToQString(options.default_extension));
    dialog.setDirectory(QFile::decodeName(options.folder.c_str()));
}

std::optional<std::string> ChooseFile(QWidget* owner, const FileDialogOptions& options) {
    FileChooser chooser;
    {
        std::lock_guard lock(g_mutex);
        chooser = g_chooser;
    }
    return chooser ? chooser(owner, options) : RunDialog(owner, options);
}

void SetFileChooser(FileChooser chooser) {
    std::lock_guard lock(g_mutex);
    g_chooser = std::move(chooser);
}

}  // namespace kalvo
