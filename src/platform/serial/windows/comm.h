#pragma once
// The Win32 communications calls that the serial port is built on, one method each, with the
// Win32 types kept out so that the port and a simulated driver build anywhere. The system's
// version (WindowsComm) makes the calls; SimulatedComm models how Windows' serial drivers
// answer them (serial.sys on a 16550, a USB adapter's driver, Wine's serial layer over a
// pseudo-terminal), so that the port's behaviour at the edges can be proven on a clock the test
// controls.
//
// Every call returns a Win32 error code: 0 (ERROR_SUCCESS) on success, GetLastError() otherwise.

#include <chrono>
#include <memory>
#include <optional>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

using CommError = quint32;

// The Win32 error codes the port tells apart (winerror.h).
namespace commerror {
inline constexpr CommError kSuccess = 0;
inline constexpr CommError kInvalidFunction = 1;
inline constexpr CommError kFileNotFound = 2;
inline constexpr CommError kPathNotFound = 3;
inline constexpr CommError kAccessDenied = 5;
inline constexpr CommError kInvalidHandle = 6;
inline constexpr CommError kNotReady = 21;
inline constexpr CommError kBadCommand = 22;
inline constexpr CommError kGenFailure = 31;
inline constexpr CommError kSharingViolation = 32;
inline constexpr CommError kNotSupported = 50;
inline constexpr CommError kSemTimeout = 121;
inline constexpr CommError kInvalidParameter = 87;
inline constexpr CommError kOperationAborted = 995;
inline constexpr CommError kDeviceNotConnected = 1167;
inline constexpr CommError kDeviceRemoved = 1617;
} // namespace commerror

// The members of the DCB that the port sets: all that a driver acts on, so that nothing is left
// as the previous program or the driver had it. The rest is set to its neutral value (no DSR
// flow control or sensitivity, DTR on, no NUL stripping, no abort on error, no event
// character).
struct CommSettings {
    enum class Rts { Disable, Enable, Handshake, Toggle }; // RTS_CONTROL_*
    quint32 baudRate = 9600;
    quint8 byteSize = 8;
    quint8 parity = 0;   // NOPARITY
    quint8 stopBits = 0; // ONESTOPBIT; TWOSTOPBITS is 2
    bool outxCtsFlow = false;
    Rts rtsControl = Rts::Enable;
    bool outX = false;
    bool inX = false;
    char xonChar = 0x11;
    char xoffChar = 0x13;
    quint16 xonLimit = 2048; // XonLim: free bytes in the input buffer before XON is sent
    quint16 xoffLimit = 512; // XoffLim
    bool errorChar = false;  // fErrorChar: replace bytes with parity errors
    bool operator==(const CommSettings &) const = default;
};

// What ClearCommError() reports in its COMSTAT.
struct CommStatus {
    quint32 outQueue = 0; // cbOutQue: bytes of pending writes not yet sent
    quint32 inQueue = 0;  // cbInQue
    bool ctsHold = false; // fCtsHold: transmission waits for CTS
};

// An overlapped WriteFile() under way: result() is empty while it is pending.
class CommWrite {
public:
    // Cancels the write if it is still pending, and waits until the system is done with it:
    // only a closing (CommClosing) destroys a write that may still be pending.
    virtual ~CommWrite() = default;
    virtual std::optional<CommError> result() = 0;
    // How many bytes a write that completed without error took: fewer than it was given where
    // a driver's own timeout ended it early (reported of FTDI's driver).
    virtual qint64 written() const = 0;
    // The OVERLAPPED's event, which is signalled when the write completes; 0 where none.
    virtual qintptr event() const = 0;
};

// CreateFile() under way on a thread of its own: result() is empty while it runs. Destroying it
// abandons it and never waits.
class CommOpening {
public:
    virtual ~CommOpening() = default;
    virtual std::optional<CommError> result(qintptr &handle) = 0;
    // Gives the call up: a handle it gives, now or whenever CreateFile() returns, is closed on
    // the opening's own thread, never on the caller's.
    virtual void abandon() = 0;
    // Whether the call has returned (and any handle it gave, once abandoned, been closed).
    virtual bool finished() = 0;
};

// A port being closed on a thread of its own, since the drivers' close and cancel may wait for
// the device (serial.sys's close waits for the FIFO; FTDI's driver is reported to hang in it):
// the write still under way is purged where asked, cancelled and waited for, then the handle
// is closed. Until done(), the port is still open to the system. Destroying this never waits.
class CommClosing {
public:
    virtual ~CommClosing() = default;
    virtual bool done() = 0;
};

// A COM port Windows lists: a present device of the Ports (COM & LPT) class, a value of
// HARDWARE\DEVICEMAP\SERIALCOMM, or a DOS device name COMn.
struct CommPortEntry {
    int number = 0;
    QString name;        // "USB Serial Port (COM7)", "\Device\Serial0"
    quint32 problem = 0; // the device's Device Manager problem code (CM_PROB_*); 0: it runs
};

class Comm {
public:
    using Clock = std::chrono::steady_clock;
    using Handle = qintptr;

    virtual ~Comm() = default;

    // CreateFile(path, read and write, no sharing, overlapped), on a thread of its own.
    virtual std::unique_ptr<CommOpening> open(const QString &path) = 0;
    // Closes the handle as CommClosing says: PurgeComm() first where purge is set, then the
    // write still under way is ended, then CloseHandle(). Until that is done, any copy of this
    // program can see that the port at path is still being closed (closingInThisProgram()).
    virtual std::unique_ptr<CommClosing> close(Handle handle, const QString &path, bool purge,
                                               std::unique_ptr<CommWrite> write) = 0;
    // Whether a close of path that this program started, in this run or an earlier one whose
    // process is still there, has not ended.
    virtual bool closingInThisProgram(const QString &path) = 0;
    // The COM ports Windows lists now, by number, each once; a new look every call.
    virtual QList<CommPortEntry> listPorts() = 0;
    virtual CommError getState(Handle handle, CommSettings &settings) = 0; // GetCommState
    virtual CommError setState(Handle handle, const CommSettings &settings) = 0;
    // SetCommTimeouts: reads return at once, writes never time out.
    virtual CommError setTimeouts(Handle handle) = 0;
    virtual CommError write(Handle handle, const QByteArray &data,
                            std::unique_ptr<CommWrite> &started) = 0;
    virtual CommError clearError(Handle handle, CommStatus &status) = 0; // ClearCommError
    virtual CommError modemStatus(Handle handle, bool &clearToSend) = 0; // GetCommModemStatus
    // Whether the driver behind path reports a CTS line at all: usbser.sys (a CDC-ACM device,
    // whose serial-state notification has no CTS bit) is reported to derive it from DSR, which
    // such a device may never send.
    virtual bool reportsCts(const QString &path) = 0;
    virtual CommError purge(Handle handle, bool output, bool input) = 0; // PurgeComm
    // Whether this is Wine's serial layer, whose answers come from the Linux device behind it.
    // Over a pseudo-terminal it reads back the settings the pseudo-terminal keeps (8 data bits,
    // RTS simply on), not those it was given, and SetCommState() fails with
    // ERROR_INVALID_PARAMETER once those differ: glibc's tcsetattr() reports EINVAL then
    // (sysdeps/unix/sysv/linux/tcsetattr.c), with the settings in force all the same.
    virtual bool underWine() const = 0;
    // The system's words for an error, e.g. "Access is denied."
    virtual QString errorText(CommError error) const = 0;
    virtual Clock::time_point now() const = 0;
};
