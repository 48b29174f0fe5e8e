// Small helpers for driving the window from code: shared by the headless
// demo driver and the window tests.
#ifndef TAVELIN_GUI_AUTOMATION_H
#define TAVELIN_GUI_AUTOMATION_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

// Processes events until cond holds or limitMs passes; false on time-out.
inline bool waitForCondition(const std::function<bool()>& cond, qint64 limitMs)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

#endif
