#include "ui/loglist.h"

#include "link/exchangetrace.h"
#include "ui/fonts.h"

#include <QAbstractListModel>
#include <QAccessible>
#include <QEvent>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>
#include <string>
#include <vector>

// The lines, kept as their UTF-8 bytes back to back with where each ends:
// a line costs its text and one offset, however long the log grows. The
// trace of an exchange stays packed, apart, and is read out only when asked
// for.
class LogLines : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_ends.size());
    }

    Qt::ItemFlags flags(const QModelIndex&) const override {
        return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    }

    QVariant data(const QModelIndex& index, int role) const override {
        const int row = index.row();
        if (!index.isValid() || row >= rowCount()) return QVariant();
        if (role == Qt::DisplayRole) return text(row);
        if (role == Qt::ToolTipRole || role == Qt::AccessibleDescriptionRole) {
            const QByteArray packed = trace(row);
            if (!packed.isEmpty()) return ExchangeTrace::unpack(packed).describe();
        }
        return QVariant();
    }

    QString text(int row) const {
        const size_t begin = row == 0 ? 0 : m_ends[row - 1];
        return QString::fromUtf8(m_text.data() + begin,
                                 static_cast<qsizetype>(m_ends[row] - begin));
    }

    QByteArray trace(int row) const {
        const auto at = std::lower_bound(m_traced.begin(), m_traced.end(), size_t(row),
                                         [](const Traced& t, size_t r) { return t.row < r; });
        if (at == m_traced.end() || at->row != size_t(row)) return QByteArray();
        const size_t begin = at == m_traced.begin() ? 0 : (at - 1)->end;
        return QByteArray(m_traces.data() + begin, static_cast<qsizetype>(at->end - begin));
    }

    void append(const QString& line, const QByteArray& packedTrace) {
        const int row = rowCount();
        beginInsertRows(QModelIndex(), row, row);
        m_text += line.toStdString();
        m_ends.push_back(m_text.size());
        if (!packedTrace.isEmpty()) {
            m_traces.append(packedTrace.constData(), size_t(packedTrace.size()));
            m_traced.push_back({size_t(row), m_traces.size()});
        }
        endInsertRows();
    }

    void clear() {
        beginResetModel();
        for (auto* store : {&m_text, &m_traces}) std::string().swap(*store);
        std::vector<size_t>().swap(m_ends);
        std::vector<Traced>().swap(m_traced);
        endResetModel();
    }

private:
    struct Traced {
        size_t row;
        size_t end; // where its packed bytes end in m_traces
    };
    std::string m_text;
    std::vector<size_t> m_ends;
    std::string m_traces;
    std::vector<Traced> m_traced;
};

namespace {
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

// Tells assistive technology about a row; the list view's own way first
// lays out every row to learn its place.
void tellAccessible(QWidget* view, QAccessible::Event what, const QModelIndex& index) {
    if (!QAccessible::isActive() || !index.isValid()) return;
    QAccessibleEvent event(view, what);
    event.setChild(index.row());
    QAccessible::updateAccessibility(&event);
}

int textWidth(const QFontMetrics& fm, const QString& text) {
    return fm.horizontalAdvance(text) + 8;
}

} // namespace

LogList::LogList(QWidget* parent) : QListView(parent), m_lines(new LogLines(this)) {
    setModel(m_lines);
    setItemDelegate(new LogRowDelegate(this));
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
    m_measured = 0;
    scheduleDelayedItemsLayout();
}

void LogList::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) fitRows();
    QListView::changeEvent(event);
}

int LogList::count() const {
    return m_lines->rowCount();
}

QString LogList::line(int row) const {
    return row >= 0 && row < count() ? m_lines->text(row) : QString();
}

int LogList::currentRow() {
    settle();
    return currentIndex().row();
}

QRect LogList::lineRect(int row) {
    settle();
    return visualRect(m_lines->index(row));
}

void LogList::addLine(const QString& text, const QByteArray& trace) {
    m_lines->append(text, trace);
    // First in the event loop's next pass, before input or a query from
    // assistive technology is read.
    if (!m_unsettled) QMetaObject::invokeMethod(this, &LogList::settle, Qt::QueuedConnection);
    m_unsettled = true;
}

void LogList::settle() {
    if (!m_unsettled) return;
    m_unsettled = false;
    executeDelayedItemsLayout();
    updateGeometries();
    // The new rows are painted, not only the one the selection moves to.
    viewport()->update();
    const QModelIndex last = m_lines->index(count() - 1);
    if (!last.isValid()) return;
    setCurrentIndex(last);
    scrollTo(last);
}

void LogList::clear() {
    m_lines->clear();
    m_unsettled = false;
    m_widest = 0;
    m_measured = 0;
}

int LogList::rowsInView() const {
    return m_rowHeight > 0 ? qMax(1, viewport()->height() / m_rowHeight) : 1;
}

int LogList::horizontalOffset() const {
    return horizontalScrollBar()->value();
}

// The vertical scroll bar counts whole rows: the top row is always whole.
int LogList::verticalOffset() const {
    return verticalScrollBar()->value() * m_rowHeight;
}

bool LogList::isIndexHidden(const QModelIndex&) const {
    return false;
}

