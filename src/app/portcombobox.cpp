#include "app/portcombobox.h"

void PortComboBox::showPopup()
{
    if (aboutToShowList)
        aboutToShowList();
    QComboBox::showPopup();
}

void PortComboBox::hidePopup()
{
    QComboBox::hidePopup();
    if (listHidden)
        listHidden();
}
