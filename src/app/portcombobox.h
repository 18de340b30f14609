#pragma once
// The port box: a QComboBox that says when its list is about to drop down, so that what each
// entry reaches can be looked up at that moment, and when it has closed again.

#include <functional>

#include <QComboBox>

class PortComboBox final : public QComboBox {
    Q_OBJECT

public:
    using QComboBox::QComboBox;

    std::function<void()> aboutToShowList;
    std::function<void()> listHidden;

    void showPopup() override;
    void hidePopup() override;
};
