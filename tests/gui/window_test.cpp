// The window without an ECU: its widget tree, the two settings files, the
// progress label, connecting and the bus status, and the update file loader.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QStyleOptionButton>
#include <QTextDocumentFragment>
#include <QToolBar>
#include <QtTest>
#include <cmath>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_logs.h"
#include "settings_files.h"
#include "window_fixture.h"

namespace {

void writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A small update file for hardware id hw.
QByteArray updateFile(uint32_t hw, int records = 4)
{
    QByteArray t = "0x0000\nCOMPATIBLE_HARDWARE_ID_VERSION = " + QByteArray::number(hw) +
                   "\nDOWNLOAD =\n0x0,0x0,0x00,0x40\nPROGRAMMING_SCRIPT_END\n";
    for (int i = 0; i < records; ++i)
        t += QByteArray(":04") + QByteArray::number(0x8000 + 4 * i, 16).toUpper() + "00" + "01020304" +
             QByteArray::number((0x100 - ((4 + 0x80 + 4 * i + 10) & 0xFF)) & 0xFF, 16).rightJustified(2, '0').toUpper() + "\n";
    return t;
}

// Why text does not show whole in w (empty when it does): its advance width
// against the label's contents or the button's label area, and its height.
QString clipped(QWidget* w, const QString& text)
{
    QRect room = w->contentsRect();
    if (auto* b = qobject_cast<QPushButton*>(w)) {
        QStyleOptionButton opt;
        opt.initFrom(b);
        opt.text = text;
        room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
    }
    const QFontMetricsF fm(w->font());
    const double width = std::ceil(fm.horizontalAdvance(text)), height = std::ceil(fm.height());
    if (width <= room.width() && height <= room.height())
        return QString();
    return QString("%1: \"%2\" needs %3 x %4, has %5 x %6 (%7 %8 pt)")
        .arg(w->objectName(), text).arg(width).arg(height).arg(room.width()).arg(room.height())
        .arg(QFontInfo(w->font()).family()).arg(QFontInfo(w->font()).pointSizeF());
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void widgetTreeAsBuilt();
    void everyTextShowsWhole();
    void confDatCases_data();
    void confDatCases();
    void missingConfDatIsCreated();
    void unwritableWorkingFolderIsSaid();
    void confBlockInterval();
    void hystDatCases();
    void hystDatInAFolderTheUserCannotWrite();
    void progressLabel();
    void connectRetryAndBusStatus();
    void browseLoadsAndDecides();
    void loaderMessages_data();
    void loaderMessages();
    void nonRegularFileIsNotOpened();
    void runLogsKeepTheNewest();
};

void WindowTest::widgetTreeAsBuilt()
{
    Bench b;
    MainWindow* w = b.open();
    QCOMPARE(w->objectName(), QString("MainWindow"));
    QCOMPARE(w->windowTitle(), QString("Tavelin v3.1.4"));
    QCOMPARE(w->size(), QSize(460, 600));
    QCOMPARE(w->minimumSize(), QSize(460, 600));
    QCOMPARE(w->maximumSize(), QSize(460, 600));
    QVERIFY(!w->windowIcon().isNull());
    QCOMPARE(w->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);

    struct Row {
        const char* name;
        const char* cls;
        const char* parent;
        QRect geometry;
        const char* text;  // nullptr: not a label/button
        bool enabled;
    };
    const Row rows[] = {
        {"group_InfoApplication", "QGroupBox", "centralWidget", {30, 300, 400, 81}, nullptr, false},
        {"label_5", "QLabel", "group_InfoApplication", {20, 25, 61, 16}, "SW code:", true},
        {"label_FWID", "QLabel", "group_InfoApplication", {90, 25, 110, 16}, "- - -", true},
        {"label_6", "QLabel", "group_InfoApplication", {20, 50, 61, 16}, "SW version:", true},
        {"label_FWver", "QLabel", "group_InfoApplication", {90, 50, 110, 16}, "- - -", true},
        {"pushButton_Update", "QPushButton", "centralWidget", {30, 510, 100, 41}, "Update", false},
        {"progressBar", "QProgressBar", "centralWidget", {140, 510, 290, 21}, nullptr, true},
        {"pushButton_Capture", "QPushButton", "centralWidget", {80, 10, 300, 31}, "Start Capture", false},
        {"label_ActionBar", "QLabel", "centralWidget", {140, 530, 251, 21}, "", true},
        {"group_UpdateFile", "QGroupBox", "centralWidget", {30, 390, 400, 105}, nullptr, false},
        {"label_7", "QLabel", "group_UpdateFile", {60, 70, 100, 16}, "HW ID compatibility:", true},
        {"label_HWIDcompatibility", "QLabel", "group_UpdateFile", {170, 70, 71, 16}, "- - - ", true},
        {"pushButton_BrowseFile", "QPushButton", "group_UpdateFile", {320, 25, 60, 24}, "Browse...", true},
        {"lineEdit_FileName", "QLineEdit", "group_UpdateFile", {20, 26, 280, 22}, nullptr, false},
        {"label_check_HWID_compatibility", "QLabel", "group_UpdateFile", {20, 60, 31, 31}, "", true},
        {"label_ProgressBar_value", "QLabel", "centralWidget", {400, 530, 32, 21}, "0%", true},
        {"group_Tavelin", "QGroupBox", "centralWidget", {30, 50, 400, 101}, nullptr, true},
        {"label_Bitrate", "QLabel", "group_Tavelin", {20, 25, 41, 16}, "Bitrate:", true},
        {"label_AddressClaim", "QLabel", "group_Tavelin", {20, 50, 71, 16}, "Address claim:", true},
        {"label_BusStatus", "QLabel", "group_Tavelin", {20, 75, 61, 16}, "Bus Status:", true},
        {"label_BitrateValue", "QLabel", "group_Tavelin", {100, 25, 100, 16}, "250 [kbit/s]", true},
        {"label_AddressValue", "QLabel", "group_Tavelin", {100, 50, 100, 16}, "22 [HEX]", true},
        {"label_BusStatusValue", "QLabel", "group_Tavelin", {90, 75, 110, 16}, "not connected", true},
        {"group_InfoBootloader", "QGroupBox", "centralWidget", {30, 160, 400, 131}, nullptr, false},
        {"label_4", "QLabel", "group_InfoBootloader", {20, 50, 101, 16}, "Interface version:", true},
        {"label_HWver", "QLabel", "group_InfoBootloader", {90, 75, 110, 16}, "- - - ", true},
        {"label_HWID", "QLabel", "group_InfoBootloader", {90, 100, 110, 16}, "- - - ", true},
        {"label_BOOTinterface", "QLabel", "group_InfoBootloader", {130, 50, 70, 16}, "- - -", true},
        {"label_BOOTver", "QLabel", "group_InfoBootloader", {90, 25, 110, 16}, "- - - ", true},
        {"label", "QLabel", "group_InfoBootloader", {20, 75, 62, 16}, "HW Version:", true},
        {"label_2", "QLabel", "group_InfoBootloader", {22, 100, 41, 16}, "HW ID:", true},
        {"label_3", "QLabel", "group_InfoBootloader", {20, 25, 71, 16}, "SW version:", true},
    };
    for (const Row& r : rows) {
        QWidget* wd = w->findChild<QWidget*>(r.name);
        QVERIFY2(wd, r.name);
        QCOMPARE(QString(wd->metaObject()->className()), QString(r.cls));
        QCOMPARE(wd->parentWidget()->objectName(), QString(r.parent));
        QCOMPARE(wd->geometry(), r.geometry);
        QCOMPARE(wd->isEnabledTo(wd->parentWidget()), r.enabled);
        if (r.text) {
            if (auto* l = qobject_cast<QLabel*>(wd))
                QCOMPARE(l->text(), QString(r.text));
            else
                QCOMPARE(qobject_cast<QPushButton*>(wd)->text(), QString(r.text));
        }
    }
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter;
    for (const char* n : {"label_FWID", "label_FWver", "label_BitrateValue", "label_AddressValue",
                          "label_BusStatusValue", "label_HWver", "label_HWID", "label_BOOTinterface", "label_BOOTver"})
        QCOMPARE(b.find<QLabel>(n)->alignment(), right);
    QCOMPARE(b.find<QLabel>("label_ProgressBar_value")->alignment(), Qt::Alignment(Qt::AlignCenter));
    QVERIFY(b.find<QLabel>("label_BusStatusValue")->font().bold());
    QCOMPARE(b.find<QGroupBox>("group_Tavelin")->title(), QString("Tavelin"));
    QCOMPARE(b.find<QGroupBox>("group_UpdateFile")->title(), QString("Update File"));
    auto* bar = b.find<QProgressBar>("progressBar");
    QVERIFY(!bar->isTextVisible());
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->textDirection(), QProgressBar::TopToBottom);
    auto* capture = b.find<QPushButton>("pushButton_Capture");
    QVERIFY(capture->isCheckable());
    QVERIFY(!capture->isChecked());
    // Menus: Connection (Configure..., Connect) and an empty "?".
    auto menus = w->menuBar()->actions();
    QCOMPARE(menus.size(), 2);
    QCOMPARE(menus[0]->text(), QString("Connection"));
    QCOMPARE(menus[1]->text(), QString("?"));
    QVERIFY(menus[1]->menu()->actions().isEmpty());
    auto items = menus[0]->menu()->actions();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items[0]->objectName(), QString("actionConfigure"));
    QCOMPARE(items[0]->text(), QString("Configure..."));
    QCOMPARE(items[1]->text(), QString("Connect"));
    QVERIFY(items[1]->isCheckable());
    QVERIFY(!items[1]->isChecked());
    QVERIFY(items[1]->isEnabled());  // not connected: offered for a retry
    items[0]->trigger();            // Configure... does nothing
    QVERIFY(w->findChild<QToolBar*>("mainToolBar")->actions().isEmpty());
    QVERIFY(w->findChild<QStatusBar*>("statusBar"));
    QCOMPARE(w->findChild<QMenuBar*>("menuBar")->geometry().width(), 460);
}

