#include "app/portcombobox.h"

void PortComboBox::showPopup()
{
    if (aboutToShowList)
        aboutToShowList();
    QComboBox::showPopup();
}
