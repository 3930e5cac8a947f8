#pragma once

#include <QFontMetrics>
#include <QTableWidget>

// Pixel rows by which accents over capitals rise above the font's ascent,
// where Qt starts a line of text; a box without them cuts the accents.
int accentOverflow(const QFontMetrics& fm);

// The log list box: one column of lines that only grows. Built on a table
// because a table places row n at n times the row height, so appending and
// scrolling to the newest line cost the same at line 20,000 as at line 1; a
// list view lays every line out again on each append.
class LogList : public QTableWidget {
    Q_OBJECT
public:
    explicit LogList(QWidget* parent = nullptr);

    int count() const { return rowCount(); }
    QTableWidgetItem* item(int row) const { return QTableWidget::item(row, 0); }
    void addItem(const QString& text);
    // Removes every line, as a list box's clear does (the program never does).
    void clear() { setRowCount(0); }
    void setCurrentRow(int row);

    void doItemsLayout() override;

protected:
    void changeEvent(QEvent* event) override;

private:
    void fitRows();

    int m_widest = 0;
    int m_firstAppended = -1; // the first row added since the last layout
};
