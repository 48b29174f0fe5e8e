// Answers an open QFileDialog with a path, the way a user would: only once
// the dialog really has that file selected. The dialog's directory model
// loads in the background, and accepting earlier can return another file or
// none. Shared by the headless demo driver and the window tests.
#ifndef TAVELIN_FILE_DIALOG_ANSWER_H
#define TAVELIN_FILE_DIALOG_ANSWER_H

#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QString>

// Call repeatedly (from a timer) while the dialog is up; returns true once it
// has been accepted with path, or rejected for an empty path.
inline bool answerFileDialog(QFileDialog* fd, const QString& path)
{
    if (path.isEmpty()) {
        fd->reject();
        return true;
    }
    const QFileInfo info(path);
    if (QDir(fd->directory()).absolutePath() != info.absolutePath())
        fd->setDirectory(info.absolutePath());
    fd->selectFile(info.fileName());
    const QStringList sel = fd->selectedFiles();
    if (sel.size() != 1 || QFileInfo(sel.first()).absoluteFilePath() != info.absoluteFilePath())
        return false;  // not yet: try again at the next tick
    static_cast<QDialog*>(fd)->done(QDialog::Accepted);
    return true;
}

#endif
