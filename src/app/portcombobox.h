#pragma once
// The port box: a QComboBox that says when its list is about to drop down, so that what each
// entry reaches can be looked up at that moment.

#include <functional>

#include <QComboBox>

class PortComboBox final : public QComboBox {
    Q_OBJECT

public:
    using QComboBox::QComboBox;

    std::function<void()> aboutToShowList;

    void showPopup() override;
};
