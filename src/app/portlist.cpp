#include "app/portlist.h"

#include <QComboBox>
#include <QRegularExpression>

#include "platform/serial/comports.h"

namespace portlist {

void fill(QComboBox &box)
{
    box.clear();
    for (int n = 1; n <= ComPorts::kOffered; ++n) {
        box.insertItem(n - 1, QStringLiteral("COM%1").arg(n));
        box.setItemData(n - 1, qint32(n));
    }
    box.setCurrentIndex(0);
}

std::optional<qint32> selectedTag(const QComboBox &box)
{
    const int index = box.findText(box.currentText(), Qt::MatchFixedString);
    bool ok = false;
    const qint32 tag = index < 0 ? 0 : box.itemData(index).toInt(&ok);
    if (ok)
        return tag;
    // A port the list has not shown yet (an adapter plugged in since it last dropped down) is
    // chosen by typing its name, as Device Manager shows it.
    static const QRegularExpression typed(QStringLiteral("^\\s*COM0*([1-9][0-9]{0,2})\\s*$"),
                                          QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = typed.match(box.currentText());
    const int number = match.hasMatch() ? match.captured(1).toInt() : 0;
    if (number < 1 || number > ComPorts::kHighest)
        return std::nullopt;
    return number;
}

void describe(QComboBox &box, ComPorts &ports)
{
    ports.refresh();
    const QList<int> above = ports.numbersAbove();
    const std::optional<qint32> selected = selectedTag(box);
    const QString typed = box.currentText();
    for (int i = box.count() - 1; i >= ComPorts::kOffered; --i) {
        const int number = box.itemData(i).toInt();
        if (!above.contains(number) && number != selected)
            box.removeItem(i);
    }
    for (const int number : above) {
        int at = ComPorts::kOffered;
        while (at < box.count() && box.itemData(at).toInt() < number)
            ++at;
        if (at < box.count() && box.itemData(at).toInt() == number)
            continue;
        box.insertItem(at, QStringLiteral("COM%1").arg(number));
        box.setItemData(at, qint32(number));
    }
    if (box.currentText() != typed)
        box.setCurrentText(typed);
    for (int i = 0; i < box.count(); ++i)
        box.setItemData(i, ports.reaches(box.itemData(i).toInt()), Qt::ToolTipRole);
    showSelectedTip(box, ports);
}

void showSelectedTip(QComboBox &box, ComPorts &ports)
{
    const std::optional<qint32> selected = selectedTag(box);
    box.setToolTip(selected ? ports.reaches(*selected) : QStringLiteral("No port selected"));
}

} // namespace portlist
