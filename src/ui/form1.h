#pragma once

#include <QColor>
#include <QWidget>
#include <cstdint>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QShortcut;
class LogList;
class ModbusLink;

// The program's one window: its controls, their colours and the three
// steps, on top of the Modbus exchange it owns. All on the GUI thread.
class Form1 : public QWidget {
    Q_OBJECT
public:
    // The reply wait is 500 ms; tests may shorten it to run long flows.
    explicit Form1(int replyWaitMs = 500, QWidget* parent = nullptr);
    ~Form1() override;

    // Panel and text-box colours.
    static const QColor COLOR_ACTIVE;
    static const QColor COLOR_BAD;
    static const QColor COLOR_OK;
    static QColor COLOR_IDLE(); // the host's button-face colour

    // Controls, named as the user's manual and the tests know them.
    QGroupBox* Frame1;
    QLabel* label;
    QGroupBox* frm_com;
    QComboBox* cmb_com;
    QPushButton* cmd_conexion;
    QGroupBox* frm_det;
    QLineEdit* txt_ini;
    QLabel* lbl_ini;
    QCheckBox* chk_aut;
    QLabel* lbl_rango;
    QLineEdit* txt_fin;
    QLabel* lbl_fin;
    QPushButton* cmb_buscar;
    QGroupBox* frm_dir;
    QComboBox* cmb_dir;
    QPushButton* cmd_cambiar;
    LogList* lst;

    // The serial control, the reply timer, the link state and the transaction.
    ModbusLink* link = nullptr;

    // Address of the relay the last search found.
    uint8_t DirActual = 0;

    // Event handlers.
    void Form_Load();
    void Form_Unload(int16_t& Cancel);
    void cmd_conexion_Click();
    void chk_aut_Click();
    void cmb_buscar_Click();
    void cmd_cambiar_Click();

    // Appends a line to the log, selects it and scrolls it into view.
    void logLine(const QString& text, const QByteArray& trace = QByteArray());

    // Background colour of a panel member or text box.
    static QColor BackColor(const QWidget* w);
    static void setBackColor(QWidget* w, const QColor& c);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* e) override;

private:
    void createControls();
    void createPortPanel();
    void createSearchPanel();
    void createChangePanel();
    void setUpKeyboard();
    void applyFonts();
    void link_PortLost();
    void showPortLost();
    void disconnectSteps();
    // Panel 2's members take the colour together.
    void setPanel2Color(const QColor& c);
    // Held for the length of a search or an address change, which own the
    // port-lost recovery: a loss meanwhile is shown once the last one ends.
    class Operation {
    public:
        explicit Operation(Form1& form);
        ~Operation();
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

    private:
        Form1& m_form;
    };

    // Esc during a search: live only while one runs.
    QShortcut* m_stopKey = nullptr;
    int m_operations = 0;
    bool m_framedCentred = false;
};
