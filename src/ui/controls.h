#pragma once

#include <QRect>
#include <QString>
#include <QStringList>

class QColor;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The window's kinds of control, each made named, placed and set up as the
// window needs it. Places are in twips (1/1440 inch); 15 twips are one pixel
// at 96 dpi.
namespace controls {

QRect twips(int left, int top, int width, int height);

// The colour a control fills its background with.
QColor backColor(const QWidget* w);
void setBackColor(QWidget* w, const QColor& c);

// Names the widget and puts it in its place.
void place(QWidget* w, const char* name, const QRect& geometry);

// A frame that paints its own background, so that panels can be coloured.
QGroupBox* frame(QWidget* parent, const char* name, const QString& title, const QRect& g);

// A label of plain text ("<COM1>" is no markup), aligned to the top.
QLabel* caption(QWidget* parent, const char* name, const QString& text, const QRect& g,
                Qt::Alignment align);

// The status line: dark red, centred, wrapped, accents whole.
QLabel* statusLine(QWidget* parent, const char* name, const QRect& g);

// A push button that Enter does not press unless it has the focus.
QPushButton* button(QWidget* parent, const char* name, const QString& text, const QRect& g);

// A box for one end of the range: three typed characters at most, the
// system's window colour in every state.
QLineEdit* rangeBox(QWidget* parent, const char* name, const QString& text, const QRect& g);

// Fills a drop-down list, none selected, that opens eight rows high.
void fillDropDown(QComboBox* box, const char* name, const QRect& g, const QStringList& entries);

} // namespace controls
