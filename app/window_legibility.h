// Keeps every text of the fixed-size window whole: the window's font is
// chosen at start-up so that each caption, value and button text fits the
// geometry the form gives it, and the empty tool bar gives its height to the
// form. The geometry, the texts and the window size are never changed.
#ifndef TAVELIN_WINDOW_LEGIBILITY_H
#define TAVELIN_WINDOW_LEGIBILITY_H

#include <QFont>
#include <QString>

class QMainWindow;
class QWidget;

// True when text, drawn in w's font, fits the room w has for it: its advance
// width within the label's contents (or the button's label area), and its
// line height within the contents height. w is a QLabel or a QPushButton.
bool textFits(const QWidget* w, const QString& text);

// True when every label and button of window fits its current text and the
// longest texts it can show later (identification values, bus states,
// status lines).
bool allTextsFit(const QWidget* window);

// Sets and returns window's font: the platform's font when everything fits
// in it, otherwise the largest candidate (families installed here, sizes
// from the platform's size down to 6 pt) with which everything fits.
QFont chooseLegibleFont(QWidget* window);

// Hides the empty tool bar (the object stays) so that the form's bottom row
// lies inside the central area; hides the never-written status bar too when
// the form still lacks room. Call after the window's font is set.
void makeRoomForForm(QMainWindow* window);

#endif
