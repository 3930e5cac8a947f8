#pragma once

#include <QListWidget>

// The log list box: lines that only grow, all one height, scrolled by whole
// lines. Every change repaints the whole view, which is a dozen lines: a
// scroll's blit or a partial repaint has left rows drawn over each other on
// real display servers.
class LogList : public QListWidget {
    Q_OBJECT
public:
    explicit LogList(QWidget* parent = nullptr);

    void addItem(const QString& text);
    // Appends a line, selects it and scrolls it into view: how every line
    // reaches the log. A packed exchange trace, if any, becomes the line's
    // tooltip and accessible description.
    void addLine(const QString& text, const QByteArray& trace = QByteArray());
    void clear();

    // Width of the widest line so far, which every row takes.
    int widest() const { return m_widest; }
    int rowHeight() const { return m_rowHeight; }

protected:
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void append(const QString& text, const QByteArray& trace);
    void fitRows();

    int m_widest = 0;
    int m_rowHeight = 0;
};