void WindowTest::everyTextShowsWhole()
{
    Bench b;
    MainWindow* w = b.open();
    QStringList faults;
    auto check = [&](QWidget* wd, const QString& text) {
        const QString why = clipped(wd, text);
        if (!why.isEmpty())
            faults << why;
    };
    for (QLabel* l : w->findChildren<QLabel*>())
        check(l, QTextDocumentFragment::fromHtml(l->text()).toPlainText());
    for (QPushButton* p : w->findChildren<QPushButton*>())
        check(p, p->text());
    // The longest texts each value can show later (the bus states in bold).
    const QStringList number = {"-2147483648", "4294967295", "n.a."};
    const QStringList version = {"255.255.255.255", "n.a."};
    const std::pair<const char*, QStringList> later[] = {
        {"label_HWID", number}, {"label_FWID", number}, {"label_HWIDcompatibility", number},
        {"label_HWver", version}, {"label_BOOTinterface", version}, {"label_BOOTver", version},
        {"label_FWver", version}, {"label_BitrateValue", {"1000 [kbit/s]"}},
        {"label_BusStatusValue", {"BUS HEAVY", "not connected"}}, {"label_ProgressBar_value", {"100%"}},
        {"label_ActionBar", {"Waiting for communication...", "Programming session opened"}},
    };
    for (const auto& [name, texts] : later) {
        for (const QString& t : texts) {
            b.find<QLabel>(name)->setText(t);
            check(b.find<QLabel>(name), t);
        }
    }
    check(b.find<QPushButton>("pushButton_Capture"), "Stop Capture");
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join("\n")));
    QVERIFY(b.find<QLabel>("label_BusStatusValue")->font().bold());

    // The bottom row lies inside the central area, clear of the bars, which
    // still exist.
    auto* tools = w->findChild<QToolBar*>("mainToolBar");
    auto* status = w->findChild<QStatusBar*>("statusBar");
    QVERIFY(tools && status);
    const QRect central = w->centralWidget()->geometry() & w->rect();
    for (const char* name : {"pushButton_Update", "progressBar", "label_ActionBar", "label_ProgressBar_value"}) {
        QWidget* wd = b.find<QWidget>(name);
        const QRect r(wd->mapTo(w, QPoint(0, 0)), wd->size());
        QVERIFY2(central.contains(r), qPrintable(QString("%1 at y %2..%3, central area y %4..%5").arg(name)
                     .arg(r.top()).arg(r.bottom() + 1).arg(central.top()).arg(central.bottom() + 1)));
        for (QWidget* bar : {static_cast<QWidget*>(tools), static_cast<QWidget*>(status)})
            QVERIFY2(!bar->isVisible() || !bar->geometry().intersects(r), name);
    }
}

