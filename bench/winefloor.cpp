#include "winefloor.h"

#include <cstdio>

#include <QFile>

#include "upload/linetiming.h"
#include "upload/upload.h"

#include <windows.h> // last: it defines MessageBox, a name of ours

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION // synchapi.h of Windows 10, version 1803
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// The floor's sleep, the program's timer: a high-resolution waitable timer, since Sleep() lasts
// whole 15.6 ms ticks.
void sleepFor(std::chrono::microseconds time)
{
    static const HANDLE timer = ::CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    LARGE_INTEGER due{};
    due.QuadPart = -qint64(time.count()) * 10; // relative, in 100 ns
    if (timer && ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
        ::WaitForSingleObject(timer, INFINITE);
    else
        ::Sleep(DWORD((time.count() + 999) / 1000));
}

} // namespace

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
    // Lines end at CR LF, LF or a lone CR, as the upload reads them.
    QByteArray all = lines.readAll().replace("\r\n", "\n").replace('\r', '\n');
    all.chop(all.endsWith('\n') ? 1 : 0);
    mark("uploads");
    for (const QByteArray &text : all.split('\n')) {
        const QByteArray line = text + "\r\n";
        DWORD written = 0;
        ::WriteFile(handle, line.constData(), DWORD(line.size()), &written, nullptr);
        sleepFor(linetiming::transmitTime(line.size()));
    }
    mark("idle-after");
    ::CloseHandle(handle);
    mark("end");
    return 0;
}
