// tavelin-demo-driver: runs the real Tavelin window (normally on the
// offscreen platform) through capture, identification readout, file load and
// programming by itself, answering its message boxes as a technician would,
// and saves a screenshot of the window at each stage.
//
//   tavelin-demo-driver --file UPDATE.hx1 [--shots DIR] [--limit SECONDS]
//   tavelin-demo-driver --bus-states "BUS OFF,OK" [--file UPDATE.hx1] [--limit SECONDS]
//
// The second form watches the bus status of the connected window and prints
// "demo: bus TEXT" as it shows each listed text in turn (for tests that
// unplug the adapter meanwhile); exit status 0 when all were seen. With a
// file, the whole run follows once they were.
//
// With --again, a run that did not succeed is followed by one more capture
// and run (for tests that break the bus during the first); the exit status
// is then that of the second.
//
// Run it in the working directory the tool should use (conf.dat, hyst.dat),
// with TAVELIN_BUS naming the bus. Exit status 0 when the run ended with
// "Programming succeeded", 1 otherwise.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocumentFragment>
#include <QTime>
#include <QTimer>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <cstdio>
#include <functional>

#include "file_dialog_answer.h"
#include "gui_automation.h"
#include "mainwindow.h"
#include "process_setup.h"

namespace {

QString shotsDir;
int shotNumber = 0;
QString chosenFile;
QStringList boxes;

void say(const QString& s)
{
    std::fprintf(stderr, "demo: %s\n", qPrintable(s));
    std::fflush(stderr);
}

void shot(QWidget* w, const QString& stage)
{
    if (shotsDir.isEmpty())
        return;
    const QString name = QString("%1/%2-%3.png").arg(shotsDir).arg(++shotNumber, 2, 10, QChar('0')).arg(stage);
    w->grab().save(name);
    say("screenshot " + name);
}

// Answers boxes and the file dialog from a timer that keeps running inside
// the window's nested event loops.
void answerModal(QWidget* window)
{
    QWidget* m = QApplication::activeModalWidget();
    if (auto* fd = qobject_cast<QFileDialog*>(m)) {
        answerFileDialog(fd, chosenFile);
        return;
    }
    auto* box = qobject_cast<QMessageBox*>(m);
    if (!box || !box->isVisible())
        return;
    const QString text = box->text();
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    if (text == "Please turn the ECU off")
        answer = QMessageBox::Ok;
    else if (text == "Please turn the ECU on...")
        return;  // the bench ECU switches itself on; the capture closes this box
    else
        answer = box->standardButtons() & QMessageBox::Ok ? QMessageBox::Ok : QMessageBox::Cancel;
    if (boxes.isEmpty() || boxes.last() != text) {
        boxes << text;
        say("message box: \"" + text + "\"");
        shot(window, "box");
    }
    if (QAbstractButton* b = box->button(answer))
        b->click();
}

bool waitFor(const std::function<bool()>& cond, qint64 limitMs) { return waitForCondition(cond, limitMs); }

// User and system processor time of this process (the window and the
// libraries under it), in seconds.
double cpuSeconds()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME& t) {
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
#else
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    const ProcessSetup setup;
    // Qt's own file dialog, which the driver answers by typing the path (the
    // Windows one is outside the program's widgets).
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    qint64 limitMs = 600000;
    QStringList busStates;
    bool again = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--file" && i + 1 < args.size())
            chosenFile = QFileInfo(args[++i]).absoluteFilePath();
        else if (args[i] == "--shots" && i + 1 < args.size())
            shotsDir = args[++i];
        else if (args[i] == "--bus-states" && i + 1 < args.size())
            busStates = args[++i].split(',');
        else if (args[i] == "--again")
            again = true;
        else if (args[i] == "--limit" && i + 1 < args.size())
            limitMs = args[++i].toLongLong() * 1000;
        else {
            std::fprintf(stderr, "usage: tavelin-demo-driver --file UPDATE.hx1 [--again] [--shots DIR] [--limit SECONDS]\n"
                                 "       tavelin-demo-driver --bus-states TEXT[,TEXT...] [--limit SECONDS]\n");
            return 2;
        }
    }
    if (busStates.isEmpty() && (chosenFile.isEmpty() || !QFileInfo::exists(chosenFile))) {
        std::fprintf(stderr, "demo: no update file given (--file)\n");
        return 2;
    }
    if (!shotsDir.isEmpty())
        QDir().mkpath(shotsDir);

    MainWindow w;
    w.show();
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] { answerModal(&w); });
    answerer.start(50);

    auto* status = w.findChild<QLabel*>("label_ActionBar");
    auto* bus = w.findChild<QLabel*>("label_BusStatusValue");
    auto* capture = w.findChild<QPushButton*>("pushButton_Capture");
    auto* browse = w.findChild<QPushButton*>("pushButton_BrowseFile");
    auto* update = w.findChild<QPushButton*>("pushButton_Update");
    auto* progress = w.findChild<QProgressBar*>("progressBar");

    // Connected: "OK", or the first of the listed states (a bus held in a
    // warning state from the start).
    auto busText = [&] { return QTextDocumentFragment::fromHtml(bus->text()).toPlainText(); };
    if (!waitFor([&] { return bus->text().contains("OK") || (!busStates.isEmpty() && busText() == busStates.first()); },
                 5000)) {
        say("the tool is not connected to the bus (" + bus->text() + ")");
        shot(&w, "not-connected");
        return 1;
    }
    shot(&w, "connected");
    if (!busStates.isEmpty()) {
        say("bus " + busText());
        for (const QString& text : busStates) {
            // The label holds rich text: compare what it shows.
            if (!waitFor([&] { return busText() == text; }, limitMs)) {
                say("the bus status did not become " + text + " (" + bus->text() + ")");
                return 1;
            }
            // With the time of day, to set beside the events a test causes.
            say("bus " + text + " (" + QTime::currentTime().toString("HH:mm:ss.zzz") + ")");
        }
        if (chosenFile.isEmpty())
            return 0;
    }
    // One capture, file load and programming run; true when it ended with
    // "Programming succeeded".
    auto runOnce = [&]() -> bool {
        say("capture: pressing Start Capture");
        capture->click();
        if (!waitFor([&] { return status->text() == "Capture OK" || status->text() == "File successfully loaded"; }, limitMs)) {
            say("capture did not complete (status: \"" + status->text() + "\")");
            shot(&w, "capture-failed");
            return false;
        }
        say("ECU identified: HW ID " + w.findChild<QLabel*>("label_HWID")->text() + ", bootloader " +
            w.findChild<QLabel*>("label_BOOTver")->text() + ", application " + w.findChild<QLabel*>("label_FWver")->text());
        shot(&w, "identified");
        say("loading " + chosenFile);
        browse->click();
        if (!waitFor([&] { return status->text() == "File successfully loaded"; }, 10000) || !update->isEnabled()) {
            say("the update file was not accepted (status: \"" + status->text() + "\")");
            shot(&w, "file-refused");
            return false;
        }
        shot(&w, "file-loaded");
        say("programming: pressing Update");
        QElapsedTimer runClock;
        runClock.start();
        const double cpuAtStart = cpuSeconds();
        update->click();
        bool midShot = false;
        const bool ended = waitFor([&] {
            if (!midShot && progress->value() >= 50) {
                say("programming: half done");
                shot(&w, "programming");
                midShot = true;
            }
            return boxes.size() > 1 && status->text().isEmpty() && progress->value() == 0 &&
                   !update->isEnabled();
        }, limitMs);
        const double wall = runClock.elapsed() / 1000.0, cpu = cpuSeconds() - cpuAtStart;
        say(QString("run: %1 s wall, %2 s cpu (%3 % of one core)")
                .arg(wall, 0, 'f', 2).arg(cpu, 0, 'f', 2).arg(wall > 0 ? 100 * cpu / wall : 0, 0, 'f', 1));
        shot(&w, "finished");
        const bool ok = ended && boxes.contains("Programming succeeded. Press OK to start the application.");
        say(ok ? "programming succeeded" : "programming did not succeed");
        return ok;
    };
    if (runOnce())
        return 0;
    if (!again)
        return 1;
    // The bus was broken during that run (a test's doing); once it is
    // repaired, a new capture and run must succeed.
    boxes.clear();
    if (!waitFor([&] { return bus->text().contains("OK"); }, limitMs))
        return 1;
    say("again: a new capture and run");
    return runOnce() ? 0 : 1;
}
