// Helpers for window tests: a temporary working directory, a box answerer
// that works inside the window's nested event loops, member access, and the
// bench (canhub and ecusim) on a free port.
#ifndef TAVELIN_WINDOW_FIXTURE_H
#define TAVELIN_WINDOW_FIXTURE_H

#include <QLabel>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "mainwindow.h"
#include "process.h"
#include "raw_client.h"

// Reads the window's members (a friend of MainWindow).
class MainWindowProbe {
public:
    static uint32_t hwId(MainWindow* w) { return w->readout.identity().hwId; }
    static uint32_t sendId(MainWindow* w) { return w->kwp_can_send_id; }
    static uint32_t recId(MainWindow* w) { return w->kwp_can_rec_id; }
    static uint16_t maxPacket(MainWindow* w) { return w->readout.identity().blockLength; }
    static int baudrate(MainWindow* w) { return w->hw_interface_baudrate; }
    static QByteArray browsePath(MainWindow* w) { return QByteArray(w->browse_file_path); }
    static uint32_t totalLength(MainWindow* w) { return w->image.totalLength(); }
    static bool updateAllowed(MainWindow* w) { return w->update_allowed; }
    static std::vector<std::pair<uint32_t, uint32_t>> sectors(MainWindow* w)
    {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (sector_T* s = w->image.sectors(); s; s = s->next)
            out.push_back({s->start_address, s->len});
        return out;
    }
    static QTimer* timer(MainWindow* w, const char* which);
    static void loadFile(MainWindow* w, const QString& path) { w->LoadUpdateFile(path); }
    static void setHwId(MainWindow* w, uint32_t id) { w->readout.identity().hwId = id; }
    static void setMaxPacket(MainWindow* w, uint16_t n) { w->readout.identity().blockLength = n; }
    // Shows the window's one box without waiting, as the capture shows its second box.
    static void openBox(MainWindow* w, const QString& text)
    {
        w->msgBox.setText(text);
        w->msgBox.setStandardButtons(QMessageBox::Ok);
        w->msgBox.open();
    }
};

// Answers modal message boxes and file dialogs as they appear, from a timer
// that keeps running inside nested event loops.
class BoxAnswerer : public QObject {
    Q_OBJECT
public:
    BoxAnswerer();
    // When a box with this text appears, press this button.
    void answer(const QString& text, QMessageBox::StandardButton button);
    // The next file dialog gets this path (empty: cancelled).
    void chooseFile(const QString& path) { files_.push_back(path); }
    QStringList seen;  // texts of every box that appeared, in order
    std::function<void(const QString&)> onBox;  // called as each new box appears

private slots:
    void poll();

private:
    QTimer timer_;
    std::vector<std::pair<QString, QMessageBox::StandardButton>> rules_;
    std::vector<QString> files_;
    QWidget* lastBox_ = nullptr;
    QString lastText_;
};

// Processes events until cond holds or limitMs passes.
bool waitFor(const std::function<bool()>& cond, int limitMs = 30000);

// A test's world: working directory, canhub, optional ecusim, the window.
struct Bench {
    QTemporaryDir dir;
    testbench::Hub hub;
    std::unique_ptr<testbench::Process> ecu;
    std::unique_ptr<MainWindow> window;
    Bench();
    ~Bench();
    bool startHub(const std::vector<std::string>& extra = {});
    bool startEcu(const std::vector<std::string>& args);
    // Stops ecusim; its summary line.
    std::string stopEcu();
    MainWindow* open();  // constructs the window in dir, on the hub's bus
    template <typename T> T* find(const char* name) { return window->findChild<T*>(name); }
    QString text(const char* label) { return find<QLabel>(label)->text(); }
    QString path(const QString& name) const { return dir.filePath(name); }
};

#endif
