#include "ui/loglist.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>

int accentOverflow(const QFontMetrics& fm) {
    return qMax(0, -fm.tightBoundingRect(QStringLiteral("ÁÉÍÓÚÑ")).top() - fm.ascent());
}

namespace {

// A row is one line of plain text, drawn as such: the general delegate's
// layout, elision and decoration passes made repaints most of an append's cost.
class LogRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* p, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QPalette::ColorGroup group =
            !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
            : (option.state & QStyle::State_Active) ? QPalette::Active
                                                    : QPalette::Inactive;
        const bool selected = option.state & QStyle::State_Selected;
        if (selected) p->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
        p->setPen(
            option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        p->setFont(option.font);
        // The same inset from the edge as the host's list rows.
        const QStyle* style = option.widget ? option.widget->style() : nullptr;
        const int margin =
            style ? style->pixelMetric(QStyle::PM_FocusFrameHMargin, &option, option.widget) + 1
                  : 3;
        // One line from a baseline: no layout pass, the text centred in the row.
        const QFontMetrics& fm = option.fontMetrics;
        const int baseline =
            option.rect.top() + (option.rect.height() - fm.height()) / 2 + fm.ascent();
        p->save();
        p->setClipRect(option.rect, Qt::IntersectClip);
        p->drawText(QPoint(option.rect.left() + margin, baseline),
                    index.data(Qt::DisplayRole).toString());
        p->restore();
    }
};

} // namespace

LogList::LogList(QWidget* parent) : QTableWidget(0, 1, parent) {
    setItemDelegate(new LogRowDelegate(this));
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
    // The scroll bar moves on every append. It paints all of itself, so what
    // lies beneath it need not be painted again each time.
    verticalScrollBar()->setAttribute(Qt::WA_OpaquePaintEvent);
    horizontalScrollBar()->setAttribute(Qt::WA_OpaquePaintEvent);
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
    const int row = rowCount();
    if (m_firstAppended < 0) m_firstAppended = row;
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
    const int first = m_firstAppended;
    m_firstAppended = -1;
#ifdef Q_OS_WIN
    // A scroll's blit does not always reach the screen there (seen under
    // Wine): the whole view is painted on every append.
    const bool wholeView = true;
#else
    const bool wholeView = first < 0;
#endif
    if (wholeView) {
        QTableWidget::doItemsLayout();
        return;
    }
    // Rows added below the others move none of them: set the scroll range and
    // paint what the new rows cover in view, rather than every visible row on
    // each append. Rows below the view are painted by the scroll that brings
    // them in.
    updateGeometries();
    const int top = rowViewportPosition(first);
    if (top < viewport()->height())
        viewport()->update(QRect(0, top, viewport()->width(), viewport()->height() - top));
}
