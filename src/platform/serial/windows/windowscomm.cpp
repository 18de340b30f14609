#include "platform/serial/windows/windowscomm.h"

#include <atomic>
#include <condition_variable>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <QMap>
#include <QRegularExpression>

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

namespace {

HANDLE native(Comm::Handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

CommError lastError()
{
    return CommError(::GetLastError());
}

// CommSettings::Rts names the RTS_CONTROL_* values in their order: the DCB's two-bit field
// converts as it is.
static_assert(RTS_CONTROL_DISABLE == 0 && RTS_CONTROL_ENABLE == 1 && RTS_CONTROL_HANDSHAKE == 2 &&
              RTS_CONTROL_TOGGLE == 3 && int(CommSettings::Rts::Toggle) == 3);

// The OVERLAPPED and the bytes of a write must live until the system is done with them.
struct PendingIo {
    OVERLAPPED overlapped{};
    QByteArray data;
};

class OverlappedWrite final : public CommWrite {
public:
    OverlappedWrite(HANDLE port, std::unique_ptr<PendingIo> io) : m_port(port), m_io(std::move(io))
    {}

    // Runs on the closing's thread when the write may still be pending: its buffers must live
    // until the driver has completed it, however long that takes.
    ~OverlappedWrite() override
    {
        if (!m_done) {
            ::CancelIoEx(m_port, &m_io->overlapped);
            DWORD written = 0;
            ::GetOverlappedResult(m_port, &m_io->overlapped, &written, TRUE);
        }
    }

    std::optional<CommError> result() override
    {
        DWORD written = 0;
        if (::GetOverlappedResult(m_port, &m_io->overlapped, &written, FALSE)) {
            m_done = true;
            m_written = written;
            return CommError(0);
        }
        const CommError error = lastError();
        if (error == ERROR_IO_INCOMPLETE)
            return std::nullopt;
        m_done = true;
        return error;
    }

    qint64 written() const override { return m_written; }
    qintptr event() const override { return reinterpret_cast<qintptr>(m_io->overlapped.hEvent); }

private:
    HANDLE m_port;
    std::unique_ptr<PendingIo> m_io;
    bool m_done = false;
    qint64 m_written = 0;
};

// A Bluetooth port connects to its device inside CreateFile(), for seconds, so the call runs on
// a thread of its own. The handle stays that thread's until the owner takes it: an owner that
// gives up, before CreateFile() returns or after, leaves the close to that thread, so that the
// port is let go of the moment the call returns and no CloseHandle() runs on the window's
// thread.
class ThreadOpening final : public CommOpening {
public:
    explicit ThreadOpening(std::wstring path) : m_state(std::make_shared<State>())
    {
        auto run = [state = m_state, path = std::move(path)](bool ownThread) {
            const HANDLE port =
                ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
            const CommError error = port == INVALID_HANDLE_VALUE ? lastError() : 0;
            std::unique_lock lock(state->mutex);
            state->port = port;
            state->error = error;
            state->returned = true;
            if (port == INVALID_HANDLE_VALUE || !ownThread)
                return;
            state->decided.wait(lock, [&state] { return state->taken || state->abandoned; });
            if (state->abandoned) {
                lock.unlock();
                ::CloseHandle(port);
                lock.lock();
                state->closed = true;
            }
        };
        try {
            std::thread(run, true).detach();
        } catch (const std::system_error &) {
            run(false);
            m_closesHere = true; // no thread to leave it to
        }
    }

    ~ThreadOpening() override { abandon(); }

    std::optional<CommError> result(qintptr &handle) override
    {
        const std::lock_guard lock(m_state->mutex);
        if (!m_state->returned || m_state->abandoned)
            return std::nullopt;
        if (m_state->error)
            return m_state->error;
        m_state->taken = true;
        m_state->decided.notify_all();
        handle = reinterpret_cast<qintptr>(m_state->port);
        return CommError(0);
    }

    void abandon() override
    {
        const std::lock_guard lock(m_state->mutex);
        if (m_state->taken || m_state->abandoned)
            return;
        m_state->abandoned = true;
        m_state->decided.notify_all();
        if (m_closesHere && m_state->port != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_state->port);
            m_state->closed = true;
        }
    }

    bool finished() override
    {
        const std::lock_guard lock(m_state->mutex);
        return m_state->returned &&
               (!m_state->abandoned || m_state->port == INVALID_HANDLE_VALUE || m_state->closed);
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable decided; // taken or abandoned
        HANDLE port = INVALID_HANDLE_VALUE;
        CommError error = 0;
        bool returned = false;
        bool abandoned = false;
        bool taken = false;
        bool closed = false;
    };
    std::shared_ptr<State> m_state;
    bool m_closesHere = false;
};

// The name of the event that says a close of the port is under way, in the session's namespace
// ("Kernel object namespaces"): an event lives as long as a handle to it, and a process whose
// close hangs in its driver keeps its handles, since it "cannot exit until all pending I/O has
// been completed or canceled" (TerminateProcess).
std::wstring closingName(const QString &path)
{
    return QStringLiteral("Local\\zelvor-upload closing %1")
        .arg(path.section(QLatin1Char('\\'), -1).toUpper())
        .toStdWString();
}

class ThreadClosing final : public CommClosing {
public:
    ThreadClosing(HANDLE port, HANDLE event, const std::wstring &name, bool purge,
                  std::unique_ptr<CommWrite> write)
        : m_done(std::make_shared<std::atomic<bool>>(false))
    {
        const HANDLE marker = ::CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        auto run = [done = m_done, port, event, marker, purge,
                    write = std::shared_ptr<CommWrite>(std::move(write))]() mutable {
            if (purge)
                ::PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
            write.reset(); // cancelled, and waited for
            if (event)
                ::CloseHandle(event);
            ::CloseHandle(port);
            if (marker)
                ::CloseHandle(marker);
            *done = true;
        };
        try {
            std::thread(std::move(run)).detach();
        } catch (const std::system_error &) {
            run();
        }
    }

