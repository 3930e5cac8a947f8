#include "ui/loglist.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>

int accentOverflow(const QFontMetrics& fm) {
    return qMax(0, -fm.tightBoundingRect(QStringLiteral("ÁÉÍÓÚÑ")).top() - fm.ascent());
}

LogList::LogList(QWidget* parent) : QTableWidget(0, 1, parent) {
    horizontalHeader()->hide();
    verticalHeader()->hide();
    setShowGrid(false);
    setWordWrap(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setStretchLastSection(true);
    fitRows();
}

void LogList::fitRows() {
    const QFontMetrics fm(font());
    // Room for the accents above and the same below, so the text stays centred.
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(fm.height() + 2 * accentOverflow(fm));
}

void LogList::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) fitRows();
    QTableWidget::changeEvent(event);
}

void LogList::addItem(const QString& text) {
    m_appended = true;
    const int row = rowCount();
    insertRow(row);
    setItem(row, 0, new QTableWidgetItem(text));
    // A line wider than the box scrolls sideways, as in a list box, rather
    // than losing its end.
    const int width = fontMetrics().horizontalAdvance(text) + 8;
    if (width > m_widest) {
        m_widest = width;
        horizontalHeader()->setMinimumSectionSize(width);
    }
}

void LogList::setCurrentRow(int row) {
    setCurrentCell(row, 0);
}

void LogList::doItemsLayout() {
    if (!m_appended) {
        QTableWidget::doItemsLayout();
        return;
    }
    // A row added below the others moves none of them: set the scroll range,
    // and leave the repaint to the scroll that brings the new row in, rather
    // than drawing every visible row again on each append.
    m_appended = false;
    updateGeometries();
}