QRect LogList::visualRect(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != m_lines || index.parent().isValid()) return QRect();
    return QRect(-horizontalOffset(), index.row() * m_rowHeight - verticalOffset(),
                 qMax(m_widest, viewport()->width()), m_rowHeight);
}

QModelIndex LogList::indexAt(const QPoint& point) const {
    if (point.y() < 0 || m_rowHeight <= 0) return QModelIndex();
    const int row = (point.y() + verticalOffset()) / m_rowHeight;
    const QModelIndex index = m_lines->index(row);
    return visualRect(index).contains(point) ? index : QModelIndex();
}

void LogList::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (!index.isValid() || index.model() != m_lines) return;
    settle();
    const int row = index.row();
    const int page = rowsInView();
    QScrollBar* v = verticalScrollBar();
    int top = v->value();
    switch (hint) {
    case EnsureVisible:
        if (row < top)
            top = row;
        else if (row >= top + page)
            top = row - page + 1;
        break;
    case PositionAtTop:
        top = row;
        break;
    case PositionAtBottom:
        top = row - page + 1;
        break;
    case PositionAtCenter:
        top = row - page / 2;
        break;
    }
    v->setValue(top);
    // A row starts where its line starts, at the left edge.
    horizontalScrollBar()->setValue(0);
}

QModelIndex LogList::moveCursor(CursorAction action, Qt::KeyboardModifiers) {
    settle();
    const int rows = count();
    if (rows == 0) return QModelIndex();
    const int row = currentIndex().row(); // -1 when none
    int to = row;
    switch (action) {
    case MoveUp:
    case MovePrevious:
        to = row - 1;
        break;
    case MoveDown:
    case MoveNext:
        to = row + 1;
        break;
    case MovePageUp:
        to = row - rowsInView();
        break;
    case MovePageDown:
        to = row + rowsInView();
        break;
    case MoveHome:
        to = 0;
        break;
    case MoveEnd:
        to = rows - 1;
        break;
    case MoveLeft:
    case MoveRight:
        break;
    }
    return m_lines->index(qBound(0, to, rows - 1));
}

void LogList::mousePressEvent(QMouseEvent* event) {
    // The click is placed against the rows as they are shown once the lines
    // that came meanwhile are in.
    settle();
    QListView::mousePressEvent(event);
}

void LogList::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
    settle();
    const QRect r = rect.normalized();
    const int first = m_rowHeight > 0 ? qMax(0, (r.top() + verticalOffset()) / m_rowHeight) : 0;
    const int last =
        m_rowHeight > 0 ? qMin(count() - 1, (r.bottom() + verticalOffset()) / m_rowHeight) : -1;
    QItemSelection rows;
    if (first <= last && r.bottom() >= 0) rows.select(m_lines->index(first), m_lines->index(last));
    selectionModel()->select(rows, command);
}

void LogList::doItemsLayout() {
    // Nothing to place: row n lies at n row heights. The list view's own
    // layout would visit every row.
    QAbstractItemView::doItemsLayout();
}

void LogList::rowsInserted(const QModelIndex& parent, int start, int end) {
    // The scroll ranges follow in settle().
    QAbstractItemView::rowsInserted(parent, start, end);
}

void LogList::updateGeometries() {
    // A line wider than the box scrolls sideways, as in a list box, rather
    // than losing its end.
    const QFontMetrics fm(font());
    for (; m_measured < count(); ++m_measured)
        m_widest = qMax(m_widest, textWidth(fm, line(m_measured)));
    QScrollBar* v = verticalScrollBar();
    const int page = rowsInView();
    v->setRange(0, qMax(0, count() - page));
    v->setPageStep(page);
    v->setSingleStep(1);
    QScrollBar* h = horizontalScrollBar();
    const int width = viewport()->width();
    h->setRange(0, qMax(0, m_widest - width));
    h->setPageStep(width);
    h->setSingleStep(qMax(1, fontMetrics().averageCharWidth()));
    QAbstractItemView::updateGeometries();
}

void LogList::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    if (hasFocus()) tellAccessible(this, QAccessible::Focus, current);
    QAbstractItemView::currentChanged(current, previous);
}

void LogList::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    tellAccessible(this, QAccessible::SelectionAdd, selected.indexes().value(0));
    tellAccessible(this, QAccessible::SelectionRemove, deselected.indexes().value(0));
    QAbstractItemView::selectionChanged(selected, deselected);
}

void LogList::paintEvent(QPaintEvent* event) {
    if (m_rowHeight <= 0) return;
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QStyle::State state = option.state;
    const QModelIndex current = currentIndex();
    const bool focus = hasFocus() || viewport()->hasFocus();
    // Only the rows in the damaged area, found by arithmetic.
    const QRect area = event->rect();
    const int first = qMax(0, (area.top() + verticalOffset()) / m_rowHeight);
    const int last = qMin(count() - 1, (area.bottom() + verticalOffset()) / m_rowHeight);
    QPainter painter(viewport());
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = m_lines->index(row);
        option.rect = visualRect(index);
        option.state = state;
        if (selectionModel()->isSelected(index)) option.state |= QStyle::State_Selected;
        if (focus && index == current) option.state |= QStyle::State_HasFocus;
        itemDelegate()->paint(&painter, option, index);
    }
}

void LogList::scrollContentsBy(int, int) {
    // Painted anew rather than moved: the list's offsets follow the scroll
    // bars, so nothing else needs to change.
    viewport()->update();
}
