#pragma once

#include <QListView>

class LogLines;

// The log list box: lines that only grow, all one height, scrolled by whole
// lines. Row n lies at n times the row height, so placing, selecting and
// scrolling to a line costs the same at any length: the view never lays out
// every row, and a paint draws only the rows in view. Every change repaints
// the whole view, which is a dozen lines: a scroll's blit or a partial
// repaint has left rows drawn over each other on real display servers.
class LogList : public QListView {
    Q_OBJECT
public:
    explicit LogList(QWidget* parent = nullptr);

    // Appends a line, selects it and scrolls it into view: how every line
    // reaches the log. A packed exchange trace, if any, becomes the line's
    // tooltip and accessible description. The line is in the model at once;
    // its selection, scroll and paint follow when the event loop next runs,
    // which during a search is the next reply wait, not the time between a
    // wait and the next frame. Reading the list's state below brings them
    // forward.
    void addLine(const QString& text, const QByteArray& trace = QByteArray());
    void clear();

    int count() const;
    QString line(int row) const;
    int currentRow();
    // Where the line shows in the viewport, as visualRect() of its index.
    QRect lineRect(int row);

    // Width of the widest line so far, which every row takes.
    int widest() const { return m_widest; }
    int rowHeight() const { return m_rowHeight; }

    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint& point) const override;
    void doItemsLayout() override;

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void selectionChanged(const QItemSelection& selected,
                          const QItemSelection& deselected) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex& index) const override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;

private:
    void fitRows();
    // Selects the newest line and scrolls it into view, if lines came since.
    void settle();
    // Rows wholly in view, at least one.
    int rowsInView() const;

    LogLines* m_lines;
    bool m_unsettled = false; // lines came since the last settle()
    int m_measured = 0;       // lines whose width m_widest counts
    int m_widest = 0;
    int m_rowHeight = 0;
};
