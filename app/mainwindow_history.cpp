// What a programming run leaves in the flash history.
#include "mainwindow.h"

void MainWindow::NoteRunOutcome(const QString& text)
{
    run.noteOutcome(text);
}

void MainWindow::RecordRun()
{
    history.append(run.record(phys_ECU_addr));  // reports a failure itself; the run is over either way
}
