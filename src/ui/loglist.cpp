#include "ui/loglist.h"

#include "link/exchangetrace.h"
#include "ui/fonts.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QStyledItemDelegate>

namespace {

// A line that carries its exchange's trace, kept packed and read out only
// when asked for.
class TracedItem : public QListWidgetItem {
public:
    TracedItem(const QString& text, const QByteArray& trace)
        : QListWidgetItem(text), m_trace(trace) {}
    QVariant data(int role) const override {
        if (m_trace.isEmpty()) return QListWidgetItem::data(role);
        if (role == Qt::ToolTipRole || role == Qt::AccessibleDescriptionRole)
            return ExchangeTrace::unpack(m_trace).describe();
        return QListWidgetItem::data(role);
    }

private:
    QByteArray m_trace;
};

// A row is one line of plain text, drawn as such from its baseline: no
// layout, elision or decoration pass.
class LogRowDelegate : public QStyledItemDelegate {
public:
    explicit LogRowDelegate(LogList* list) : QStyledItemDelegate(list), m_list(list) {}

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return QSize(m_list->widest(), m_list->rowHeight());
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        // The selected line is highlighted whether or not the list has the
        // focus, as in a list box; some styles leave it plain when inactive.
        const QPalette::ColorGroup group =
            (option.state & QStyle::State_Enabled) ? QPalette::Active : QPalette::Disabled;
        const bool selected = option.state & QStyle::State_Selected;
        if (selected) p->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
        p->setPen(
            option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        p->setFont(option.font);
        const QStyle* style = option.widget ? option.widget->style() : nullptr;
        // The same inset from the edge as the host's list rows.
        const int inset =
            style ? style->pixelMetric(QStyle::PM_FocusFrameHMargin, &option, option.widget) + 1
                  : 3;
        const QFontMetrics& fm = option.fontMetrics;
        const int baseline =
            option.rect.top() + (option.rect.height() - fm.height()) / 2 + fm.ascent();
        p->save();
        p->setClipRect(option.rect, Qt::IntersectClip);
        p->drawText(QPoint(option.rect.left() + inset, baseline),
                    index.data(Qt::DisplayRole).toString());
        p->restore();
        if (style && (option.state & QStyle::State_HasFocus) &&
            (option.state & QStyle::State_Enabled)) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(option);
            focus.backgroundColor =
                option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
            style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, p, option.widget);
        }
    }

private:
    LogList* m_list;
};

} // namespace

LogList::LogList(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new LogRowDelegate(this));
    // One height for all rows: placing row n costs the same at any length,
    // and the list never asks each line for its size.
    setUniformItemSizes(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setTextElideMode(Qt::ElideNone);
    fitRows();
}

void LogList::fitRows() {
    const QFontMetrics fm(font());
    // Room for the accents above, with a clear pixel row between an accent
    // and the row's edge (a selected row's highlight would merge them), and
    // the same below, so the text stays centred.
    m_rowHeight = fm.height() + 2 * (accentOverflow(fm) + 1);
    m_widest = 0;
    for (int i = 0; i < count(); ++i)
        m_widest = qMax(m_widest, fm.horizontalAdvance(item(i)->text()) + 8);
    scheduleDelayedItemsLayout();
}

void LogList::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) fitRows();
    QListWidget::changeEvent(event);
}

void LogList::addItem(const QString& text) {
    append(text, QByteArray());
}

void LogList::append(const QString& text, const QByteArray& trace) {
    // A line wider than the box scrolls sideways, as in a list box, rather
    // than losing its end.
    m_widest = qMax(m_widest, fontMetrics().horizontalAdvance(text) + 8);
    QListWidget::addItem(new TracedItem(text, trace));
}

void LogList::addLine(const QString& text, const QByteArray& trace) {
    append(text, trace);
    const int index = count() - 1;
    setCurrentRow(index);
    scrollToItem(item(index));
}

void LogList::clear() {
    QListWidget::clear();
    m_widest = 0;
}

void LogList::scrollContentsBy(int, int) {
    // Painted anew rather than moved: the list's offsets follow the scroll
    // bars, so nothing else needs to change.
    viewport()->update();
}
