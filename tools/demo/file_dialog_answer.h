// Answers an open QFileDialog with a path, the way a user would: by typing it
// into the dialog's file name field and accepting. The dialog's directory
// model loads in the background, so selecting through the model is not
// reliable; the typed path is. Shared by the headless demo driver and the
// window tests.
#ifndef TAVELIN_FILE_DIALOG_ANSWER_H
#define TAVELIN_FILE_DIALOG_ANSWER_H

#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QString>

// Call repeatedly (from a timer) while the dialog is up; returns true once it
// has been accepted with path, or rejected for an empty path.
inline bool answerFileDialog(QFileDialog* fd, const QString& path)
{
    if (path.isEmpty()) {
        fd->reject();
        return true;
    }
    auto* edit = fd->findChild<QLineEdit*>("fileNameEdit");
    if (!edit)
        return false;
    const QString wanted = QFileInfo(path).absoluteFilePath();
    edit->setText(wanted);
    const QStringList sel = fd->selectedFiles();
    if (sel.size() != 1 || QFileInfo(sel.first()).absoluteFilePath() != wanted)
        return false;  // not yet: try again at the next tick
    static_cast<QDialog*>(fd)->done(QDialog::Accepted);
    return true;
}

#endif
