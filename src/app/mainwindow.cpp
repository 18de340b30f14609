#include "app/mainwindow.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>

#include "app/fatalerror.h"
#include "app/portcombobox.h"
#include "app/portlist.h"
#include "app/twipslayout.h"
#include "upload/progresstext.h"

namespace {

// Which controls each control-state set enables, a row a set in the order ControlSet names
// them, a column a control in the order MainWindow switches them: Browse, Upload, the port
// list, Cancel, Ok.
constexpr bool kEnabledIn[5][MainWindow::kSwitchedCount] = {
    {true, false, true, false, true},   // Start
    {true, true, true, false, true},    // Ready
    {true, false, true, false, true},   // NoFile
    {false, false, false, true, false}, // Uploading
    {true, true, true, false, true},    // AfterUpload
};
static_assert(int(ControlSet::AfterUpload) == 4);

template <typename Widget>
Widget *makeControl(QWidget *container, const char *name, const QRect &twips)
{
    auto *widget = new Widget(container);
    widget->setObjectName(QLatin1String(name));
    setTwips(*widget, twips);
    return widget;
}

QPushButton *makeButton(QWidget *container, const char *name, const QString &caption,
                        const QRect &geometry)
{
    auto *button = makeControl<QPushButton>(container, name, geometry);
    button->setText(caption);
    // No button reacts to Enter.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QGroupBox *makeFrame(QWidget *container, const char *name, const QString &caption,
                     const QRect &geometry)
{
    auto *frame = makeControl<QGroupBox>(container, name, geometry);
    frame->setTitle(caption);
    return frame;
}

// Screen readers take a plain top-level QWidget for a "filler"; this one is a dialog-style window.
QAccessibleInterface *windowAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("MainWindow") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Dialog);
    return nullptr;
}

} // namespace

