// The window from the keyboard and to assistive technology: the order Tab
// visits the controls in, what Return, Enter and Space press, what the range
// boxes take when typed into, the automatic-range check box and its caption,
// and what each control is called.
#include "windowfixture.h"

#include <QAccessible>
#include <QApplication>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>
#include <utility>

namespace {

// Presses keys in a text box: '<' is Backspace, '*' selects everything,
// anything else is typed.
void typeInto(QLineEdit* box, const QString& keys) {
    for (QChar c : keys) {
        if (c == QLatin1Char('<'))
            QTest::keyClick(box, Qt::Key_Backspace);
        else if (c == QLatin1Char('*'))
            QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        else
            QTest::keyClicks(box, QString(c));
    }
}

} // namespace

class TestWindowKeyboard : public QObject, private WindowFixture {
    Q_OBJECT

    // Panel 2 as the user finds it with the range typed by hand.
    void openRangeForTyping() {
        form->frm_det->setEnabled(true);
        form->chk_aut->setChecked(false);
    }

private slots:
    void init() { WindowFixture::init(); }
    void cleanup() { WindowFixture::cleanup(); }

    // The buttons' own flags come back into force with their panels.
    void buttonsUsableOncePanelsEnabled() {
        form->frm_det->setEnabled(true);
        form->frm_dir->setEnabled(true);
        QVERIFY(form->cmb_buscar->isEnabled());
        QVERIFY(form->cmd_cambiar->isEnabled());
        QVERIFY(form->cmb_dir->isEnabled());
        // The automatic range keeps its boxes shut.
        QVERIFY(!form->txt_ini->isEnabled());
        QVERIFY(!form->txt_fin->isEnabled());
        QVERIFY(form->chk_aut->isEnabled());

        // Return and keypad Enter press the focused button, as Space does.
        showAndActivate();
        for (QPushButton* b : {form->cmd_conexion, form->cmb_buscar, form->cmd_cambiar}) {
            QObject::disconnect(b, &QPushButton::clicked, form.get(), nullptr);
            QSignalSpy clicks(b, &QPushButton::clicked);
            b->setFocus();
            QTest::keyClick(b, Qt::Key_Return);
            QTest::keyClick(b, Qt::Key_Enter, Qt::KeypadModifier);
            QTest::keyClick(b, Qt::Key_Space);
            QCOMPARE(clicks.size(), 3);
        }
    }

    // The controls that take the keyboard, in the order Tab visits them.
    void focusOrder() {
        const QStringList expected = {"cmb_com", "cmd_conexion", "cmb_buscar",
                                      "cmb_dir", "cmd_cambiar",  "lst",
                                      "txt_ini", "txt_fin",      "chk_aut"};
        QStringList chain;
        QWidget* w = form->cmb_com;
        do {
            if ((w->focusPolicy() & Qt::TabFocus) && !w->isWindow() && w->isVisible())
                chain << w->objectName();
            w = w->nextInFocusChain();
        } while (w != form->cmb_com && chain.size() <= expected.size());
        QCOMPARE(chain, expected);

        for (QWidget* none :
             {static_cast<QWidget*>(form->Frame1), static_cast<QWidget*>(form->frm_com),
              static_cast<QWidget*>(form->frm_det), static_cast<QWidget*>(form->frm_dir),
              static_cast<QWidget*>(form->label), static_cast<QWidget*>(form->lbl_ini),
              static_cast<QWidget*>(form->lbl_fin), static_cast<QWidget*>(form->lbl_rango)})
            QCOMPARE(none->focusPolicy(), Qt::NoFocus);
    }