void WindowTest::confDatCases_data()
{
    QTest::addColumn<QByteArray>("conf");
    QTest::addColumn<QString>("bitrate");
    QTest::addColumn<QString>("address");
    QTest::addColumn<uint>("sendId");
    QTest::newRow("300 is replaced for the run") << QByteArray("300\n22\n") << "250 [kbit/s]" << "22 [HEX]" << 0x18DA22F9u;
    QTest::newRow("500 and 7f") << QByteArray("500\n7f\n") << "500 [kbit/s]" << "7F [HEX]" << 0x18DA7FF9u;
    QTest::newRow("low byte of 122") << QByteArray("125\n122\n") << "125 [kbit/s]" << "22 [HEX]" << 0x18DA22F9u;
    QTest::newRow("0x prefix, no line end") << QByteArray("1000\n0x05") << "1000 [kbit/s]" << "5 [HEX]" << 0x18DA05F9u;
    QTest::newRow("garbage lines give the defaults") << QByteArray("fast\nzz\n") << "250 [kbit/s]" << "22 [HEX]" << 0x18DA22F9u;
    QTest::newRow("missing address line") << QByteArray("150\n") << "150 [kbit/s]" << "22 [HEX]" << 0x18DA22F9u;
    QTest::newRow("empty file") << QByteArray("") << "250 [kbit/s]" << "22 [HEX]" << 0x18DA22F9u;
    // Every node hears FF; F9 is the tool's own address.
    QTest::newRow("address FF refused") << QByteArray("250\nFF\n") << "250 [kbit/s]" << "22 [HEX]" << 0x18DA22F9u;
    QTest::newRow("address F9 refused") << QByteArray("500\n1f9\n") << "500 [kbit/s]" << "22 [HEX]" << 0x18DA22F9u;
    for (int r : {50, 100, 200})
        QTest::newRow(qPrintable(QString("accepted %1").arg(r))) << QByteArray::number(r) + "\n22\n"
                                                                  << QString("%1 [kbit/s]").arg(r) << "22 [HEX]" << 0x18DA22F9u;
    for (int r : {0, 251, 2000, 10})
        QTest::newRow(qPrintable(QString("refused %1").arg(r))) << QByteArray::number(r) + "\n22\n"
                                                                 << "250 [kbit/s]" << "22 [HEX]" << 0x18DA22F9u;
}

