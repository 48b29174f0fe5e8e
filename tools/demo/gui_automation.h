// Small helpers for driving the window from code: shared by the headless
// demo driver and the window tests.
#ifndef TAVELIN_GUI_AUTOMATION_H
#define TAVELIN_GUI_AUTOMATION_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

// Processes events until cond holds or limitMs passes; false on time-out.
// It sleeps in the event loop between events (a 10 ms timer wakes it to look
// at cond again), so that waiting costs no processor time of its own.
inline bool waitForCondition(const std::function<bool()>& cond, qint64 limitMs)
{
    QElapsedTimer t;
    t.start();
    QTimer wake;
    wake.start(10);
    while (!cond()) {
        if (t.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

#endif
