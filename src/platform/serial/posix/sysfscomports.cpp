#include "platform/serial/posix/sysfscomports.h"

#include <algorithm>
#include <map>
#include <set>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "platform/operatorerror.h"

namespace {

QString readLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine(256)).trimmed();
}

// ttyACM0 < ttyUSB0 < ttyUSB2 < ttyUSB10.
bool byName(const QString &a, const QString &b)
{
    static const QRegularExpression tail(QStringLiteral("\\d+$"));
    const QString stemA = QString(a).remove(tail);
    const QString stemB = QString(b).remove(tail);
    if (stemA != stemB)
        return stemA < stemB;
    return a.mid(stemA.size()).toInt() < b.mid(stemB.size()).toInt();
}

bool isUsbPort(const QString &name)
{
    return name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"));
}

} // namespace

SysfsComPorts::SysfsComPorts(QString sysRoot, QString devRoot)
    : m_sys(QDir::cleanPath(sysRoot)), m_dev(QDir::cleanPath(devRoot))
{}

// The tty's own device in sysfs is the interface (cdc-acm) or a port under it (usb-serial, with
// its port_number); the USB device a folder or two above it is the one with idVendor, whether or
// not it has a product string, and its folder's name is the socket it is in (bus, then ports
// through hubs: "1-2", "3-1.4"). The interface's folder name ("1-2:1.1") tells the ports of a
// multi-port adapter apart.
void SysfsComPorts::describeUsb(const QString &name, ComPort &port) const
{
    QString folder =
        QFileInfo(m_sys + QStringLiteral("/class/tty/") + name + QStringLiteral("/device"))
            .canonicalFilePath();
    const QString portNumber = readLine(folder + QStringLiteral("/port_number"));
    QString interface;
    for (int up = 0; up < 4 && !folder.isEmpty(); ++up) {
        if (interface.isEmpty() && QFileInfo::exists(folder + QStringLiteral("/bInterfaceNumber")))
            interface = QFileInfo(folder).fileName();
        if (QFileInfo::exists(folder + QStringLiteral("/idVendor"))) {
            port.product = readLine(folder + QStringLiteral("/product"));
            port.manufacturer = readLine(folder + QStringLiteral("/manufacturer"));
            port.socket = QFileInfo(folder).fileName();
            break;
        }
        folder = QFileInfo(folder).path();
    }
    if (!port.socket.isEmpty())
        port.place = (interface.isEmpty() ? port.socket : interface) + QLatin1Char('/') +
                     (portNumber.isEmpty() ? QStringLiteral("0") : portNumber);
    if (port.product.isEmpty())
        port.product = name.startsWith(QLatin1String("ttyACM"))
                           ? QStringLiteral("USB modem device")
                           : QStringLiteral("USB serial adapter");
}