    bool done() override { return *m_done; }

private:
    std::shared_ptr<std::atomic<bool>> m_done;
};

int comNumber(const QString &name)
{
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]*)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = com.match(name.trimmed());
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

QString registryString(HKEY key, const wchar_t *name)
{
    wchar_t value[256] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return QString::fromWCharArray(value);
}

// GUID_DEVCLASS_PORTS (devguid.h): the Ports (COM & LPT) device class.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// SetupDiGetClassDevs(DIGCF_PRESENT) lists present devices whatever their state: one whose
// driver did not start (code 10) or that is disabled (code 22) is listed too, with the
// PortName its driver was given. CM_Get_DevNode_Status() says which: DN_HAS_PROBLEM, and the
// problem code Device Manager shows (CM_PROB_*, cfg.h).
void addClassDevices(QMap<int, CommPortEntry> &ports)
{
    const HDEVINFO devices = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        const HKEY key =
            ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        CommPortEntry entry;
        entry.number = comNumber(registryString(key, L"PortName"));
        ::RegCloseKey(key);
        wchar_t friendly[256] = {};
        if (entry.number <= 0 || ports.contains(entry.number) ||
            !::SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                 reinterpret_cast<BYTE *>(friendly),
                                                 sizeof friendly - sizeof(wchar_t), nullptr))
            continue;
        entry.name = QString::fromWCharArray(friendly);
        ULONG status = 0;
        ULONG problem = 0;
        if (::CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
            (status & DN_HAS_PROBLEM))
            entry.problem = problem;
        ports.insert(entry.number, entry);
    }
    ::SetupDiDestroyDeviceInfoList(devices);
}

// Values such as "\Device\Serial0" = "COM1", "\Device\VCP0" = "COM3".
void addSerialComm(QMap<int, CommPortEntry> &ports)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256] = {};
        wchar_t data[64] = {};
        DWORD nameSize = 255;
        DWORD dataSize = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        if (::RegEnumValueW(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE *>(data),
                            &dataSize) != ERROR_SUCCESS)
            break;
        const int number = type == REG_SZ ? comNumber(QString::fromWCharArray(data)) : 0;
        if (number > 0 && !ports.contains(number))
            ports.insert(number, {number, QString::fromWCharArray(name), 0});
    }
    ::RegCloseKey(key);
}

// What the DOS device name links to: "\Device\Serial0"; empty where it names nothing.
QString dosTarget(const wchar_t *name)
{
    wchar_t target[512] = {};
    return ::QueryDosDeviceW(name, target, 511) ? QString::fromWCharArray(target) : QString();
}

// Every DOS device name COMn, with what it is linked to: one call lists all the names
// (QueryDosDevice with no name).
void addDosDevices(QMap<int, CommPortEntry> &ports)
{
    std::vector<wchar_t> names(64 * 1024);
    DWORD length = 0;
    while ((length = ::QueryDosDeviceW(nullptr, names.data(), DWORD(names.size()))) == 0 &&
           ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < 4 * 1024 * 1024)
        names.resize(names.size() * 2);
    for (const wchar_t *name = names.data(); length > 0 && *name; name += wcslen(name) + 1) {
        const int number = comNumber(QString::fromWCharArray(name));
        if (number > 0 && !ports.contains(number))
            if (const QString target = dosTarget(name); !target.isEmpty())
                ports.insert(number, {number, target, 0});
    }
}

} // namespace