void WindowTest::confDatCases()
{
    QFETCH(QByteArray, conf);
    QFETCH(QString, bitrate);
    QFETCH(QString, address);
    QFETCH(uint, sendId);
    Bench b;
    writeFile(b.path("conf.dat"), conf);
    MainWindow* w = b.open();
    QCOMPARE(b.text("label_BitrateValue"), bitrate);
    QCOMPARE(b.text("label_AddressValue"), address);
    QCOMPARE(MainWindowProbe::sendId(w), sendId);
    QCOMPARE(MainWindowProbe::recId(w), 0x18DAF900u | (sendId >> 8 & 0xFF));
    QCOMPARE(readFile(b.path("conf.dat")), conf);  // never rewritten
}

void WindowTest::missingConfDatIsCreated()
{
    Bench b;
    MainWindow* w = b.open();
    QCOMPARE(readFile(b.path("conf.dat")), QByteArray("250\n22\n"));
    QCOMPARE(MainWindowProbe::sendId(w), 0x18DA22F9u);
    QCOMPARE(MainWindowProbe::recId(w), 0x18DAF922u);
}

void WindowTest::unwritableWorkingFolderIsSaid()
{
    // The working folder is removed under the process: nothing can be written
    // there (whoever runs the test, root included).
    Bench b;
    QVERIFY(QDir::setCurrent(b.dir.path()));
    QVERIFY(b.dir.remove());
    b.open();
    QCOMPARE(b.text("label_ActionBar"), QString("Working folder not writable"));
}

