#pragma once

#include <QComboBox>

// The port box: tells its owner when its list is about to open, so that the list can be
// refreshed with the ports present at that moment (an adapter plugged in meanwhile).
class PortComboBox : public QComboBox
{
    Q_OBJECT

public:
    using QComboBox::QComboBox;

    void showPopup() override;

signals:
    void dropDown();
};
