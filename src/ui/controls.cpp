#include "ui/controls.h"

#include "ui/fonts.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyle>
#include <QValidator>

namespace controls {

namespace {

// Limits what the user types, not what the program sets: text longer than
// the limit can still be shortened.
class TypingLimit : public QValidator {
public:
    TypingLimit(int limit, QLineEdit* edit) : QValidator(edit), m_limit(limit), m_edit(edit) {}
    State validate(QString& input, int&) const override {
        // setText() clears the modified flag: the program's text passes whole.
        if (m_edit->isModified() && input.size() > m_limit && input.size() >= m_accepted)
            return Invalid;
        m_accepted = input.size();
        return Acceptable;
    }

private:
    int m_limit;
    QLineEdit* m_edit;
    mutable qsizetype m_accepted = 0; // length of the text before this edit
};

// Its text starts one ascent below the top, and accents over capitals need
// rows above that: they are drawn in the label's own box, not in a margin,
// since a new text repaints only the contents.
class StatusLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect text = contentsRect().adjusted(0, accentOverflow(fontMetrics()), 0, 0);
        style()->drawItemText(&p, text,
                              QStyle::visualAlignment(layoutDirection(), alignment()) |
                                  Qt::TextWordWrap | Qt::TextDontClip,
                              palette(), isEnabled(), QLabel::text(), foregroundRole());
    }
};

// Lists drop down as a list with a scroll bar, not as a menu the height of
// the screen.
class DropDownStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_ComboBox_Popup) return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QLabel* setUpCaption(QLabel* l, const char* name, const QString& text, const QRect& g,
                     Qt::Alignment align) {
    place(l, name, g);
    l->setTextFormat(Qt::PlainText);
    l->setText(text);
    l->setAlignment(align | Qt::AlignTop);
    l->setAutoFillBackground(true);
    return l;
}

} // namespace

QRect twips(int left, int top, int width, int height) {
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QColor backColor(const QWidget* w) {
    return w->palette().color(w->backgroundRole());
}

void setBackColor(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(w->backgroundRole(), c);
    w->setPalette(p);
}

void place(QWidget* w, const char* name, const QRect& geometry) {
    w->setObjectName(QLatin1String(name));
    w->setGeometry(geometry);
}

QGroupBox* frame(QWidget* parent, const char* name, const QString& title, const QRect& g) {
    auto* f = new QGroupBox(title, parent);
    place(f, name, g);
    f->setAutoFillBackground(true);
    return f;
}

QLabel* caption(QWidget* parent, const char* name, const QString& text, const QRect& g,
                Qt::Alignment align) {
    return setUpCaption(new QLabel(parent), name, text, g, align);
}

QLabel* statusLine(QWidget* parent, const char* name, const QRect& g) {
    QLabel* l = setUpCaption(new StatusLabel(parent), name, QString(), g, Qt::AlignHCenter);
    l->setWordWrap(true);
    QPalette palette = l->palette();
    palette.setColor(QPalette::WindowText, QColor(192, 0, 0));
    l->setPalette(palette);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const QString& text, const QRect& g) {
    auto* b = new QPushButton(text, parent);
    place(b, name, g);
    b->setAutoDefault(false);
    return b;
}

QLineEdit* rangeBox(QWidget* parent, const char* name, const QString& text, const QRect& g) {
    auto* e = new QLineEdit(parent);
    place(e, name, g);
    e->setText(text);
    e->setValidator(new TypingLimit(3, e));
    // Disabled, the box greys its text only.
    setBackColor(e, QApplication::palette(e).color(QPalette::Active, QPalette::Base));
    return e;
}

void fillDropDown(QComboBox* box, const char* name, const QRect& g, const QStringList& entries) {
    place(box, name, g);
    box->addItems(entries);
    box->setCurrentIndex(-1);
    auto* style = new DropDownStyle;
    style->setParent(box);
    box->setStyle(style);
    box->setMaxVisibleItems(8);
}

} // namespace controls
