#include "PortComboBox.h"

void PortComboBox::showPopup()
{
    emit dropDown();
    QComboBox::showPopup();
}
