#include "platform/serial/windows/registrycomports.h"

#include <windows.h>
#include <setupapi.h>

#include <QRegularExpression>
#include <QStringList>

namespace {

// GUID_DEVCLASS_PORTS (devguid.h): the Ports (COM & LPT) device class.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

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

void addFriendlyNames(QMap<int, QString> &ports)
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
        const int number = comNumber(registryString(key, L"PortName"));
        ::RegCloseKey(key);
        wchar_t friendly[256] = {};
        if (number > 0 &&
            ::SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                reinterpret_cast<BYTE *>(friendly),
                                                sizeof friendly - sizeof(wchar_t), nullptr))
            ports.insert(number, QString::fromWCharArray(friendly));
    }
    ::SetupDiDestroyDeviceInfoList(devices);
}

// Values such as "\Device\Serial0" = "COM1", "\Device\VCP0" = "COM3".
void addSerialComm(QMap<int, QString> &ports)
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
            ports.insert(
                number,
                QStringLiteral("COM%1 \u2014 %2").arg(number).arg(QString::fromWCharArray(name)));
    }
    ::RegCloseKey(key);
}

// The DOS device name: what COMn is linked to, where nothing above lists it.
QString dosDevice(int number)
{
    wchar_t target[512] = {};
    const std::wstring name = QStringLiteral("COM%1").arg(number).toStdWString();
    if (!::QueryDosDeviceW(name.c_str(), target, 511))
        return {};
    return QStringLiteral("COM%1 \u2014 %2").arg(number).arg(QString::fromWCharArray(target));
}

} // namespace

QMap<int, QString> RegistryComPorts::known() const
{
    QMap<int, QString> ports;
    addFriendlyNames(ports);
    addSerialComm(ports);
    return ports;
}

// COM256 is the highest number Device Manager gives out.
QList<int> RegistryComPorts::numbersAbove()
{
    QList<int> numbers;
    const QMap<int, QString> ports = known();
    for (int number = kOffered + 1; number <= 256; ++number)
        if (ports.contains(number) || !dosDevice(number).isEmpty())
            numbers.append(number);
    return numbers;
}

QString RegistryComPorts::devicePath(int number)
{
    return QStringLiteral("\\\\.\\COM%1").arg(number);
}

QString RegistryComPorts::reaches(int number)
{
    const QMap<int, QString> ports = known();
    if (ports.contains(number))
        return ports.value(number);
    const QString linked = dosDevice(number);
    return linked.isEmpty() ? QStringLiteral("nothing is connected") : linked;
}

QString RegistryComPorts::missing(int number)
{
    QStringList found;
    const QMap<int, QString> ports = known();
    for (auto port = ports.begin(); port != ports.end(); ++port)
        found.append(QStringLiteral("COM%1 = %2").arg(port.key()).arg(port.value()));
    const QString there = found.isEmpty()
                              ? QStringLiteral("No serial port was found.")
                              : QStringLiteral("Found: %1.").arg(found.join(QStringLiteral(", ")));
    return QStringLiteral("COM%1: no serial port has this number. %2 Plug the adapter in or "
                          "choose another port; Device Manager shows under Ports (COM & LPT) "
                          "which number Windows gave it, and gives it another under the port's "
                          "Properties \u2192 Port Settings \u2192 Advanced \u2192 COM Port "
                          "Number.")
        .arg(number)
        .arg(there);
}
