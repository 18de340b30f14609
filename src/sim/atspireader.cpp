#include "sim/atspireader.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>

namespace {

constexpr const char *kAccessible = "org.a11y.atspi.Accessible";
constexpr int kTimeoutMs = 5000;

QDBusConnection accessibilityBus(const QString &connectionName, const QString &sessionBus)
{
    const QDBusConnection session =
        sessionBus.isEmpty() ? QDBusConnection::sessionBus()
                             : QDBusConnection::connectToBus(
                                   sessionBus, connectionName + QStringLiteral("-session"));
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
        QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
    const QDBusReply<QString> address = session.call(ask, QDBus::Block, kTimeoutMs);
    if (!address.isValid())
        return QDBusConnection(connectionName);
    return QDBusConnection::connectToBus(address.value(), connectionName);
}

QList<AtSpiReader::Node> nodes(const QDBusMessage &reply)
{
    QList<AtSpiReader::Node> found;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return found;
    const QDBusArgument list = reply.arguments().first().value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        AtSpiReader::Node node;
        QDBusObjectPath path;
        list.beginStructure();
        list >> node.service >> path;
        list.endStructure();
        node.path = path.path();
        found.append(node);
    }
    list.endArray();
    return found;
}

} // namespace

AtSpiReader::AtSpiReader(const QString &connectionName, const QString &sessionBus)
    : m_connectionName(connectionName), m_bus(accessibilityBus(connectionName, sessionBus))
{}

AtSpiReader::~AtSpiReader()
{
    QDBusConnection::disconnectFromBus(m_connectionName);
    QDBusConnection::disconnectFromBus(m_connectionName + QStringLiteral("-session"));
}

std::optional<AtSpiReader::Node> AtSpiReader::application(const QString &name)
{
    const Node desktop{QStringLiteral("org.a11y.atspi.Registry"),
                       QStringLiteral("/org/a11y/atspi/accessible/root")};
    for (const Node &app : children(desktop))
        if (this->name(app) == name)
            return app;
    return std::nullopt;
}

QList<AtSpiReader::Node> AtSpiReader::children(const Node &node)
{
    const QDBusMessage ask = QDBusMessage::createMethodCall(
        node.service, node.path, QLatin1String(kAccessible), QStringLiteral("GetChildren"));
    return nodes(m_bus.call(ask, QDBus::Block, kTimeoutMs));
}

std::optional<AtSpiReader::Node> AtSpiReader::find(const Node &node, const QString &role,
                                                   const QString &name)
{
    for (const Node &child : children(node)) {
        if (roleName(child) == role && this->name(child).startsWith(name))
            return child;
        if (const auto below = find(child, role, name))
            return below;
    }
    return std::nullopt;
}

QString AtSpiReader::roleName(const Node &node)
{
    const QDBusMessage ask = QDBusMessage::createMethodCall(
        node.service, node.path, QLatin1String(kAccessible), QStringLiteral("GetRoleName"));
    const QDBusReply<QString> role = m_bus.call(ask, QDBus::Block, kTimeoutMs);
    return role.isValid() ? role.value() : QString();
}

QVariant AtSpiReader::property(const Node &node, const char *interface, const char *name)
{
    QDBusMessage ask = QDBusMessage::createMethodCall(
        node.service, node.path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    ask << QString::fromLatin1(interface) << QString::fromLatin1(name);
    const QDBusReply<QDBusVariant> value = m_bus.call(ask, QDBus::Block, kTimeoutMs);
    return value.isValid() ? value.value().variant() : QVariant();
}

QString AtSpiReader::name(const Node &node)
{
    return property(node, kAccessible, "Name").toString();
}

QString AtSpiReader::description(const Node &node)
{
    return property(node, kAccessible, "Description").toString();
}

double AtSpiReader::value(const Node &node, const char *which)
{
    return property(node, "org.a11y.atspi.Value", which).toDouble();
}