// Wine's ntdll exports wine_get_version(); Windows' does not.
WindowsComm::WindowsComm()
{
    if (const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll"))
        m_underWine = ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::unique_ptr<CommOpening> WindowsComm::open(const QString &path)
{
    return std::make_unique<ThreadOpening>(path.toStdWString());
}

std::unique_ptr<CommClosing> WindowsComm::close(Handle handle, const QString &path, bool purge,
                                                std::unique_ptr<CommWrite> write)
{
    HANDLE event = nullptr;
    if (const auto found = m_writeEvents.find(handle); found != m_writeEvents.end()) {
        event = reinterpret_cast<HANDLE>(found->second);
        m_writeEvents.erase(found);
    }
    return std::make_unique<ThreadClosing>(native(handle), event, closingName(path), purge,
                                           std::move(write));
}

bool WindowsComm::closingInThisProgram(const QString &path)
{
    const HANDLE marker = ::OpenEventW(SYNCHRONIZE, FALSE, closingName(path).c_str());
    if (!marker)
        return false;
    ::CloseHandle(marker);
    return true;
}

QList<CommPortEntry> WindowsComm::listPorts()
{
    QMap<int, CommPortEntry> ports;
    addClassDevices(ports);
    addSerialComm(ports);
    addDosDevices(ports);
    return ports.values();
}

CommError WindowsComm::getState(Handle handle, CommSettings &settings)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(native(handle), &dcb))
        return lastError();
    settings.baudRate = dcb.BaudRate;
    settings.byteSize = dcb.ByteSize;
    settings.parity = dcb.Parity;
    settings.stopBits = dcb.StopBits;
    settings.outxCtsFlow = dcb.fOutxCtsFlow;
    settings.rtsControl = CommSettings::Rts(dcb.fRtsControl);
    settings.outX = dcb.fOutX;
    settings.inX = dcb.fInX;
    settings.xonChar = dcb.XonChar;
    settings.xoffChar = dcb.XoffChar;
    settings.xonLimit = dcb.XonLim;
    settings.xoffLimit = dcb.XoffLim;
    settings.errorChar = dcb.fErrorChar;
    return 0;
}

CommError WindowsComm::setState(Handle handle, const CommSettings &settings)
{
    // Every field is set here, none taken over from GetCommState(): what the last program or
    // the driver left there (XonChar equal to XoffChar, limits beyond the driver's buffer)
    // makes SetCommState() fail or hang on some drivers. The fields not named here stay 0: no
    // DSR flow control or sensitivity, NULs kept, no error, end-of-file or event character.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.byteSize;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != NOPARITY;
    dcb.fOutxCtsFlow = settings.outxCtsFlow;
    dcb.fRtsControl = DWORD(settings.rtsControl);
    dcb.fOutX = settings.outX;
    dcb.fInX = settings.inX;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE; // an error must not stop later writes without a word
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = settings.xonChar;
    dcb.XoffChar = settings.xoffChar;
    dcb.XonLim = settings.xonLimit;
    dcb.XoffLim = settings.xoffLimit;
    dcb.fErrorChar = settings.errorChar;
    return ::SetCommState(native(handle), &dcb) ? 0 : lastError();
}

CommError WindowsComm::setTimeouts(Handle handle)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD; // reads return at once with what there is
    return ::SetCommTimeouts(native(handle), &timeouts) ? 0 : lastError();
}

CommError WindowsComm::write(Handle handle, const QByteArray &data,
                             std::unique_ptr<CommWrite> &started)
{
    // One event for all the port's writes, one at a time: the system resets it as each starts.
    qintptr &event = m_writeEvents[handle];
    if (!event)
        event = reinterpret_cast<qintptr>(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return lastError();
    auto io = std::make_unique<PendingIo>();
    io->data = data;
    io->overlapped.hEvent = reinterpret_cast<HANDLE>(event);
    if (!::WriteFile(native(handle), io->data.constData(), DWORD(io->data.size()), nullptr,
                     &io->overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        return lastError();
    }
    started = std::make_unique<OverlappedWrite>(native(handle), std::move(io));
    return 0;
}

CommError WindowsComm::clearError(Handle handle, CommStatus &status)
{
    DWORD errors = 0;
    COMSTAT comstat{};
    if (!::ClearCommError(native(handle), &errors, &comstat))
        return lastError();
    status.outQueue = comstat.cbOutQue;
    status.inQueue = comstat.cbInQue;
    status.ctsHold = comstat.fCtsHold;
    return 0;
}

CommError WindowsComm::modemStatus(Handle handle, bool &clearToSend)
{
    DWORD lines = 0;
    if (!::GetCommModemStatus(native(handle), &lines))
        return lastError();
    clearToSend = (lines & MS_CTS_ON) != 0;
    return 0;
}

// COMn is a link to the driver's device object, "\Device\USBSER000" for usbser.sys.
bool WindowsComm::reportsCts(const QString &path)
{
    const QString target = dosTarget(path.section(QLatin1Char('\\'), -1).toStdWString().c_str());
    return !target.startsWith(QLatin1String("\\Device\\USBSER"), Qt::CaseInsensitive);
}

CommError WindowsComm::purge(Handle handle, bool output, bool input)
{
    const DWORD flags =
        (output ? PURGE_TXABORT | PURGE_TXCLEAR : 0) | (input ? PURGE_RXABORT | PURGE_RXCLEAR : 0);
    return ::PurgeComm(native(handle), flags) ? 0 : lastError();
}

QString WindowsComm::errorText(CommError error) const
{
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString said = length ? QString::fromWCharArray(text, int(length)).trimmed() : QString();
    if (text)
        ::LocalFree(text);
    return said.isEmpty() ? QStringLiteral("Error %1.").arg(error) : said;
}
