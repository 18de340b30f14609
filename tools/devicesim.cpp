// zelvor-device-sim: a stand-in for a Zelvor device, to try uploads without hardware.
//
// It creates a pseudo-terminal pair, prints the port's path, and writes every byte it receives
// to stdout or a file. It can hold off the sender, as a device does by dropping CTS: after a
// number of bytes (--hold-after N) or on any keypress, and resume on the next. With --echo it
// answers every byte by sending it back, as a device that acknowledges what it takes; with
// --unplug-after N it closes its end after N bytes, as a pulled adapter does. It stays up for
// any number of uploads, one after another. It takes what comes at the line's rate, 11 520
// characters a second (115 200 baud with 7 data bits and 2 stop bits), as a device on a real
// line does, so the program's own count of what is still on its way, for a port that keeps no
// count, matches what it has taken. Run as root with
// --link COM4 it also makes /dev/COM4 point at the port, so the program's COM4 reaches it; the
// link is removed again at exit. Started with sudo, it hands the port, and the output file, to
// the user who ran sudo.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "sim/ptydevice.h"

namespace {

constexpr double kCharactersPerSecond = 11520;

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

void usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s [--link COMn] [--output FILE] [--hold-after N] [--unplug-after N]\n"
                 "          [--echo]\n"
                 "  --link COMn      make /dev/COMn point at the port (needs root)\n"
                 "  --output FILE    write the received bytes to FILE instead of stdout\n"
                 "  --hold-after N   hold off the sender after N bytes (0: from the start)\n"
                 "  --unplug-after N close the device's end after N bytes\n"
                 "  --echo           send every received byte back\n"
                 "Any key toggles holding off; Ctrl-C ends.\n",
                 program);
}

struct Options {
    std::string link;
    std::string output;
    long long holdAfter = -1;
    long long unplugAfter = -1;
    bool echo = false;
};

bool parse(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--echo") {
            options.echo = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (arg == "--link" && value.rfind("COM", 0) == 0 && value.size() > 3 &&
            value.find('/') == std::string::npos)
            options.link = "/dev/" + value;
        else if (arg == "--output")
            options.output = value;
        else if (arg == "--hold-after")
            options.holdAfter = std::atoll(value.c_str());
        else if (arg == "--unplug-after")
            options.unplugAfter = std::atoll(value.c_str());
        else
            return false;
    }
    return true;
}

void setHold(PtyDevice &device, bool hold, long long received)
{
    device.holdOff(hold);
    std::fprintf(stderr,
                 hold ? "holding off after %lld bytes (press a key to resume)\n"
                      : "taking data again after %lld bytes\n",
                 received);
}

// Says what could not be done with `name`, and why; main() returns what this returns.
int failed(const char *what, const std::string &name)
{
    std::fprintf(stderr, "%s %s: %s\n", what, name.c_str(), std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        usage(argv[0]);
        return 2;
    }

    std::optional<PtyDevice> device;
    try {
        device.emplace();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    const int master = device->master();
    const char *name = device->path().c_str();
    // Started with sudo (for --link), the port is handed to the user who ran sudo, so that the
    // program, run as that user, can open it: a pseudo-terminal belongs to whoever made it, and
    // only its owner may read it (mode 0620, group tty; devpts in
    // Documentation/filesystems/devpts.rst and grantpt(3)).
    const char *uid = ::getuid() == 0 ? std::getenv("SUDO_UID") : nullptr;
    const char *gid = std::getenv("SUDO_GID");
    const auto handOver = [uid, gid](const char *path) {
        if (uid && gid && ::chown(path, uid_t(std::atol(uid)), gid_t(std::atol(gid))) != 0)
            std::fprintf(stderr, "cannot hand %s to user %s: %s\n", path, uid,
                         std::strerror(errno));
    };
    handOver(name);
    device->echo = options.echo;

    FILE *out = stdout;
    if (!options.output.empty()) {
        out = std::fopen(options.output.c_str(), "wb");
        if (!out)
            return failed("cannot write", options.output);
        handOver(options.output.c_str());
    }
    if (!options.link.empty()) {
        ::unlink(options.link.c_str());
        if (::symlink(name, options.link.c_str()) != 0)
            return failed("cannot make", options.link);
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::signal(SIGHUP, requestStop);

    // Keys toggle holding off, one at a time, without Enter.
    const bool keys = ::isatty(STDIN_FILENO);
    termios keyboard{};
    if (keys) {
        ::tcgetattr(STDIN_FILENO, &keyboard);
        termios single = keyboard;
        single.c_lflag &= ~tcflag_t(ICANON | ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &single);
    }

    std::fprintf(stderr, "device ready on %s%s%s\n", name, options.link.empty() ? "" : " as ",
                 options.link.c_str());

    long long received = 0;
    bool holding = false;
    char buffer[4096];
    const auto began = std::chrono::steady_clock::now();
    double carried = 0; // characters the line has carried since `began`, or could have
    while (!stopRequested) {
        // Held off once, after --hold-after bytes; from then on only by keys.
        if (!holding && options.holdAfter >= 0 && received >= options.holdAfter) {
            holding = true;
            options.holdAfter = -1;
            setHold(*device, true, received);
        }
        const double due =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count() *
            kCharactersPerSecond;
        carried = std::max(carried, due - 64); // a line that was idle carries nothing meanwhile
        long long allowed = (long long)(due - carried);
        for (const long long limit : {options.holdAfter, options.unplugAfter})
            if (limit >= 0)
                allowed = std::min(allowed, limit - received);
        pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        // Until the line has had the time for another character, only the keys are watched.
        const int ready =
            allowed > 0 ? ::poll(fds, keys ? 2 : 1, 200) : ::poll(fds + 1, keys ? 1 : 0, 2);
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const std::string got = device->received(std::size_t(allowed));
            carried += double(got.size());
            if (got.empty()) { // an answer waits for room on the port's side
                ::poll(nullptr, 0, 20);
            } else {
                std::fwrite(got.data(), 1, got.size(), out);
                std::fflush(out);
                received += (long long)got.size();
                if (options.unplugAfter >= 0 && received >= options.unplugAfter) {
                    device->unplug();
                    std::fprintf(stderr, "unplugged after %lld bytes\n", received);
                    break;
                }
            }
        }
        if (keys && (fds[1].revents & POLLIN) && ::read(STDIN_FILENO, buffer, 1) == 1) {
            holding = !holding;
            setHold(*device, holding, received);
        }
    }

    if (keys)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &keyboard);
    if (!options.link.empty())
        ::unlink(options.link.c_str());
    std::fprintf(stderr, "received %lld bytes\n", received);
    if (out != stdout)
        std::fclose(out);
    return 0;
}