QStringList SysfsComPorts::usbPortsInSocketOrder() const
{
    QStringList names;
    const QDir byPath(m_dev + QStringLiteral("/serial/by-path"));
    for (const QFileInfo &link : byPath.entryInfoList(QDir::Files | QDir::System, QDir::Name)) {
        const QString name = QFileInfo(link.symLinkTarget()).fileName();
        if (isUsbPort(name) && !names.contains(name))
            names.append(name);
    }
    QStringList rest;
    for (const QString &name :
         QDir(m_sys + QStringLiteral("/class/tty"))
             .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
        if (isUsbPort(name) && !names.contains(name))
            rest.append(name);
    std::sort(rest.begin(), rest.end(), byName);
    return names + rest;
}

QList<ComPort> SysfsComPorts::scan()
{
    std::map<int, ComPort> numbered;
    std::set<QString> reached; // device nodes that already have a number

    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]*)$"));
    for (const QString &name : QDir(m_dev).entryList(QDir::AllEntries | QDir::System)) {
        const QRegularExpressionMatch match = comName.match(name);
        if (!match.hasMatch())
            continue;
        ComPort port{.number = match.captured(1).toInt(),
                     .device = m_dev + QLatin1Char('/') + name};
        const QString node = QFileInfo(QFileInfo(port.device).canonicalFilePath()).fileName();
        if (node.isEmpty()) {
            // The administrator gave this number to that device alone: while it is gone, the
            // number reaches nothing rather than another port.
            port.missingTarget = QFileInfo(port.device).symLinkTarget();
            numbered[port.number] = port;
            continue;
        }
        if (isUsbPort(node))
            describeUsb(node, port);
        else if (node.startsWith(QLatin1String("ttyS")))
            port.product = QStringLiteral("built-in serial port");
        else if (QFileInfo(port.device).canonicalPath().endsWith(QLatin1String("/pts")))
            port.product = QStringLiteral("pseudo-terminal");
        else
            port.product = node;
        reached.insert(node);
        numbered[port.number] = port;
    }

    static const QRegularExpression uartName(QStringLiteral("^ttyS([0-9]+)$"));
    for (const QString &name :
         QDir(m_sys + QStringLiteral("/class/tty"))
             .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
        const QRegularExpressionMatch match = uartName.match(name);
        if (!match.hasMatch() || reached.count(name))
            continue;
        const QString type =
            readLine(m_sys + QStringLiteral("/class/tty/") + name + QStringLiteral("/type"));
        if (type.isEmpty() || type == QLatin1String("0"))
            continue; // no UART behind it
        const int number = match.captured(1).toInt() + 1;
        if (!numbered.count(number))
            numbered[number] = {.number = number,
                                .device = m_dev + QLatin1Char('/') + name,
                                .product = QStringLiteral("built-in serial port")};
    }

    // Adapter ports keep the number their place had; a new place takes the lowest number that no
    // port and no earlier place has.
    std::set<int> promised;
    for (const auto &[place, port] : m_byPlace)
        promised.insert(port.number);
    std::set<QString> present;
    int next = 1;
    for (const QString &name : usbPortsInSocketOrder()) {
        if (reached.count(name) || !QFileInfo::exists(m_dev + QLatin1Char('/') + name))
            continue;
        ComPort port{.device = m_dev + QLatin1Char('/') + name};
        describeUsb(name, port);
        const QString place = port.place.isEmpty() ? name : port.place;
        const auto known = m_byPlace.find(place);
        if (known != m_byPlace.end() && !numbered.count(known->second.number)) {
            port.number = known->second.number;
        } else {
            while (numbered.count(next) || promised.count(next))
                ++next;
            port.number = next;
            promised.insert(next);
        }
        numbered[port.number] = port;
        m_byPlace[place] = port;
        present.insert(place);
    }
    for (const auto &[place, port] : m_byPlace)
        if (!present.count(place) && !numbered.count(port.number))
            numbered[port.number] = {.number = port.number,
                                     .product = port.product,
                                     .manufacturer = port.manufacturer,
                                     .socket = port.socket.isEmpty() ? place : port.socket,
                                     .place = place};

    QList<ComPort> ports;
    for (const auto &[number, port] : numbered)
        ports.append(port);
    return ports;
}

namespace {

// "the adapter in USB socket 1-2 (FT232R USB UART) was unplugged"
QString unplugged(const ComPort &port)
{
    if (!port.missingTarget.isEmpty())
        return QStringLiteral("nothing is connected \u2014 %1 points at %2, which does not exist")
            .arg(port.device, port.missingTarget);
    return QStringLiteral("nothing is connected \u2014 the adapter in USB socket %1 (%2) was "
                          "unplugged")
        .arg(port.socket, port.product);
}

} // namespace

QString SysfsComPorts::devicePath(int number)
{
    const QList<ComPort> ports = scan();
    QStringList found;
    for (const ComPort &port : ports) {
        const bool reachable = !port.device.isEmpty() && port.missingTarget.isEmpty();
        if (port.number == number && reachable)
            return port.device;
        if (port.number == number)
            throw OperatorError(QStringLiteral("COM%1: %2. Plug %3 again, or choose another "
                                               "port.")
                                    .arg(number)
                                    .arg(unplugged(port), port.missingTarget.isEmpty()
                                                              ? QStringLiteral("it in there")
                                                              : QStringLiteral("its adapter in")));
        if (port.number <= kOffered && reachable)
            found.append(
                QStringLiteral("COM%1 = %2 (%3)").arg(port.number).arg(port.device, port.product));
    }
    throw OperatorError(noSuchNumber(number, found, QStringLiteral(".")));
}

QString SysfsComPorts::reaches(int number)
{
    for (const ComPort &port : scan()) {
        if (port.number != number)
            continue;
        if (port.device.isEmpty() || !port.missingTarget.isEmpty())
            return unplugged(port);
        const QString maker = port.manufacturer.isEmpty()
                                  ? QString()
                                  : QStringLiteral(" (%1)").arg(port.manufacturer);
        return QStringLiteral("%1 \u2014 %2%3").arg(port.device, port.product, maker);
    }
    return QStringLiteral("nothing is connected");
}