    // Focus starts on the port list, and Tab skips the disabled panels.
    void tabAtStartUp() {
        showAndActivate();
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form->cmb_com));
        QStringList visited;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited, QStringList({"cmd_conexion", "lst", "cmb_com", "cmd_conexion"}));
    }

    // Tab and Shift+Tab visit every usable control once per cycle, the log
    // included, and leave each one; in the log the arrows and paging keys
    // move the selection and keep the focus.
    void tabCycle_data() {
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<bool>("byHand");
        QTest::addColumn<bool>("relayFound");
        QTest::addColumn<QStringList>("cycle");
        QTest::newRow("start-up") << false << false << false
                                  << QStringList{"cmb_com", "cmd_conexion", "lst"};
        QTest::newRow("port open, automatic range")
            << true << false << false
            << QStringList{"cmd_conexion", "cmb_buscar", "lst", "chk_aut"};
        QTest::newRow("port open, range by hand")
            << true << true << false
            << QStringList{"cmd_conexion", "cmb_buscar", "lst", "txt_ini", "txt_fin", "chk_aut"};
        QTest::newRow("relay found")
            << true << false << true << QStringList{"cmb_dir", "cmd_cambiar", "lst"};
        QTest::newRow("every panel enabled")
            << false << true << true
            << QStringList{"cmb_com", "cmd_conexion", "cmb_buscar", "cmb_dir", "cmd_cambiar",
                           "lst",     "txt_ini",      "txt_fin",    "chk_aut"};
    }
    void tabCycle() {
        QFETCH(bool, portOpen);
        QFETCH(bool, byHand);
        QFETCH(bool, relayFound);
        QFETCH(QStringList, cycle);
        showAndActivate();
        for (int i = 0; i < 40; ++i) form->logLine(QStringLiteral("---------> NO RESPONDE"));
        form->cmb_com->setEnabled(!portOpen);
        form->frm_com->setEnabled(!portOpen || !relayFound);
        form->frm_det->setEnabled(portOpen ? !relayFound : byHand);
        form->frm_dir->setEnabled(relayFound);
        form->chk_aut->setChecked(!byHand);
        form->findChild<QWidget*>(cycle.first())->setFocus();
        for (const auto key : {Qt::Key_Tab, Qt::Key_Backtab}) {
            QStringList visited;
            for (qsizetype i = 0; i < cycle.size(); ++i) {
                QWidget* at = QApplication::focusWidget();
                if (at == form->lst) {
                    // -1: a page up, -2: a page down from there.
                    for (const auto& [move, row] : {std::pair{Qt::Key_Home, 0},
                                                    {Qt::Key_Down, 1},
                                                    {Qt::Key_End, 39},
                                                    {Qt::Key_Up, 38},
                                                    {Qt::Key_PageUp, -1},
                                                    {Qt::Key_PageDown, -2}}) {
                        const int before = form->lst->currentRow();
                        QTest::keyClick(at, move);
                        QCOMPARE(QApplication::focusWidget(), at);
                        const int now = form->lst->currentRow();
                        QVERIFY2(row >= 0    ? now == row
                                 : row == -1 ? now < before - 1
                                             : now > before + 1,
                                 qPrintable(QStringLiteral("%1 to %2").arg(before).arg(now)));
                    }
                }
                QTest::keyClick(at, key);
                visited << QApplication::focusWidget()->objectName();
            }
            QStringList expected = cycle.mid(1) << cycle.first();
            if (key == Qt::Key_Backtab) {
                std::reverse(expected.begin(), expected.end());
                expected = expected.mid(1) << expected.first();
            }
            QCOMPARE(visited, expected);
        }
    }

    // What assistive technology is told of each control; the log is a list
    // whose items are its lines, the newest one selected.
    void accessibleNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("spoken");
        QTest::newRow("txt_ini") << "txt_ini" << int(QAccessible::EditableText) << "Inicio:";
        QTest::newRow("txt_fin") << "txt_fin" << int(QAccessible::EditableText) << "Fin:";
        QTest::newRow("chk_aut") << "chk_aut" << int(QAccessible::CheckBox) << "Rango Automático";
        QTest::newRow("cmd_conexion") << "cmd_conexion" << int(QAccessible::Button) << "Conectar";
        QTest::newRow("cmb_buscar") << "cmb_buscar" << int(QAccessible::Button) << "Buscar";
        QTest::newRow("cmd_cambiar") << "cmd_cambiar" << int(QAccessible::Button) << "Cambiar";
        QTest::newRow("lst") << "lst" << int(QAccessible::List) << "";
    }
    void accessibleNames() {
        QFETCH(QString, name);
        QFETCH(int, role);
        QFETCH(QString, spoken);
        const QStringList lines = {QStringLiteral("MENSAJE A LA DIRECCION <12>: "),
                                   QStringLiteral("---------> CORRECTO"),
                                   QStringLiteral("DETECTADO DIRECCIÓN <12>.")};
        for (const QString& line : lines) form->logLine(line);
        // Queries come through the event loop, after the log has selected its line.
        QApplication::processEvents();
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control(name));
        QVERIFY(a);
        QCOMPARE(int(a->role()), role);
        if (role != QAccessible::List) {
            QCOMPARE(a->text(QAccessible::Name), spoken);
            return;
        }
        QCOMPARE(a->childCount(), lines.size());
        for (int i = 0; i < lines.size(); ++i) {
            QAccessibleInterface* item = a->child(i);
            QVERIFY(item);
            QCOMPARE(int(item->role()), int(QAccessible::ListItem));
            QCOMPARE(item->text(QAccessible::Name), lines.at(i));
            QCOMPARE(bool(item->state().selected), i == lines.size() - 1);
        }
    }

    // The range boxes take at most three typed characters; the program's
    // own texts are not cut, and an over-long one can still be shortened.
    void typingLimit_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("result");
        for (const char* box : {"txt_ini", "txt_fin"}) {
            auto row = [box](const char* what, const char* preset, const char* keys,
                             const char* result) {
                QTest::addRow("%s: %s", box, what) << box << preset << keys << result;
            };
            row("fourth digit refused", "", "1234", "123");
            row("fourth letter refused", "", "abcd", "abc");
            row("full box takes no more", "127", "9", "127");
            row("typing over a selection", "127", "*5", "5");
            row("room after a deletion", "127", "<9", "129");
            row("program text not cut", "12345", "", "12345");
            row("long text shrinks", "12345", "<", "1234");
            row("long text does not grow", "12345", "6", "12345");
            row("still too long after a deletion", "12345", "<7", "1234");
        }
    }
    void typingLimit() {
        QFETCH(QString, box);
        QFETCH(QString, preset);
        QFETCH(QString, keys);
        QFETCH(QString, result);
        showAndActivate();
        openRangeForTyping();
        auto* edit = qobject_cast<QLineEdit*>(control(box));
        QVERIFY(edit && edit->isEnabled());
        edit->setText(preset);
        QCOMPARE(edit->text(), preset);
        edit->setFocus();
        edit->end(false);
        typeInto(edit, keys);
        QCOMPARE(edit->text(), result);
    }

    // Setting the value runs the click handler before the setter returns.
    void checkBoxValueRaisesClick() {
        form->chk_aut->setChecked(false);
        QVERIFY(form->txt_ini->isEnabledTo(form->frm_det));
        QVERIFY(form->txt_fin->isEnabledTo(form->frm_det));
        form->txt_ini->setText(QStringLiteral("5"));
        form->txt_fin->setText(QStringLiteral("9"));
        form->chk_aut->setChecked(true);
        QCOMPARE(form->txt_ini->text(), QStringLiteral("1"));
        QCOMPARE(form->txt_fin->text(), QStringLiteral("127"));
        QVERIFY(!form->txt_ini->isEnabledTo(form->frm_det));
        QVERIFY(!form->txt_fin->isEnabledTo(form->frm_det));
    }

    void sameValueRaisesNothing() {
        QVERIFY(form->chk_aut->isChecked());
        form->txt_ini->setText(QStringLiteral("7"));
        form->chk_aut->setChecked(true);
        QCOMPARE(form->txt_ini->text(), QStringLiteral("7"));
    }

    // The caption beside the box is a separate label: clicking it changes
    // nothing, while clicking the box itself does.
    void clickingCaptionLabel() {
        showAndActivate();
        form->frm_det->setEnabled(true);
        QTest::mouseClick(form->lbl_rango, Qt::LeftButton);
        QVERIFY(form->chk_aut->isChecked());
        QVERIFY(!form->txt_ini->isEnabled());

        QStyleOptionButton opt;
        opt.initFrom(form->chk_aut);
        const QRect box = form->chk_aut->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt,
                                                                 form->chk_aut);
        QTest::mouseClick(form->chk_aut, Qt::LeftButton, {}, box.center());
        QVERIFY(!form->chk_aut->isChecked());
        QVERIFY(form->txt_ini->isEnabled());
        QVERIFY(form->txt_fin->isEnabled());
    }
};

QTEST_MAIN(TestWindowKeyboard)
#include "tst_window_keyboard.moc"