void WindowTest::confBlockInterval()
{
    const std::pair<QByteArray, int> cases[] = {
        {"250\n22\n", 100}, {"250\n22\n0\n", 0},      {"250\n22\n100\n", 100}, {"250\n22\n101\n", 100},
        {"250\n22\nfast\n", 100}, {"250\n22\n25\r\n", 25}, {"250\n22\n-1\n", 100}, {"250\n22\n5 ms\n", 100},
    };
    for (const auto& [conf, interval] : cases)
        QCOMPARE(parseConf(conf).blockIntervalMs, interval);
}

void WindowTest::hystDatInAFolderTheUserCannotWrite()
{
    // hyst.dat writable, its folder not: no new file can be made beside it.
    QTemporaryDir dir;
    const QString hyst = dir.filePath("hyst.dat");
    writeFile(hyst, "/old/path/fw.hx1");
    const auto all = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                     QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    const auto readOnlyDir = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                             QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QVERIFY(QFile::setPermissions(hyst, all));
    QVERIFY(QFile::setPermissions(dir.path(), readOnlyDir));
    // As a user without rights on the folder (root is not stopped by them).
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            _exit(3);
        if (::chdir(QFile::encodeName(dir.path()).constData()) != 0)
            _exit(4);
        _exit(writeHystFile("/new/path/fw.hx1") ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    QFile::setPermissions(dir.path(), readOnlyDir | QFileDevice::WriteOwner);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(readFile(hyst), QByteArray("/new/path/fw.hx1"));
}

void WindowTest::hystDatCases()
{
    const QByteArray plain = "/work/fw/update v2.hx1";
    const QByteArray accented = QFile::encodeName(QString::fromUtf8("/tmp/m\xc3\xa9tier/\xc3\xa9" "cu.hx1"));
    const QByteArray latin1 = "C:\\\xe9" "cu.hx1";
    const QString manyScripts = QString::fromUtf8("C:/Users/\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd/\xe6\x9b\xb4\xe6\x96\xb0/\xce\xb1.hx1");
    struct Case {
        QByteArray content;
        QString shown;
        QByteArray stored;
    };
    const Case cases[] = {
        {plain, QString::fromLatin1(plain), plain},
        {"", "", ""},
        {QByteArray(499, 'a'), QString(499, 'a'), QByteArray(499, 'a')},
        {QByteArray(500, 'a'), "", ""},  // never a cut path
        {QByteArray(800, 'a'), "", ""},
        {accented, QString::fromUtf8("/tmp/m\xc3\xa9tier/\xc3\xa9" "cu.hx1"), accented},
        // Several scripts, as UTF-8; and an older file in an 8-bit code page
        // (Latin-1 e acute), which is no UTF-8 and reads in that code page.
        {manyScripts.toUtf8(), manyScripts, manyScripts.toUtf8()},
        {latin1, QFile::decodeName(latin1), latin1},
    };
    for (const Case& c : cases) {
        Bench b;
        writeFile(b.path("hyst.dat"), c.content);
        MainWindow* w = b.open();
        QCOMPARE(b.find<QLineEdit>("lineEdit_FileName")->text(), c.shown);
        QCOMPARE(MainWindowProbe::browsePath(w), c.stored);
    }
}

void WindowTest::progressLabel()
{
    Bench b;
    b.open();
    auto* bar = b.find<QProgressBar>("progressBar");
    for (int v : {37, 100, 0}) {
        bar->setValue(v);
        QCOMPARE(b.text("label_ProgressBar_value"), QString("%1%").arg(v));
    }
}

void WindowTest::connectRetryAndBusStatus()
{
    Bench b;
    QVERIFY(b.startHub());
    const int port = b.hub.port;
    b.hub.p.stop();
    MainWindow* w = b.open();
    QCOMPARE(b.text("label_BusStatusValue"), QString("not connected"));
    QVERIFY(!b.find<QPushButton>("pushButton_Capture")->isEnabled());
    QVERIFY(!MainWindowProbe::timer(w, "AddressClaim"));
    // The hub comes up: Connect makes the window as after a successful start.
    QVERIFY(b.hub.start());  // again, on the same port
    QCOMPARE(b.hub.port, port);
    testbench::RawClient observer;
    QVERIFY(observer.connect(port));
    QAction* connectAction = w->findChild<QAction*>("actionConnect");
    connectAction->trigger();
    QVERIFY(connectAction->isChecked());
    QVERIFY(!connectAction->isEnabled());
    QVERIFY(b.find<QPushButton>("pushButton_Capture")->isEnabled());
    QVERIFY(MainWindowProbe::timer(w, "AddressClaim")->isActive());
    QVERIFY(waitFor([&] { return b.text("label_BusStatusValue") == "<font color='green'>OK</font>"; }));
    // The address claim goes out every 100 ms, with no ECU on the bus.
    int claims = 0;
    QVERIFY(waitFor([&] {
        while (auto f = observer.nextFrame(1)) {
            if (f->id == 0x18EEFFF9 && f->extended && f->dlc == 8 && f->data[0] == 0xFF && f->data[2] == 0xDF &&
                f->data[3] == 0x0B && f->data[5] == 0x81)
                ++claims;
        }
        return claims >= 5;
    }));
    // The bus is lost: red; it comes back: green again without the user.
    b.hub.p.stop();
    QVERIFY(waitFor([&] { return b.text("label_BusStatusValue") == "<font color='red'>BUS OFF</font>"; }));
    QVERIFY(b.hub.start());
    QVERIFY(waitFor([&] { return b.text("label_BusStatusValue") == "<font color='green'>OK</font>"; }));
}

void WindowTest::browseLoadsAndDecides()
{
    Bench b;
    MainWindow* w = b.open();
    BoxAnswerer answers;
    writeFile(b.path("match.hx1"), updateFile(12345));
    writeFile(b.path("other.hx1"), updateFile(999));
    MainWindowProbe::setHwId(w, 12345);
    b.find<QGroupBox>("group_UpdateFile")->setEnabled(true);  // as after a readout
    auto* update = b.find<QPushButton>("pushButton_Update");
    auto* browse = b.find<QPushButton>("pushButton_BrowseFile");
    auto* check = b.find<QLabel>("label_check_HWID_compatibility");

    answers.chooseFile(b.path("other.hx1"));
    browse->click();
    QCOMPARE(b.text("label_HWIDcompatibility"), QString("999"));
    QVERIFY(!update->isEnabled());
    QVERIFY(!check->pixmap().isNull());
    QCOMPARE(check->pixmap().size(), QSize(25, 25));  // the red cross
    QCOMPARE(b.text("label_ActionBar"), QString("File successfully loaded"));
    QCOMPARE(readFile(b.path("hyst.dat")), QFile::encodeName(b.path("other.hx1")));

    answers.chooseFile(b.path("match.hx1"));
    browse->click();
    QVERIFY(update->isEnabled());
    QVERIFY(MainWindowProbe::updateAllowed(w));
    QCOMPARE(check->pixmap().size(), QSize(25, 24));  // the tick
    QCOMPARE(MainWindowProbe::sectors(w), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 0}, {0x8000, 16}}));

    // Cancel changes nothing.
    answers.chooseFile(QString());
    browse->click();
    QVERIFY(update->isEnabled());
    QCOMPARE(b.find<QLineEdit>("lineEdit_FileName")->text(), b.path("match.hx1"));
    QCOMPARE(MainWindowProbe::totalLength(w), 16u);

    // A path longer than 499 bytes is loaded but never stored cut.
    QString longDir = b.path(QString(240, 'd'));
    QVERIFY(QDir().mkpath(longDir + "/" + QString(240, 'e')));
    QString longPath = longDir + "/" + QString(240, 'e') + "/long.hx1";
    writeFile(longPath, updateFile(12345));
    answers.chooseFile(longPath);
    browse->click();
    QCOMPARE(b.text("label_ActionBar"), QString("File successfully loaded"));
    QCOMPARE(readFile(b.path("hyst.dat")), QFile::encodeName(b.path("match.hx1")));
    QCOMPARE(MainWindowProbe::browsePath(w), QFile::encodeName(b.path("match.hx1")));
}

