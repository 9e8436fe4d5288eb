// The questions and messages the shell puts to the user, behind an interface
// so that tests answer them without modal dialogs.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace kestrel {

class CPrompter {
public:
    enum class Icon { Information, Warning, Critical };

    virtual ~CPrompter() = default;
    virtual void ShowMessage(QWidget* parent, const QString& text, Icon icon) = 0;
    virtual bool AskYesNo(QWidget* parent, const QString& text) = 0;
    // Paths chosen in an open dialog (empty when cancelled).
    virtual QStringList GetOpenFileNames(QWidget* parent, const QStringList& filters) = 0;
    // Path chosen in a save dialog (empty when cancelled); `filterIndex` is
    // the preselected filter on entry and the chosen one on return.
    virtual QString GetSaveFileName(QWidget* parent, const QString& proposed,
                                    const QStringList& filters, int& filterIndex) = 0;
};

// Message boxes and file dialogs of the toolkit.
class CDialogPrompter : public CPrompter {
public:
    void ShowMessage(QWidget* parent, const QString& text, Icon icon) override;
    bool AskYesNo(QWidget* parent, const QString& text) override;
    QStringList GetOpenFileNames(QWidget* parent, const QStringList& filters) override;
    QString GetSaveFileName(QWidget* parent, const QString& proposed, const QStringList& filters,
                            int& filterIndex) override;
};

}  // namespace kestrel
