// The log list: empty at start, every line added at the end, selected and
// in view, and what the display shows of it as it grows (run again at
// several scale factors, tests/CMakeLists.txt).
#include "windowfixture.h"

#include "link/exchangetrace.h"

#include <QApplication>
#include <QImage>
#include <QScreen>

class TestWindowLog : public QObject, private WindowFixture {
    Q_OBJECT

private slots:
    void init() { WindowFixture::init(); }
    void cleanup() { WindowFixture::cleanup(); }

    void logStartsEmpty() { QCOMPARE(form->lst->count(), 0); }

    // Each log line lands at the end, becomes the one selected line and is
    // scrolled into view; nothing is reordered.
    void logLines() {
        // What reaches the screen, not a fresh rendering: lines appended in
        // view are painted there, each of them.
        form->logLine(QStringLiteral("MENSAJE A LA DIRECCION <1>: "));
        form->logLine(QStringLiteral("---------> CORRECTO"));
        const auto rowOnScreen = [&](int line) {
            const QRect shownRow = form->lst->lineRect(line).translated(
                form->lst->viewport()->mapTo(form.get(), QPoint(0, 0)));
            const QImage row = form->screen()
                                   ->grabWindow(form->winId(), shownRow.x(), shownRow.y(),
                                                shownRow.width(), shownRow.height())
                                   .toImage()
                                   .convertToFormat(QImage::Format_RGB32);
            return inkRows(row, row.pixel(row.width() - 1, 0)) > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(rowOnScreen(0) && rowOnScreen(1), 1000);
        form->lst->clear();

        // Each exchange's trace stays with its own outcome line; a line
        // logged without one has no tooltip.
        QList<QByteArray> traces;
        for (int address : {3, 0, 0, 4}) {
            ExchangeTrace t;
            if (address) t.attempts.push_back({QByteArray(8, char(address)), {}});
            traces << t.pack();
            form->logLine(QStringLiteral("---------> NO RESPONDE"), traces.last());
        }
        for (int row = 0; row < traces.size(); ++row) {
            const QModelIndex index = form->lst->model()->index(row, 0);
            for (int role : {Qt::ToolTipRole, Qt::AccessibleDescriptionRole})
                QCOMPARE(index.data(role).toString(),
                         traces[row].isEmpty() ? QString()
                                               : ExchangeTrace::unpack(traces[row]).describe());
        }
        form->lst->clear();

        // Well past the hundred lines a batched layout handles at once.
        const int lines = 300;
        for (int i = 0; i < lines; ++i) {
            // Descending texts would move if the list sorted itself.
            const QString text = QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(lines - i);
            form->logLine(text);
            QCOMPARE(form->lst->count(), i + 1);
            QCOMPARE(form->lst->line(i), text);
            QCOMPARE(form->lst->currentRow(), i);
            QCOMPARE(form->lst->selectionModel()->selectedRows(),
                     QModelIndexList{form->lst->model()->index(i, 0)});
            QVERIFY2(form->lst->viewport()->rect().contains(form->lst->lineRect(i)),
                     qPrintable(QString::number(i)));
        }
        for (int i = 0; i < lines; ++i)
            QCOMPARE(form->lst->line(i),
                     QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(lines - i));
        QApplication::processEvents();
        const QRect last = form->lst->lineRect(lines - 1);
        QVERIFY(form->lst->viewport()->rect().contains(last));
        const QRect first = form->lst->lineRect(0);
        QVERIFY(!form->lst->viewport()->rect().intersects(first));

        // A row shows the whole of an accented capital, selected or not.
        const QString accented = QStringLiteral("DIRECCIÓN NUEVA:20");
        form->logLine(accented);
        form->logLine(QStringLiteral("DETECTADO DIRECCIÓN <12>."));
        QApplication::processEvents();
        for (int row : {lines, lines + 1}) {
            const QRect rect = form->lst->lineRect(row);
            const QPalette& colours = form->lst->palette();
            const bool selected = form->lst->selectionModel()->isRowSelected(row);
            const int unclipped = unclippedInkRows(
                form->lst->font(), rect.width(), Qt::AlignLeft | Qt::AlignTop, form->lst->line(row),
                colours.color(selected ? QPalette::HighlightedText : QPalette::Text),
                colours.color(selected ? QPalette::Highlight : QPalette::Base));
            const auto shownRows = [&] {
                const QImage shown = grabbed(form->lst->viewport(), rect);
                return inkRows(shown, shown.pixel(shown.width() - 1, shown.height() / 2));
            };
            QTRY_COMPARE(shownRows(), unclipped);
        }

        // A click lands on the row shown under it, also with lines that came
        // before the list had its turn to place them.
        for (int i = 0; i < 3; ++i) form->logLine(QStringLiteral("---------> NO RESPONDE"));
        const QPoint top(5, form->lst->rowHeight() / 2);
        QTest::mouseClick(form->lst->viewport(), Qt::LeftButton, {}, top);
        const int clicked = form->lst->indexAt(top).row();
        QCOMPARE(form->lst->currentRow(), clicked);
        QCOMPARE(form->lst->selectionModel()->selectedRows(),
                 QModelIndexList{form->lst->model()->index(clicked, 0)});
    }

    // What the display shows of the log, line after line as a search adds
    // them and at 20,000 lines, is what a full repaint draws there: every row
    // once, in its place, whole rows from the top, the newest wholly in view.
    void logOnScreen() {
        showAndActivate();
        LogList* lst = form->lst;
        QWidget* view = lst->viewport();
        const auto appendAndCheck = [&](const QString& text) {
            form->logLine(text);
            const QImage shown = settledOnScreen(view);
            view->repaint();
            if (settledOnScreen(view) != shown)
                QFAIL(qPrintable(QStringLiteral("line %1 drawn wrong").arg(lst->count())));
            QCOMPARE(lst->visualRect(lst->indexAt(QPoint(1, 1))).top(), 0);
            QVERIFY(view->rect().contains(lst->lineRect(lst->count() - 1)));
            QCOMPARE(lst->selectionModel()->selectedRows(),
                     {lst->model()->index(lst->count() - 1, 0)});
        };
        const auto searchLines = [&](int from, int to) {
            for (int address = from; address <= to && !QTest::currentTestFailed(); ++address) {
                appendAndCheck(QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(address));
                appendAndCheck(QStringLiteral("---------> NO RESPONDE"));
            }
        };
        searchLines(1, 30);
        appendAndCheck(QStringLiteral("DETECTADO DIRECCIÓN <30>."));
        // The accent over the capital keeps clear of the row's top edge. A
        // fractional scale may round a column of the frame into the grab.
        const QRect row = lst->lineRect(lst->count() - 1);
        const QImage shown = onScreen(view, row);
        const QRgb highlight = lst->palette().color(QPalette::Highlight).rgb();
        QVERIFY(inkRows(shown, highlight) > 0);
        QVERIFY2(inkRows(shown.copy(2, 0, shown.width() - 4, 1), highlight) == 0,
                 "the accent touches the top edge of its row");
        while (lst->count() < 20000) form->logLine(QStringLiteral("---------> NO RESPONDE"));
        searchLines(31, 33);
    }
};

QTEST_MAIN(TestWindowLog)
#include "tst_window_log.moc"