MainWindow::MainWindow(const Services &services, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_services(services),
      m_frame1(makeFrame(this, "Frame1", QStringLiteral("1. Select &file to upload"),
                         QRect(120, 120, 7215, 855))),
      m_txtPath(makeControl<QLineEdit>(m_frame1, "txtPath", QRect(120, 240, 5415, 375))),
      m_cmdBrowse(
          makeButton(m_frame1, "cmdBrowse", QStringLiteral("&Browse"), QRect(6000, 240, 855, 375))),
      m_frame2(makeFrame(this, "Frame2", QStringLiteral("2. Select COM &port"),
                         QRect(120, 1080, 1935, 975))),
      m_cboPorts(makeControl<PortComboBox>(m_frame2, "cboPorts", QRect(120, 360, 1575, 315))),
      m_frame3(makeFrame(this, "Frame3", QStringLiteral("3. Click Upload to &send the file"),
                         QRect(2160, 1080, 5175, 975))),
      m_progressBar1(
          makeControl<QProgressBar>(m_frame3, "ProgressBar1", QRect(240, 360, 3375, 375))),
      m_cmdLoad(
          makeButton(m_frame3, "cmdLoad", QStringLiteral("&Upload"), QRect(3960, 360, 855, 375))),
      m_cmdCancel(
          makeButton(this, "cmdCancel", QStringLiteral("&Cancel"), QRect(4800, 2280, 1095, 495))),
      m_cmdOk(makeButton(this, "cmdOk", QStringLiteral("&Ok"), QRect(6240, 2280, 1095, 495))),
      m_switched{m_cmdBrowse, m_cmdLoad, m_cboPorts, m_cmdCancel, m_cmdOk},
      m_progress(*m_progressBar1, QStringLiteral("Upload progress")),
      m_upload(*this, services.serialPort, services.fileSystem, services.messageBox,
               services.eventLoop)
{
    buildControls();
    connectControls();
    load();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    static const bool accessibleAsDialog = (QAccessible::installFactory(windowAccessible), true);
    Q_UNUSED(accessibleAsDialog);
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Upload Application to Zelvor " ZELVOR_VERSION));
    m_txtPath->setAccessibleName(QStringLiteral("File to upload"));
    m_cboPorts->setAccessibleName(QStringLiteral("COM port"));
    setWidestText(*m_progressBar1, ProgressText::widest());
    layOutInTwips(*this, {kClientWidthTwips, kClientHeightTwips});

    m_cboPorts->setEditable(true);
    // Typed text never becomes an entry: the list is COM1 to COM4, whatever is entered.
    m_cboPorts->setInsertPolicy(QComboBox::NoInsert);

    for (QGroupBox *frame : {m_frame1, m_frame2, m_frame3})
        frame->setFocusPolicy(Qt::NoFocus);
    // A screen reader's user reaches the bar's text by Tab, in its place between the port box
    // and Upload.
    m_progressBar1->setFocusPolicy(Qt::TabFocus);
    QWidget::setTabOrder(m_txtPath, m_cmdBrowse);
    QWidget::setTabOrder(m_cmdBrowse, m_cboPorts);
    QWidget::setTabOrder(m_cboPorts, m_progressBar1);
    QWidget::setTabOrder(m_progressBar1, m_cmdLoad);
    QWidget::setTabOrder(m_cmdLoad, m_cmdCancel);
    QWidget::setTabOrder(m_cmdCancel, m_cmdOk);
}

void MainWindow::connectControls()
{
    connect(m_cmdBrowse, &QPushButton::clicked, this, &MainWindow::browseClicked);
    connect(m_cmdLoad, &QPushButton::clicked, this, &MainWindow::loadClicked);
    connect(m_cmdCancel, &QPushButton::clicked, this, &MainWindow::cancelClicked);
    connect(m_cmdOk, &QPushButton::clicked, this, &MainWindow::okClicked);
    connect(m_cboPorts, &QComboBox::currentTextChanged, this, [this] {
        portlist::showSelectedTip(*m_cboPorts, m_services.comPorts);
        showPortDevice();
    });
    m_cboPorts->installEventFilter(this);
    m_txtPath->installEventFilter(this);
    m_cboPorts->aboutToShowList = [this] { describePorts(); };
    // An entry chosen from the list is said once the list has closed and the key or the mouse
    // button that chose it is up again: a tooltip hides when either is released.
    m_cboPorts->listHidden = [this] {
        QTimer::singleShot(kAfterListCloses, this, &MainWindow::showPortDevice);
    };
}

void MainWindow::load()
{
    applyControlSet(ControlSet::Start);
    portlist::fill(*m_cboPorts);
    describePorts();
}

void MainWindow::describePorts()
{
    portlist::describe(*m_cboPorts, m_services.comPorts);
    showPortDevice();
}

// What the selected COM number reaches is said where the operator looks: beside the port box
// while it has the focus, and to a screen reader as the box's description.
void MainWindow::showPortDevice()
{
    const QString device = m_cboPorts->toolTip();
    m_cboPorts->setAccessibleDescription(device);
    if (m_cboPorts->hasFocus() && isActiveWindow() && !device.isEmpty())
        QToolTip::showText(m_cboPorts->mapToGlobal(QPoint(0, m_cboPorts->height())), device,
                           m_cboPorts);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // A new look at the system, said after the focus has settled: a tooltip hides at any focus
    // change, and an adapter may have come or gone since the list last showed.
    if (watched == m_cboPorts && event->type() == QEvent::FocusIn)
        QMetaObject::invokeMethod(this, &MainWindow::describePorts, Qt::QueuedConnection);
    // Alt with a letter is a button's or a caption's key, never text: for a button that is off
    // just now it does nothing, where the box would take the letter. (AltGr, which types
    // characters, comes as Ctrl+Alt on Windows and as a group switch on Linux.)
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<const QKeyEvent *>(event);
        if ((key->modifiers() & Qt::AltModifier) && !(key->modifiers() & Qt::ControlModifier) &&
            !key->text().isEmpty())
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::applyControlSet(ControlSet set)
{
    for (int i = 0; i < kSwitchedCount; ++i)
        m_switched[i]->setEnabled(kEnabledIn[int(set)][i]);
    // The path of the file being sent stays as it is until the upload ends; it can still be read
    // and copied.
    m_txtPath->setReadOnly(set == ControlSet::Uploading);
    // The focus goes where the operator's next key belongs: Cancel while the upload runs, and
    // Upload again once it has ended, so that Space never lands in the path box.
    if (set == ControlSet::Uploading)
        m_cmdCancel->setFocus(Qt::OtherFocusReason);
    else if (set == ControlSet::AfterUpload)
        m_cmdLoad->setFocus(Qt::OtherFocusReason);
}

QString MainWindow::path() const
{
    return m_txtPath->text();
}

std::optional<qint32> MainWindow::selectedPortTag() const
{
    return portlist::selectedTag(*m_cboPorts);
}

QString MainWindow::browseForFile()
{
    const OpenFileSettings settings{QCoreApplication::applicationDirPath(), QStringLiteral("DNL"),
                                    QStringLiteral("Download Files"), QStringLiteral("*.DNL")};
    return m_services.fileDialog.chooseFile(settings);
}

void MainWindow::browseClicked()
{
    runUncaught([this] {
        m_txtPath->setText(browseForFile());
        applyControlSet(m_txtPath->text().isEmpty() ? ControlSet::NoFile : ControlSet::Ready);
        // However the dialog was closed, the window is active again with the focus back on
        // Browse: a dialog closed by Enter while its completion list showed leaves no window
        // active otherwise, and the keyboard reaches nothing.
        activateWindow();
        m_cmdBrowse->setFocus(Qt::OtherFocusReason);
    });
}

void MainWindow::loadClicked()
{
    m_upload.run();
    if (m_closeWhenUploadEnds)
        close();
}

void MainWindow::cancelClicked()
{
    m_upload.cancel();
}

void MainWindow::okClicked()
{
    runUncaught([this] { close(); });
}

// A new interface font (the desktop's settings changed) lays the window out anew.
void MainWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        layOutInTwips(*this, {kClientWidthTwips, kClientHeightTwips});
    QWidget::changeEvent(event);
}

// Closing the window while an upload runs acts as Cancel; the window closes once the upload has
// wound up and released the port.
void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_upload.isRunning()) {
        m_closeWhenUploadEnds = true;
        m_upload.cancel();
        event->ignore();
        return;
    }
    event->accept();
}
