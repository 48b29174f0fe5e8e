#include "window_fixture.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QTimer>
#include <QVariant>

#include "brivex.h"
#include "file_dialog_answer.h"
#include "gui_automation.h"

QTimer* MainWindowProbe::timer(MainWindow* w, const char* which)
{
    const QString n = which;
    if (n == "Capture") return w->CaptureTimer;
    if (n == "TesterPresent") return w->TesterPresentTimer;
    if (n == "Sequence") return w->SequenceTimer;
    if (n == "AddressClaim") return w->AddressClaimTimer;
    return w->UpdateStatusTimer;
}

BoxAnswerer::BoxAnswerer()
{
    connect(&timer_, &QTimer::timeout, this, &BoxAnswerer::poll);
    timer_.start(20);
}

void BoxAnswerer::answer(const QString& text, QMessageBox::StandardButton button)
{
    rules_.push_back({text, button});
}

void BoxAnswerer::poll()
{
    QWidget* w = QApplication::activeModalWidget();
    if (auto* fd = qobject_cast<QFileDialog*>(w)) {
        if (!files_.empty() && answerFileDialog(fd, files_.front()))
            files_.erase(files_.begin());
        return;
    }
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box || !box->isVisible())
        return;
    if (box != lastBox_ || box->text() != lastText_) {
        seen << box->text();
        if (onBox)
            onBox(box->text());
        lastBox_ = box;
        lastText_ = box->text();
    }
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (it->first != box->text())
            continue;
        QAbstractButton* b = box->button(it->second);
        rules_.erase(it);
        lastBox_ = nullptr;
        if (b)
            b->click();
        return;
    }
}

bool waitFor(const std::function<bool()>& cond, int limitMs)
{
    return waitForCondition(cond, limitMs);
}

Bench::Bench() = default;

Bench::~Bench()
{
    window.reset();
    // The CAN channel is one per process: the next test opens it anew.
    ReleaseHWInterface();
    if (ecu)
        ecu->stop();
    QDir::setCurrent(QDir::tempPath());
}

bool Bench::startHub(const std::vector<std::string>& extra) { return hub.start(extra); }

bool Bench::startEcu(const std::vector<std::string>& args)
{
    ecu = std::make_unique<testbench::Process>();
    std::vector<std::string> argv = {"ecusim", "--bus", hub.url};
    argv.insert(argv.end(), args.begin(), args.end());
    return ecu->start(argv) && ecu->waitFor("on the bus", 20000, true);
}

std::string Bench::stopEcu()
{
    ecu->stop();
    return ecu->out();
}

MainWindow* Bench::open()
{
    QDir::setCurrent(dir.path());
    qputenv("TAVELIN_BUS", hub.url.empty() ? QByteArray("socketcand://127.0.0.1:1/vcan0") : QByteArray(hub.url.c_str()));
    window = std::make_unique<MainWindow>();
    window->show();
    return window.get();
}
