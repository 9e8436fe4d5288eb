#include "framework/prompter.h"

#include <QFileDialog>
#include <QMessageBox>

namespace kestrel {

namespace {
const QString kCaption = QStringLiteral("Kestrel");
}

void CDialogPrompter::ShowMessage(QWidget* parent, const QString& text, Icon icon) {
    switch (icon) {
        case Icon::Information:
            QMessageBox::information(parent, kCaption, text);
            break;
        case Icon::Warning:
            QMessageBox::warning(parent, kCaption, text);
            break;
        case Icon::Critical:
            QMessageBox::critical(parent, kCaption, text);
            break;
    }
}

bool CDialogPrompter::AskYesNo(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, kCaption, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

QStringList CDialogPrompter::GetOpenFileNames(QWidget* parent, const QStringList& filters) {
    return QFileDialog::getOpenFileNames(parent, QString(), QString(), filters.join(";;"));
}

QString CDialogPrompter::GetSaveFileName(QWidget* parent, const QString& proposed,
                                         const QStringList& filters, int& filterIndex) {
    QFileDialog dialog(parent, QString(), proposed);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    if (filterIndex >= 0 && filterIndex < filters.size()) {
        dialog.selectNameFilter(filters[filterIndex]);
    }
    if (!proposed.isEmpty())
        dialog.selectFile(proposed);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    filterIndex = static_cast<int>(filters.indexOf(dialog.selectedNameFilter()));
    return dialog.selectedFiles().first();
}

}  // namespace kestrel
