#pragma once
// One upload at the edges, the same for both serial ports on their simulated drivers: the
// device holds off (briefly, 12 s at the end, or for good until Cancel), answers, or is
// unplugged; or five uploads go to it in a row. runEdge() drives it and checks what the
// scenario's row says; results go to QTest.

#include <chrono>

#include <QRegularExpression>
#include <QTest>

#include "uploadrig.h"

// What a port must show after one scenario: each row reads as what the scenario must give. In
// the texts, the driver's own words stand for the marks: DONE how the bar says all was
// delivered ("Sent in " or "Taken by the USB device in "), HELD how it says the device holds off
// ("CTS off" where the driver reports CTS), LOST how the message for a device that is gone
// starts, CANCELLED that the bar says about how much of the held-off line was not sent.
struct EdgeRow {
    QString scenario;
    QString bar;     // how the bar starts at the end
    QString heldBar; // how it starts 3 s into the hold-off; empty: the device holds nothing
    QString message; // how the message starts; empty: none is shown
    bool all = true; // the device got every byte of every upload (else only the start of one)
    std::chrono::seconds pastWire{0}; // how much longer than the wire the upload takes at least
};
Q_DECLARE_METATYPE(EdgeRow)

inline const QList<EdgeRow> kEdgeRows{
    {"delivered", "DONE", {}, {}},
    {"a single line", "DONE", {}, {}},
    {"five uploads in a row", "DONE", {}, {}},
    {"brief hold-off", "DONE", {}, {}},
    {"echoing device", "DONE", {}, {}},
    {"unplugged midway", {}, {}, "LOST", false},
    {"unplugged at the end", {}, {}, "LOST", false},
    {"held off 12 s at the end", "DONE", "HELD", {}, true, std::chrono::seconds(12)},
    {"held off at the end, then Cancel", "CANCELLED", "HELD", {}, false},
    {"Cancel while held off", "CANCELLED", "HELD", {}, false}};

// The rows for one driver, its words in place of the marks; skip: scenarios it does not run.
template <typename Model>
void addEdgeRows(const char *driver, Model model, bool pty, const QString &done,
                 const QString &held, const QString &lost, const QStringList &skip = {})
{
    for (EdgeRow row : kEdgeRows) {
        if (skip.contains(row.scenario))
            continue;
        // A pseudo-terminal's reader still reads what it holds when a hold-off at the end begins.
        if (pty && row.scenario.startsWith(QLatin1String("held off")))
            row = {row.scenario, "DONE", {}, {}};
        row.bar.replace(QLatin1String("DONE"), done);
        row.heldBar.replace(QLatin1String("HELD"), held);
        row.message.replace(QLatin1String("LOST"), lost);
        QTest::addRow("%s, %s", driver, qPrintable(row.scenario)) << model << row;
    }
}

// S-record-like lines: by default more than the 4 KiB a device's echo may fill.
inline QList<QByteArray> edgeLines(const QString &scenario, int count = 64)
{
    if (scenario == "a single line")
        return {"S0030000FC"};
    QList<QByteArray> lines;
    for (int i = 0; i < count; ++i)
        lines.append("S2" + QByteArray::number(i).rightJustified(4, '0') + QByteArray(64, 'F'));
    return lines;
}

// How the bar's figures say that the last of `characters` has been handed over.
inline QString allHandedOver(qsizetype characters)
{
    return QStringLiteral("%1 of %1 characters").arg(QLocale().toString(characters));
}

