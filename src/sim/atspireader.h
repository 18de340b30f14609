#pragma once
// A screen reader's view of the desktop, as Orca has it: the accessible objects that
// applications show over AT-SPI, read on the accessibility bus (whose address the session bus's
// org.a11y.Bus gives; asking for it starts the bus where none runs yet, and Qt's bridge turns
// on once it appears). Every call blocks until the application answers, so an application may
// not read itself from its own UI thread: the tests ask from another thread, the benchmark from
// another process. Used by the tests and the benchmark.

#include <optional>

#include <QDBusConnection>
#include <QList>
#include <QString>

class AtSpiReader {
public:
    struct Node {
        QString service;
        QString path;
    };

    // connectionName: a name of the reader's own for its D-Bus connection; sessionBus: the
    // address of the session bus to ask, where it is not this process's own.
    explicit AtSpiReader(const QString &connectionName, const QString &sessionBus = {});
    ~AtSpiReader();
    AtSpiReader(const AtSpiReader &) = delete;
    AtSpiReader &operator=(const AtSpiReader &) = delete;

    bool connected() const { return m_bus.isConnected(); }

    // The application of that name, as the registry lists it.
    std::optional<Node> application(const QString &name);
    QList<Node> children(const Node &node);
    // The first object below node, depth first, whose role name ("dialog", "progress bar",
    // "push button", ...) is role and whose name starts with name.
    std::optional<Node> find(const Node &node, const QString &role, const QString &name = {});

    QString roleName(const Node &node);
    QString name(const Node &node);
    QString description(const Node &node);
    // The Value interface: which is "CurrentValue", what a progress bar shows, or
    // "MaximumValue", its end.
    double value(const Node &node, const char *which);

private:
    QVariant property(const Node &node, const char *interface, const char *name);

    QString m_connectionName;
    QDBusConnection m_bus;
};
