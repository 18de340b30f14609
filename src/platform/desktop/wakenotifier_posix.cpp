#include "platform/desktop/qteventloop.h"

#include <algorithm>
#include <optional>
#include <vector>

#include <glib.h>
#include <poll.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>

namespace {

using namespace std::chrono_literals;

// Qt's timers are the only thing of the window's that does not wake the wait below: a pass of
// the dispatcher runs them when the first is due, as GLib tells it, and at least this often
// for one started between passes.
constexpr auto kTimersEvery = 250ms;

struct Dispatcher {
    std::vector<pollfd> descriptors;
    std::chrono::milliseconds timersIn{0}; // from the last pass; negative: no timer
};

// The descriptors that the window's dispatcher waits on: on Debian's Qt, a GLib main context,
// the default one on the UI thread (QEventDispatcherGlibPrivate), whose wake-up descriptor Qt
// signals for every posted event (QEventDispatcherGlib::wakeUp()). Everything the window gets
// arrives that way: the X server's events, read on Qt's own thread (QXcbEventQueue), a screen
// reader's calls, delivered by Qt's D-Bus thread, and Qt's socket notifiers. Asked of GLib as
// its own iteration asks (g_main_context_prepare(), _query(), _check()), with the time until
// Qt's first timer is due.
Dispatcher dispatcher()
{
    GMainContext *context = g_main_context_default();
    std::vector<GPollFD> fds(8);
    if (!g_main_context_acquire(context))
        return {{}, kTimersEvery};
    gint priority = 0;
    g_main_context_prepare(context, &priority);
    gint timeout = 0;
    gint count = 0;
    while ((count = g_main_context_query(context, priority, &timeout, fds.data(),
                                         gint(fds.size()))) > gint(fds.size()))
        fds.resize(std::size_t(count));
    g_main_context_check(context, priority, fds.data(), count);
    g_main_context_release(context);
    Dispatcher found{{}, std::chrono::milliseconds(timeout)};
    for (gint i = 0; i < count; ++i)
        found.descriptors.push_back({fds[std::size_t(i)].fd, short(fds[std::size_t(i)].events), 0});
    return found;
}

} // namespace

// One ppoll() until the line is due, the port's descriptor turns writable, or the window has
// something; only then, or when Qt's timers are due, does the dispatcher make a pass. A wait in
// Qt's own processEvents() costs about twice a plain sleep, and a paced upload waits a few
// hundred times a second. Where Qt's dispatcher is not GLib's, the wait is Qt's own.
void waitForWindowOrWake(QTimer &wakeUp, std::chrono::milliseconds maxWait, qintptr wake)
{
    static const bool glib = QAbstractEventDispatcher::instance() &&
                             QAbstractEventDispatcher::instance()->inherits("QEventDispatcherGlib");
    if (!glib) {
        std::optional<QSocketNotifier> watch;
        if (wake >= 0)
            watch.emplace(wake, QSocketNotifier::Write);
        wakeUp.start(maxWait);
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        wakeUp.stop();
        return;
    }
    static QElapsedTimer sincePass;
    static Dispatcher window;
    const auto pass = [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        window = dispatcher();
        sincePass.start();
    };
    const auto timersIn = [] {
        const auto due =
            window.timersIn >= 0ms ? std::min(window.timersIn, kTimersEvery) : kTimersEvery;
        return due - std::chrono::milliseconds(sincePass.elapsed());
    };
    if (!sincePass.isValid() || timersIn() <= 0ms)
        pass();
    std::vector<pollfd> watched = window.descriptors;
    if (wake >= 0)
        watched.push_back({int(wake), POLLOUT, 0});
    const auto wait = std::clamp<std::chrono::milliseconds>(timersIn(), 0ms, maxWait);
    const timespec span{time_t(wait.count() / 1000), long(wait.count() % 1000) * 1'000'000};
    if (::ppoll(watched.data(), nfds_t(watched.size()), &span, nullptr) <= 0)
        return;
    for (std::size_t i = 0; i < window.descriptors.size(); ++i) {
        if (watched[i].revents != 0) {
            pass();
            return;
        }
    }
}