void WindowTest::loaderMessages_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    QTest::newRow("short first line") << QByteArray("0x1\n") << "Formato file non corretto";
    QTest::newRow("no 0x") << QByteArray("1234567\n") << "Uncorrect file format";
    QTest::newRow("no hardware line") << QByteArray("0x1234\nDOWNLOAD =\n") << "Uncorrect file format";
    QTest::newRow("bad record checksum") << updateFile(1).replace("01020304", "01020305") << "Corrupted file";
}

void WindowTest::loaderMessages()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    Bench b;
    MainWindow* w = b.open();
    BoxAnswerer answers;
    answers.answer(message, QMessageBox::Ok);
    writeFile(b.path("f.hx1"), content);
    MainWindowProbe::loadFile(w, b.path("f.hx1"));
    QCOMPARE(answers.seen, QStringList{message});
    QCOMPARE(b.text("label_ActionBar"), QString());
    QCOMPARE(b.text("label_HWIDcompatibility"), QString("- - -"));
    QVERIFY(!b.find<QPushButton>("pushButton_Update")->isEnabled());
    // A file that cannot be opened.
    answers.answer("Cannot open selected file", QMessageBox::Ok);
    MainWindowProbe::loadFile(w, b.path("missing.hx1"));
    QCOMPARE(answers.seen.last(), QString("Cannot open selected file"));
}