// Runs the row's scenario and checks what the row says, and that nothing was changed in flight
// or left open; passLimit: the most passes a Cancel may take, spinning excluded.
template <typename Rig, typename Device>
void runEdge(Rig &rig, Device &device, const EdgeRow &row, int passLimit)
{
    using namespace std::chrono_literals;
    const QByteArray expected = withCrLf(rig.lines); // one upload's bytes as the device gets them
    const auto wire = std::chrono::milliseconds(expected.size() * 1000 / 11520);
    device.echoes = row.scenario == "echoing device";
    std::chrono::milliseconds heldFrom{-1};
    std::chrono::milliseconds clickedAt{-1};
    QString heldText; // the bar 3 s into the hold-off
    // From when the last line has been handed over (or `delay` after the start), for `length`;
    // 3 s in, the bar's text is noted, and Cancel clicked when it is for good.
    const auto holdOff = [&](std::chrono::milliseconds delay, std::chrono::milliseconds length) {
        rig.events.beforePass = [&, delay, length] {
            if (heldFrom < 0ms &&
                (delay > 0ms || rig.form.bar.details.contains(allHandedOver(expected.size())))) {
                heldFrom = rig.sinceOpen() + delay;
                device.holdOff(heldFrom, heldFrom + length);
            }
            if (heldFrom >= 0ms && rig.sinceOpen() > heldFrom + 3s && heldText.isEmpty()) {
                heldText = rig.form.bar.text;
                if (length >= 1h) {
                    clickedAt = rig.sinceOpen();
                    rig.upload.cancel();
                }
            }
        };
    };
    if (row.scenario == "brief hold-off")
        device.holdOff(wire / 4, wire / 2);
    else if (row.scenario == "unplugged midway")
        device.unplugAt(wire / 4);
    else if (row.scenario == "unplugged at the end")
        device.unplugAt(wire - 5ms);
    else if (row.scenario == "held off 12 s at the end")
        holdOff(0ms, 12s);
    else if (row.scenario == "held off at the end, then Cancel")
        holdOff(0ms, 1h);
    else if (row.scenario == "Cancel while held off")
        holdOff(100ms, 1h);
    const int uploads = row.scenario == "five uploads in a row" ? 5 : 1;
    std::chrono::milliseconds took{0}; // the last upload's
    for (int i = 0; i < uploads; ++i)
        took = rig.run();
    const QByteArray received = device.received();
    const QString shown = rig.messages.shown.join(QLatin1Char('\n'));

    QVERIFY(!device.isOpen());
    QCOMPARE(device.settingsChangedInFlight, 0);
    QVERIFY2(heldText.startsWith(row.heldBar), qPrintable(heldText));
    if (row.message.isEmpty())
        QCOMPARE(shown, QString());
    else
        QVERIFY2(shown.startsWith(row.message), qPrintable(shown));
    if (row.all) {
        QCOMPARE(received, expected.repeated(uploads));
        QCOMPARE(device.cutAtClose, 0);
        QVERIFY(took >= wire + row.pastWire); // never ahead of the wire
    } else {
        QVERIFY(expected.startsWith(received));
        QVERIFY(received.size() < expected.size());
    }
    const QString bar = rig.form.bar.text;
    if (row.bar != QLatin1String("CANCELLED")) {
        QVERIFY2(bar.startsWith(row.bar), qPrintable(bar));
        return;
    }
    // Cancel: the window back at once, and no spinning while held off (3 s of 1 ms passes would
    // be 3 000). The device holds off the line handed over last: the bar says about how much of
    // it the device did not get, never that all was sent. The driver's count leaves out the
    // hardware's buffer (at most 512 here) and may round up to whole USB buffers of 64.
    QVERIFY(rig.sinceOpen() - clickedAt < 500ms);
    QCOMPARE(rig.form.bar.val, rig.form.bar.min); // back at its start, at the end of the file too
    QVERIFY2(rig.events.passes < passLimit, qPrintable(QString::number(rig.events.passes)));
    const qsizetype missing = expected.indexOf("\r\n", received.size()) + 2 - received.size();
    static const QRegularExpression about(
        QStringLiteral("^Cancelled \u00b7 about (\\d+) not sent$"));
    const qsizetype counted = about.match(bar).captured(1).toLongLong();
    QVERIFY2((counted >= missing - 512 && counted < missing + 64) ||
                 (bar == QStringLiteral("Cancelled \u00b7 not all sent") && missing <= 512),
             qPrintable(bar));
}
