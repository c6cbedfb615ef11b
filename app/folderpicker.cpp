#include "folderpicker.h"

#include "serverfolder.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

namespace {

const QString kPickerTitle = QStringLiteral("Open a server folder");

} // namespace

bool chooseServerFolder(const StartFolder &start)
{
    if (!start.notice.isEmpty())
        QMessageBox::warning(nullptr, kPickerTitle, start.notice);

    QString from = start.chooseFrom;
    for (;;) {
        const QString folder = QFileDialog::getExistingDirectory(nullptr, kPickerTitle, from);
        if (folder.isEmpty())
            return false;
        const Result entered = enterFolder(folder);
        if (entered.ok()) {
            const Result remembered = rememberChosenFolder(QDir::currentPath());
            if (!remembered.ok()) {
                QMessageBox::warning(
                    nullptr, kPickerTitle,
                    QStringLiteral("The program works in %1, but cannot remember it for the "
                                   "next start: %2.")
                        .arg(QDir::toNativeSeparators(QDir::currentPath()), remembered.errorMessage()));
            }
            return true;
        }
        // A folder the picker shows but that cannot be entered, for want of
        // permission: say so and let the operator pick again.
        QMessageBox::warning(nullptr, kPickerTitle,
                             QStringLiteral("Cannot work in %1: %2.")
                                 .arg(QDir::toNativeSeparators(folder), entered.errorMessage()));
        from = folder;
    }
}