// A FIFO named as the update file would block the window in its open.
void WindowTest::nonRegularFileIsNotOpened()
{
    Bench b;
    MainWindow* w = b.open();
    BoxAnswerer answers;
    answers.answer("Cannot open selected file", QMessageBox::Ok);
    QCOMPARE(::mkfifo(QFile::encodeName(b.path("fifo.hx1")).constData(), 0600), 0);
    MainWindowProbe::loadFile(w, b.path("fifo.hx1"));
    QCOMPARE(answers.seen, QStringList{"Cannot open selected file"});
    QVERIFY(MainWindowProbe::sectors(w).empty());
}

void WindowTest::runLogsKeepTheNewest()
{
    // 201 logs: the oldest goes, except the one in progress; then a size
    // bound of three logs keeps the one in progress and the newest two.
    QTemporaryDir dir;
    const QDateTime t0(QDate(2026, 12, 9), QTime(14, 3, 11));
    QStringList names;
    for (int i = 0; i < 201; ++i) {
        names << QFileInfo(runlogs::logName(t0.addSecs(i), i % 2 ? "0012345" : "")).fileName();
        writeFile(dir.filePath(names.last()), QByteArray(100, 'x'));
    }
    writeFile(dir.filePath("notes.txt"), "kept");
    QCOMPARE(names[0], QString("2026-12-09T14-03-11_capture.trc"));
    QCOMPARE(names[1], QString("2026-12-09T14-03-12_0012345.trc"));
    runlogs::prune(dir.path(), names[0]);
    QVERIFY(QFile::exists(dir.filePath(names[0])));
    QVERIFY(!QFile::exists(dir.filePath(names[1])));
    QCOMPARE(QDir(dir.path()).entryList({"*.trc"}, QDir::Files).size(), 200);
    runlogs::prune(dir.path(), names[0], 200, 300);
    QCOMPARE(QDir(dir.path()).entryList({"*.trc"}, QDir::Files),
             QStringList({names[0], names[199], names[200]}));
    QVERIFY(QFile::exists(dir.filePath("notes.txt")));
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"

