#include "window_legibility.h"

#include <QAction>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QHash>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QToolBar>
#include <cmath>

namespace {

// The longest texts a widget shows after start-up, by object name. The
// identification values are 32-bit numbers ("%07d" of a signed value) or four
// bytes as "%02d.%02d.%02d.%02d"; the tightest room is the interface
// version's 70 pixels.
const QHash<QString, QStringList>& laterTexts()
{
    static const QStringList number = {"-2147483648", "4294967295", "n.a.", "- - -"};
    static const QStringList version = {"255.255.255.255", "n.a.", "- - -"};
    static const QHash<QString, QStringList> texts = {
        {"label_HWID", number},
        {"label_FWID", number},
        {"label_HWver", version},
        {"label_BOOTinterface", version},
        {"label_BOOTver", version},
        {"label_FWver", version},
        {"label_HWIDcompatibility", {"-2147483648", "4294967295", "- - -"}},
        {"label_BitrateValue", {"1000 [kbit/s]"}},
        {"label_AddressValue", {"FF [HEX]"}},
        // Bold, as the label's own font is.
        {"label_BusStatusValue", {"not connected", "BUS HEAVY", "BUS LIGHT", "XMT FULL", "BUS OFF", "ERROR"}},
        {"label_ProgressBar_value", {"100%"}},
        {"label_ActionBar",
         {"Waiting for communication...", "Bootloader active", "Capture OK", "Opening file...",
          "Loading file...", "File successfully loaded", "Security access completed",
          "Programming session opened", "Erasing memory...", "Memory erased", "Downloading...",
          "Download completed", "Verifying checksum...", "Checksum OK", "Checksum error",
          "Cannot open selected file", "More than one ECU is answering", "Working folder not writable"}},
        {"pushButton_Capture", {"Stop Capture"}},
    };
    return texts;
}

// Families tried after the platform's own, widest first: DejaVu is Debian's
// default, Liberation the other common set; their condensed and narrow cuts
// keep a larger size where the room is tight.
const char* const kFamilies[] = {"DejaVu Sans", "Liberation Sans", "DejaVu Sans Condensed",
                                 "Liberation Sans Narrow"};
constexpr double kSmallestPoints = 6.0;

}  // namespace

bool textFits(const QWidget* w, const QString& text)
{
    const QFontMetricsF fm(w->font());
    QRect room;
    if (auto* b = qobject_cast<const QPushButton*>(w)) {
        QStyleOptionButton opt;
        opt.initFrom(b);
        opt.text = text;
        if (b->autoDefault())
            opt.features |= QStyleOptionButton::AutoDefaultButton;
        room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
    } else if (auto* l = qobject_cast<const QLabel*>(w)) {
        room = l->contentsRect().adjusted(l->margin(), l->margin(), -l->margin(), -l->margin());
        if (l->indent() > 0)
            room.setWidth(room.width() - l->indent());
    } else {
        return true;
    }
    return std::ceil(fm.horizontalAdvance(text)) <= room.width() && std::ceil(fm.height()) <= room.height();
}

bool allTextsFit(const QWidget* window)
{
    for (const QWidget* w : window->findChildren<QWidget*>()) {
        QString now;
        if (auto* l = qobject_cast<const QLabel*>(w))
            now = l->text();
        else if (auto* b = qobject_cast<const QPushButton*>(w))
            now = b->text();
        else
            continue;
        if (!now.isEmpty() && !Qt::mightBeRichText(now) && !textFits(w, now))
            return false;
        for (const QString& t : laterTexts().value(w->objectName()))
            if (!textFits(w, t))
                return false;
    }
    return true;
}

QFont chooseLegibleFont(QWidget* window)
{
    const QFont platform = window->font();
    if (allTextsFit(window))
        return platform;
    QStringList families = {QFontInfo(platform).family()};
    const QStringList installed = QFontDatabase::families();
    for (const char* f : kFamilies)
        if (installed.contains(QString::fromLatin1(f)) && !families.contains(QString::fromLatin1(f)))
            families << QString::fromLatin1(f);
    // Largest size first; at each size the wider families first. Qt rounds
    // to whole pixels, so neighbouring sizes may measure the same.
    QFont font = platform;
    for (double pt = QFontInfo(platform).pointSizeF(); pt >= kSmallestPoints; pt -= 0.5) {
        for (const QString& f : families) {
            font = QFont(f);
            font.setPointSizeF(pt);
            window->setFont(font);
            if (allTextsFit(window))
                return font;
        }
    }
    // Nothing fits (a very large screen resolution setting): keep the
    // smallest, narrowest candidate, which clips least.
    return font;
}

void makeRoomForForm(QMainWindow* window)
{
    QWidget* form = window->centralWidget();
    const int needed = form->childrenRect().bottom() + 1;
    if (QToolBar* tools = window->findChild<QToolBar*>("mainToolBar")) {
        if (tools->actions().isEmpty()) {
            tools->hide();
            tools->toggleViewAction()->setVisible(false);  // not offered in the context menu
        }
    }
    window->layout()->activate();
    if (form->height() < needed && window->statusBar()) {
        window->statusBar()->hide();
        window->layout()->activate();
    }
}
