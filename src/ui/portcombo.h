#pragma once

#include <QComboBox>

// The COM list. Each entry's tooltip names the device that COM number maps
// to, read again every time the list opens, so that an adapter plugged in
// after start-up shows up.
class PortCombo : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;

    void showPopup() override;
    void refreshToolTips();
};
