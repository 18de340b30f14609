#pragma once
// The port list: COM1 to COM4, each entry tagged with its port number, and after them every
// port the system has above COM4 (ComPorts::numbersAbove()), kept current each time the list is
// about to show, from one look at the system. The box is editable, but typing never changes
// the list; the selected entry is the one whose text the box shows, and a typed COMn that no
// entry shows selects port n all the same (COM1 to COM256).

#include <optional>

#include <QtGlobal>

class ComPorts;
class QComboBox;

namespace portlist {

// Replaces the list with COM1..COM4 (tags 1..4) and selects COM1.
void fill(QComboBox &box);

// The tag of the entry whose text the box shows, in either letter case, or the number of a
// typed COMn; none when the text is neither.
std::optional<qint32> selectedTag(const QComboBox &box);

// Brings the entries above COM4 up to date (the one selected stays, so a choice never changes
// under the operator), then gives each entry, and the box for the selected one, a tooltip with
// what its number reaches now.
void describe(QComboBox &box, ComPorts &ports);
// Gives the box a tooltip with what the number now selected, or typed, reaches now (as far as
// the system's last look tells, where answers come from one).
void showSelectedTip(QComboBox &box, ComPorts &ports);

} // namespace portlist
