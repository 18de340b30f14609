#pragma once
// The app room: the program's start-up and its window. May include upload/ and platform/, never
// sim/ (the program links no simulated device).
//
// The program's only window, "Upload Application to Zelvor". It owns the controls and wires their
// events to the objects that do the work: Browse asks the open-file dialog for a path, Upload and
// Cancel go to the Upload, Ok closes the window. It is also the UploadForm the upload reads the
// path and port from and applies the control-state sets to.
//
// Geometry is given in twips (1/1440 inch) and converted at 15 twips to a pixel times a factor
// from the window's font (see twipslayout.h); Qt scales the pixels on high-density screens.

#include <array>
#include <chrono>

#include <QWidget>

#include "app/services.h"
#include "platform/desktop/qtprogressdisplay.h"
#include "upload/upload.h"
#include "upload/uploadform.h"

class QGroupBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class PortComboBox;

class MainWindow final : public QWidget, public UploadForm {
    Q_OBJECT

public:
    explicit MainWindow(const Services &services, QWidget *parent = nullptr);
    ~MainWindow() override;

    // UploadForm
    QString path() const override;
    std::optional<qint32> selectedPortTag() const override;
    void applyControlSet(ControlSet set) override;
    ProgressDisplay &progress() override { return m_progress; }

    // The controls that a control-state set switches on and off.
    static constexpr int kSwitchedCount = 5;
    static constexpr int kClientWidthTwips = 7440;
    static constexpr int kClientHeightTwips = 2880;
    // How long after the port list closes the chosen entry's device is said.
    static constexpr std::chrono::milliseconds kAfterListCloses{250};

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void connectControls();
    void load();
    void describePorts();
    void showPortDevice();

    QString browseForFile();
    void browseClicked();
    void loadClicked();
    void cancelClicked();
    void okClicked();

    Services m_services;

    QGroupBox *m_frame1;
    QLineEdit *m_txtPath;
    QPushButton *m_cmdBrowse;
    QGroupBox *m_frame2;
    PortComboBox *m_cboPorts;
    QGroupBox *m_frame3;
    QProgressBar *m_progressBar1;
    QPushButton *m_cmdLoad;
    QPushButton *m_cmdCancel;
    QPushButton *m_cmdOk;
    // The controls a control-state set switches, in the order it switches them.
    std::array<QWidget *, kSwitchedCount> m_switched{};

    QtProgressDisplay m_progress;
    Upload m_upload;
    bool m_closeWhenUploadEnds = false;
};
