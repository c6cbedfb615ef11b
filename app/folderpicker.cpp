#include "folderpicker.h"

#include "programarguments.h"
#include "serverfolder.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <optional>

namespace {

const QString kPickerTitle = QStringLiteral("Open a server folder");

// Qt's own check of the folder chosen takes a name that is not UTF-8 for
// another one, which does not exist: such a folder is found by its bytes
// first.
class FolderDialog final : public QFileDialog
{
    Q_DISABLE_COPY_MOVE(FolderDialog)

public:
    explicit FolderDialog(QWidget *parent = nullptr) : QFileDialog(parent)
    {
        setWindowTitle(kPickerTitle);
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly);
    }

    // The folder chosen, as programArguments() gives a name.
    QString folder() const { return m_folder.isEmpty() ? selectedFiles().value(0) : m_folder; }

    void accept() override
    {
        const QStringList chosen = selectedFiles();
        m_folder = chosen.value(0);
        if (chosen.size() == 1 && !QFileInfo(m_folder).isDir()) {
            if (const std::optional<QString> found = pickedFolder(m_folder)) {
                m_folder = *found;
                QDialog::accept();
                return;
            }
        }
        QFileDialog::accept();
    }

private:
    QString m_folder;
};

} // namespace

bool chooseServerFolder(const StartFolder &start)
{
    if (!start.notice.isEmpty())
        QMessageBox::warning(nullptr, kPickerTitle, start.notice);

    QString from = start.chooseFrom;
    for (;;) {
        FolderDialog dialog;
        dialog.setDirectory(from);
        if (dialog.exec() != QDialog::Accepted || dialog.folder().isEmpty())
            return false;
        const QString folder = dialog.folder();
        const Result entered = enterFolder(folder);
        if (entered.ok()) {
            const Result remembered = rememberChosenFolder(folder);
            if (!remembered.ok()) {
                QMessageBox::warning(nullptr, kPickerTitle,
                                     QStringLiteral("The program works in %1, but cannot remember it for the "
                                                    "next start: %2.")
                                         .arg(displayedName(folder), remembered.errorMessage()));
            }
            return true;
        }
        // A folder the picker shows but that cannot be entered, for want of
        // permission: say so and let the operator pick again.
        QMessageBox::warning(
            nullptr, kPickerTitle,
            QStringLiteral("Cannot work in %1: %2.").arg(displayedName(folder), entered.errorMessage()));
        from = folder;
    }
}
