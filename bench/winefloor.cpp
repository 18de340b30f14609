#include "winefloor.h"

#include <cstdio>

#include <QFile>

#include "platform/desktop/qteventloop.h"
#include "upload/linetiming.h"
#include "upload/upload.h"

#include <windows.h> // last: it defines MessageBox, a name of ours

int winefloor(const QString &port, const QString &file)
{
    QFile lines(file);
    const HANDLE handle =
        ::CreateFileW(reinterpret_cast<const wchar_t *>(("\\\\.\\" + port).utf16()), GENERIC_WRITE,
                      0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE || !lines.open(QIODevice::ReadOnly)) {
        std::printf("failed 1: cannot open %s or the file\n", qPrintable(port));
        return 1;
    }
    const LineTiming timing(Upload::kLineSettings);
    // Lines end at CR LF, LF or a lone CR, as the upload reads them.
    QByteArray all = lines.readAll().replace("\r\n", "\n").replace('\r', '\n');
    all.chop(all.endsWith('\n') ? 1 : 0);
    mark("uploads");
    for (const QByteArray &text : all.split('\n')) {
        const QByteArray line = text + "\r\n";
        DWORD written = 0;
        ::WriteFile(handle, line.constData(), DWORD(line.size()), &written, nullptr);
        sleepOutsideEvents(timing.transmitTime(line.size()), -1);
    }
    mark("idle-after");
    ::CloseHandle(handle);
    mark("end");
    return 0;
}
