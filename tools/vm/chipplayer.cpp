// Plays a USB-serial adapter's chip (CH340, PL2303, CP2102 or FT232R) as a USB device on the
// guest's dummy_hcd, through gadgetfs, so that the kernel's own host driver (ch341, pl2303,
// cp210x, ftdi_sio) binds to it and makes /dev/ttyUSB0. Runs inside the QEMU guest of
// tools/vm/test, never on the build machine.
//
// It answers the vendor and class requests each driver sends, and models the chip's UART: a
// transmit buffer of the chip's size, filled from the bulk OUT endpoint one packet at a time
// while there is room for one, and sent at the character time of the line settings the driver
// set, held while CTS is off only where the driver switched the chip's RTS/CTS handshaking on.
// The device on the far end of the line holds off by turning CTS off; the chip reports CTS and
// whether its transmitter is empty the way it really does (an interrupt packet, a status request,
// or the two status bytes of each bulk IN packet).
//
//     zelvor-chip-player CHIP FOLDER CONTROL
//
// Commands, one a line, come through the FIFO CONTROL:
//     plan NAME [hold AT MS]... [unplug AT]   start a record FOLDER/NAME.log and FOLDER/NAME.bin;
//                                              the device turns CTS off once it has AT characters
//                                              of this plan, for MS ms (-1: until "release");
//                                              "unplug AT" disconnects the chip there, for good
//     release                                  CTS on again
//     quit
// NAME.bin gets every character the device received; NAME.log one event a line, each after
// the CLOCK_MONOTONIC time in seconds: every request with its data and answer ("request c0 5f
// 0000 0000 2 -> 3100"), the line settings the chip was given as one "line 115384 7N2 rts/cts",
// "first-data", "hold N bulk-out M", "release N bulk-out M", "empty N bulk-out M" (the
// transmitter has sent its last character), "unplug N": N the characters the device has, M
// those the chip took from USB.
//
// Built on the pattern of the kernel's own gadgetfs user-mode drivers: the descriptors are
// written to /dev/gadget/dummy_udc once, ep0 events are answered in one loop, and each endpoint
// has a thread of its own, opened and configured while SET_CONFIGURATION is handled
// (drivers/usb/gadget/legacy/inode.c: gadgetfs_setup() hands SET_CONFIGURATION to user space
// and waits for it before the next request).

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double secondsNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

enum class Kind { Ch340, Pl2303, Cp2102, Ft232r };

// What differs between the chips on the USB side: ids, endpoints and the transmit buffer.
struct Chip {
    Kind kind;
    const char *id; // as the command line names it
    uint16_t vendor, product, release;
    const char *manufacturer, *name, *serial;
    // The transmit buffer (USB to UART), from each chip's datasheet:
    // - CH340: the datasheet (WCH CH340DS1) gives no size for its "built-in transmit-receive
    //   buffer"; one bulk packet, 32 bytes, as ch341.c's ch341_set_baudrate_lcr() says the
    //   CH341A gathers;
    // - PL2303HX: 256 bytes downstream (Prolific PL-2303HX Rev D datasheet, features);
    // - CP2102: 640-byte transmit buffer (Silicon Labs CP2102/9 datasheet, section 1);
    // - FT232R: 256-byte transmit buffer (FTDI DS_FT232R, section 4.1, "TX Buffer").
    size_t buffer;
    uint16_t bulkSize;
    uint8_t bulkIn, bulkOut, interruptIn; // 0: none
    uint16_t interruptSize;
};

// Endpoint layouts as the real chips have them; pl2303_calc_num_ports() and ch341's
// usb_serial_driver (num_interrupt_in = 1) require the interrupt endpoint.
const Chip kChips[] = {
    {Kind::Ch340, "ch340", 0x1a86, 0x7523, 0x0264, "wch.cn", "USB Serial", nullptr, 32, 32, 0x82,
     0x02, 0x81, 8},
    // bcdDevice 0x0300: gadgetfs reports bcdUSB 0x0200 (dev_config() in inode.c), so
    // pl2303_detect_type() asks for the HX status (c0 01 8080) and takes it for a TA, which
    // drives flow control and line coding as the HX does.
    {Kind::Pl2303, "pl2303", 0x067b, 0x2303, 0x0300, "Prolific Technology Inc.",
     "USB-Serial Controller", nullptr, 256, 64, 0x83, 0x02, 0x81, 10},
    {Kind::Cp2102, "cp2102", 0x10c4, 0xea60, 0x0100, "Silicon Labs",
     "CP2102 USB to UART Bridge Controller", "0001", 640, 64, 0x81, 0x01, 0, 0},
    // bcdDevice 0x0600: ftdi_determine_type() in ftdi_sio.c takes it for an FT232R.
    {Kind::Ft232r, "ft232r", 0x0403, 0x6001, 0x0600, "FTDI", "FT232R USB UART", "A6008isP", 256, 64,
     0x81, 0x02, 0, 0},
};

struct Hold {
    long at;
    int ms; // -1: until "release"
};

class Player {
public:
    Player(const Chip &chip, std::string folder) : m_chip(chip), m_folder(std::move(folder)) {}
    int run(const char *control);

private:
    void writeDescriptors();
    void serveEp0();
    void answer(const usb_ctrlrequest &setup);
    std::optional<Bytes> vendorOrClass(const usb_ctrlrequest &setup, const Bytes &data);
    std::optional<Bytes> standard(const usb_ctrlrequest &setup);
    void configure();
    int openEndpoint(uint8_t address, uint8_t type, uint16_t size);
    void readBulkOut();
    void runUart();
    void reportStatus();
    void readControl(const char *control);
    void startPlan(std::istringstream &words);
    void closeRecord(); // the plan's: the log's last line says what the chip took from USB
    // At the time given, on CLOCK_MONOTONIC (steady_clock's), or now.
    void log(const std::string &event, double at = 0);
    void logLocked(const std::string &event); // takes m_mutex for it
    size_t stillToSend() const;
    void logLine();
    // The character's shape as PL2303, CP2102 and FT232R take it: parity by its code in the order
    // none, odd, even, mark, space, and the stop bits by theirs (0: one, 1: one and a half, else
    // two).
    void setFraming(int dataBits, int parity, int stop);
    void setCts(bool on, std::unique_lock<std::mutex> &lock);
    Bytes modemStatus();
    bool transmitterEmpty() const;
    void unplug();

    const Chip &m_chip;
    const std::string m_folder;
    int m_ep0 = -1;
    int m_in = -1, m_out = -1, m_interrupt = -1;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_gone{false};
    std::vector<std::thread> m_threads; // one for each endpoint
    std::atomic<int> m_endpointThreads{0};

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::FILE *m_log = nullptr;
    std::FILE *m_bin = nullptr;
    std::deque<uint8_t> m_buffer;
    long m_bulkOut = 0;  // characters the chip took from USB, this plan
    long m_received = 0; // characters the device got, this plan
    bool m_firstData = false;
    bool m_cts = true; // the device's CTS, as the chip sees it
    bool m_ctsHandshake = false;
    uint32_t m_baud = 9600;
    int m_dataBits = 8, m_halfStopBits = 2;
    char m_parity = 'N';
    std::string m_lastLine;
    Clock::time_point m_wireFreeAt{};
    Clock::time_point m_releaseAt = Clock::time_point::max();
    std::vector<Hold> m_holds;
    long m_unplugAt = -1;
    bool m_emptyLogged = true;

    // The chips' registers as the drivers write and read them back.
    std::map<uint16_t, uint8_t> m_registers; // pl2303 vendor registers, ch341 registers
    Bytes m_lineCoding{0x80, 0x25, 0, 0, 0, 0, 8};
    Bytes m_flow = Bytes(16, 0); // cp210x SET_FLOW
    uint16_t m_lineControl = 0x0800;
    uint8_t m_latency = 16;
};

std::string hex(const Bytes &bytes)
{
    std::string text;
    char two[3];
    for (const uint8_t byte : bytes) {
        std::snprintf(two, sizeof two, "%02x", byte);
        text += two;
    }
    return text;
}

void Player::log(const std::string &event, double at)
{
    if (!m_log)
        return;
    std::fprintf(m_log, "%.6f %s\n", at > 0 ? at : secondsNow(), event.c_str());
    std::fflush(m_log);
}

void Player::logLocked(const std::string &event)
{
    std::lock_guard lock(m_mutex);
    log(event);
}

// Says what failed and why, and ends the player.
[[noreturn]] void fail(const char *what)
{
    std::perror(what);
    std::exit(1);
}

// Runs the calling thread before every ordinary one, at this SCHED_FIFO priority.
bool realtime(int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    return ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
}

// The settings as one line, logged when they change: what the chip would put on the wire.
void Player::logLine()
{
    char text[96];
    const int stop = m_halfStopBits / 2;
    std::snprintf(text, sizeof text, "line %u %d%c%s %s", m_baud, m_dataBits, m_parity,
                  m_halfStopBits == 3 ? "1.5" : std::to_string(stop).c_str(),
                  m_ctsHandshake ? "rts/cts" : "none");
    if (m_lastLine != text) {
        m_lastLine = text;
        log(text);
    }
}

void Player::setFraming(int dataBits, int parity, int stop)
{
    m_dataBits = dataBits;
    m_parity = "NOEMS"[std::min(parity, 4)];
    m_halfStopBits = stop == 0 ? 2 : stop == 1 ? 3 : 4;
    logLine();
}

bool Player::transmitterEmpty() const
{
    return m_buffer.empty() && Clock::now() >= m_wireFreeAt;
}

// What the buffer holds, and the characters taken from it whose time on the wire has not come
// yet (the UART takes them a few at a time).
size_t Player::stillToSend() const
{
    const double bits = 1 + m_dataBits + (m_parity == 'N' ? 0 : 1) + m_halfStopBits / 2.0;
    const double character = bits / std::max<uint32_t>(m_baud, 50);
    const double left = std::chrono::duration<double>(m_wireFreeAt - Clock::now()).count();
    return m_buffer.size() + (left > 0 ? size_t(left / character) + 1 : 0);
}

void Player::setCts(bool on, std::unique_lock<std::mutex> &)
{
    if (m_cts == on)
        return;
    m_cts = on;
    log((on ? "release " : "hold ") + std::to_string(m_received) + " bulk-out " +
        std::to_string(m_bulkOut));
    m_changed.notify_all();
}

// An endpoint's descriptor as the driver sees it: an interrupt endpoint polled every frame.
static usb_endpoint_descriptor endpointDescriptor(uint8_t address, uint8_t type, uint16_t size)
{
    usb_endpoint_descriptor ep{};
    ep.bLength = USB_DT_ENDPOINT_SIZE;
    ep.bDescriptorType = USB_DT_ENDPOINT;
    ep.bEndpointAddress = address;
    ep.bmAttributes = type;
    ep.wMaxPacketSize = size;
    ep.bInterval = type == USB_ENDPOINT_XFER_INT ? 1 : 0;
    return ep;
}

// Descriptors for one full-speed configuration, written with a 4-byte tag 0, the full-speed and
// the high-speed configuration, then the device descriptor (dev_config() in inode.c). dummy_hcd
// runs at full speed here (is_high_speed=0), so the high-speed copy is never used.
void Player::writeDescriptors()
{
    Bytes config;
    auto put = [&config](const void *data, size_t size) {
        const auto *bytes = static_cast<const uint8_t *>(data);
        config.insert(config.end(), bytes, bytes + size);
    };
    const int endpoints = m_chip.interruptIn ? 3 : 2;
    usb_config_descriptor head{};
    head.bLength = USB_DT_CONFIG_SIZE;
    head.bDescriptorType = USB_DT_CONFIG;
    head.wTotalLength =
        uint16_t(USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + endpoints * USB_DT_ENDPOINT_SIZE);
    head.bNumInterfaces = 1;
    head.bConfigurationValue = 1;
    head.bmAttributes = USB_CONFIG_ATT_ONE;
    head.bMaxPower = 50;
    put(&head, USB_DT_CONFIG_SIZE);
    usb_interface_descriptor interface {};
    interface.bLength = USB_DT_INTERFACE_SIZE;
    interface.bDescriptorType = USB_DT_INTERFACE;
    interface.bNumEndpoints = uint8_t(endpoints);
    interface.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    interface.bInterfaceSubClass = m_chip.kind == Kind::Ch340 ? 1 : 0;
    interface.bInterfaceProtocol = m_chip.kind == Kind::Ch340 ? 2 : 0;
    put(&interface, USB_DT_INTERFACE_SIZE);
    auto endpoint = [&](uint8_t address, uint8_t type, uint16_t size) {
        const usb_endpoint_descriptor ep = endpointDescriptor(address, type, size);
        put(&ep, USB_DT_ENDPOINT_SIZE);
    };
    if (m_chip.interruptIn)
        endpoint(m_chip.interruptIn, USB_ENDPOINT_XFER_INT, m_chip.interruptSize);
    endpoint(m_chip.bulkOut, USB_ENDPOINT_XFER_BULK, m_chip.bulkSize);
    endpoint(m_chip.bulkIn, USB_ENDPOINT_XFER_BULK, m_chip.bulkSize);

    usb_device_descriptor device{};
    device.bLength = USB_DT_DEVICE_SIZE;
    device.bDescriptorType = USB_DT_DEVICE;
    device.bcdUSB = 0x0110;
    device.bDeviceClass = m_chip.kind == Kind::Ch340 ? USB_CLASS_VENDOR_SPEC : 0;
    device.bMaxPacketSize0 = 64; // pl2303_detect_type(): anything else is a legacy PL2303H
    device.idVendor = m_chip.vendor;
    device.idProduct = m_chip.product;
    device.bcdDevice = m_chip.release;
    device.iManufacturer = 1;
    device.iProduct = 2;
    device.iSerialNumber = m_chip.serial ? 3 : 0;
    device.bNumConfigurations = 1;

    Bytes all(4, 0);
    all.insert(all.end(), config.begin(), config.end());
    all.insert(all.end(), config.begin(), config.end());
    const auto *bytes = reinterpret_cast<const uint8_t *>(&device);
    all.insert(all.end(), bytes, bytes + USB_DT_DEVICE_SIZE);
    if (::write(m_ep0, all.data(), all.size()) != ssize_t(all.size()))
        fail("chip player: descriptors");
}

// dummy_hcd names its endpoints after their use (dummy_hcd.c, ep_info[]); the address the host
// sees is the one in the descriptor written to the file.
int Player::openEndpoint(uint8_t address, uint8_t type, uint16_t size)
{
    const char *name = type == USB_ENDPOINT_XFER_INT ? "/dev/gadget/ep5in-int"
                       : (address & USB_DIR_IN)      ? "/dev/gadget/ep1in-bulk"
                                                     : "/dev/gadget/ep2out-bulk";
    const int fd = ::open(name, O_RDWR);
    if (fd < 0)
        fail(name);
    const usb_endpoint_descriptor ep = endpointDescriptor(address, type, size);
    Bytes config{1, 0, 0, 0}; // tag 1, then the full-speed and the high-speed descriptor
    const auto *bytes = reinterpret_cast<const uint8_t *>(&ep);
    for (int speed = 0; speed < 2; ++speed)
        config.insert(config.end(), bytes, bytes + USB_DT_ENDPOINT_SIZE);
    if (::write(fd, config.data(), config.size()) < 0)
        fail(name);
    return fd;
}

void Player::configure()
{
    if (m_out >= 0)
        return;
    m_out = openEndpoint(m_chip.bulkOut, USB_ENDPOINT_XFER_BULK, m_chip.bulkSize);
    m_in = openEndpoint(m_chip.bulkIn, USB_ENDPOINT_XFER_BULK, m_chip.bulkSize);
    if (m_chip.interruptIn)
        m_interrupt = openEndpoint(m_chip.interruptIn, USB_ENDPOINT_XFER_INT, m_chip.interruptSize);
    m_endpointThreads = m_chip.kind == Kind::Cp2102 ? 1 : 2;
    m_threads.emplace_back([this] {
        readBulkOut();
        --m_endpointThreads;
    });
    if (m_chip.kind != Kind::Cp2102)
        m_threads.emplace_back([this] {
            reportStatus();
            --m_endpointThreads;
        });
}

// The modem status the chip reports: DSR and DCD on (the device is there), CTS as the device
// sets it.
Bytes Player::modemStatus()
{
    switch (m_chip.kind) {
    case Kind::Ch340: {
        // ch341_update_status() and ch341_get_status(): the lines inverted, CTS bit 0, DSR bit
        // 1, DCD bit 3; the interrupt packet carries them in its third byte.
        const uint8_t lines = uint8_t(~((m_cts ? 0x01 : 0) | 0x02 | 0x08));
        return {lines, 0xee};
    }
    case Kind::Pl2303: {
        // pl2303_update_line_status(): the UART state in byte 8 of the interrupt packet, CTS
        // 0x80, DSR 0x02, DCD 0x01.
        Bytes packet(10, 0);
        packet[0] = 0xa1;
        packet[1] = 0x20;
        packet[6] = 2;
        packet[8] = uint8_t((m_cts ? 0x80 : 0) | 0x02 | 0x01);
        return packet;
    }
    case Kind::Cp2102:
        // cp210x_tiocmget(): GET_MDMSTS, DTR 0x01, RTS 0x02, CTS 0x10, DSR 0x20, DCD 0x80.
        return {uint8_t(0x03 | (m_cts ? 0x10 : 0) | 0x20 | 0x80)};
    case Kind::Ft232r: {
        // ftdi_process_packet() and ftdi_tx_empty(): byte 0 the modem status (CTS 0x10, DSR
        // 0x20, DCD 0x80, bit 0 always set), byte 1 the line status, THRE 0x20 once the
        // buffer is empty, TEMT 0x40 once the shift register is too (FT232R datasheet, and
        // ftdi_sio.h FTDI_RS_THRE/FTDI_RS_TEMT).
        const uint8_t line =
            uint8_t((m_buffer.empty() ? 0x20 : 0) | (transmitterEmpty() ? 0x40 : 0));
        return {uint8_t(0x01 | (m_cts ? 0x10 : 0) | 0x20 | 0x80), line};
    }
    }
    return {};
}

std::optional<Bytes> Player::standard(const usb_ctrlrequest &setup)
{
    const uint16_t value = setup.wValue;
    if (setup.bRequest == USB_REQ_GET_DESCRIPTOR && (value >> 8) == USB_DT_STRING) {
        const int index = value & 0xff;
        const char *texts[] = {nullptr, m_chip.manufacturer, m_chip.name, m_chip.serial};
        if (index == 0)
            return Bytes{4, USB_DT_STRING, 0x09, 0x04};
        if (index > 3 || !texts[index])
            return std::nullopt;
        Bytes string{0, USB_DT_STRING};
        for (const char *c = texts[index]; *c; ++c) {
            string.push_back(uint8_t(*c));
            string.push_back(0);
        }
        string[0] = uint8_t(string.size());
        return string;
    }
    if (setup.bRequest == USB_REQ_SET_CONFIGURATION) {
        configure();
        logLocked("configured");
        return Bytes{};
    }
    if (setup.bRequest == USB_REQ_GET_STATUS)
        return Bytes{0, 0};
    if (setup.bRequest == USB_REQ_GET_INTERFACE)
        return Bytes{0};
    return Bytes{}; // SET_INTERFACE, CLEAR_FEATURE: nothing to do
}

// The chips' vendor and class requests, as the 6.1 drivers send them. Unknown reads get zeros:
// a driver that only wants the answer's length (ch341_detect_quirks(), cp2102_determine_quirks())
// goes on.
std::optional<Bytes> Player::vendorOrClass(const usb_ctrlrequest &setup, const Bytes &data)
{
    const bool in = setup.bRequestType & USB_DIR_IN;
    const uint16_t value = setup.wValue, index = setup.wIndex;
    Bytes reply(in ? setup.wLength : 0, 0);
    std::unique_lock lock(m_mutex);
    switch (m_chip.kind) {
    case Kind::Ch340:
        // ch341.c: CH341_REQ_READ_VERSION 0x5f (0x30 and above take the LCR register),
        // CH341_REQ_WRITE_REG 0x9a (two registers, value high and low byte, index their
        // contents), CH341_REQ_READ_REG 0x95 (0x0706: the modem status), MODEM_CTRL 0xa4.
        if (setup.bRequest == 0x5f && in) {
            reply = {0x31, 0x00};
        } else if (setup.bRequest == 0x9a) {
            m_registers[value >> 8] = uint8_t(index >> 8);
            m_registers[value & 0xff] = uint8_t(index);
            if (value == 0x1312) {
                // ch341_get_divisor(): (0x100 - div) << 8 | fact << 2 | ps, bit 7 a flag.
                const unsigned div = 0x100 - (index >> 8), fact = (index >> 2) & 1, ps = index & 3;
                m_baud = div ? 48000000u / ((1u << (12 - 3 * ps - fact)) * div) : 0;
            }
            if (value == 0x2518) {
                // CH341_LCR_*: bits 0-1 the size from 5, 0x04 two stop bits, 0x08 parity.
                const uint8_t lcr = uint8_t(index);
                m_dataBits = 5 + (lcr & 3);
                m_halfStopBits = lcr & 0x04 ? 4 : 2;
                m_parity = !(lcr & 0x08)  ? 'N'
                           : (lcr & 0x20) ? (lcr & 0x10 ? 'S' : 'M')
                                          : (lcr & 0x10 ? 'E' : 'O');
            }
            logLine();
        } else if (setup.bRequest == 0x95 && in) {
            if (value == 0x0706)
                reply = modemStatus();
            else
                reply = {m_registers[value & 0xff], m_registers[value >> 8]};
        }
        break;
    case Kind::Pl2303:
        // pl2303.c: vendor register write 40 01 (wValue the register, wIndex its value) and
        // read c0 01 (wValue 0x80 | register); SET_LINE_REQUEST 21 20 and GET_LINE_REQUEST
        // a1 21 with the CDC line coding; register 0's bits 0xf0 are the flow control, 0x60
        // (0x40 on legacy chips) RTS/CTS (pl2303_set_termios()).
        if (setup.bRequestType == 0x40 && setup.bRequest == 0x01) {
            m_registers[value] = uint8_t(index);
            if (value == 0) {
                const uint8_t flow = index & 0xf0;
                m_ctsHandshake = flow == 0x60 || flow == 0x40;
                logLine();
            }
        } else if (setup.bRequestType == 0xc0 && setup.bRequest == 0x01) {
            reply = {value < 0x100 ? m_registers[value & 0x7f] : uint8_t(0)};
        } else if (setup.bRequestType == 0x21 && setup.bRequest == 0x20 && data.size() == 7) {
            m_lineCoding = data;
            m_baud = uint32_t(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24);
            setFraming(data[6], data[5], data[4]);
        } else if (setup.bRequestType == 0xa1 && setup.bRequest == 0x21) {
            reply = m_lineCoding;
        }
        break;
    case Kind::Cp2102:
        // cp210x.c: interface requests 41 (out) and c1 (in); SET_BAUDRATE 0x1e (4 bytes),
        // SET_LINE_CTL 0x03 (wValue: stop bits 0-3, parity 4-7, data bits 8-15), SET_FLOW 0x13
        // (struct cp210x_flow_ctl; CP210X_SERIAL_CTS_HANDSHAKE in ulControlHandshake turns the
        // chip's CTS handshaking on), GET_MDMSTS 0x08, GET_COMM_STATUS 0x10 (struct
        // cp210x_comm_status, ulAmountInOutQueue at offset 12: what cp210x_tx_empty() reads),
        // and vendor reads c0 ff (GET_PARTNUM 0x370b: 0x02, a CP2102).
        if (setup.bRequest == 0x1e && data.size() >= 4) {
            m_baud = uint32_t(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24);
            logLine();
        } else if (setup.bRequest == 0x1d && in) {
            reply = {uint8_t(m_baud), uint8_t(m_baud >> 8), uint8_t(m_baud >> 16),
                     uint8_t(m_baud >> 24)};
        } else if (setup.bRequest == 0x03 && !in) {
            m_lineControl = value;
            setFraming(value >> 8, (value >> 4) & 0xf, value & 0xf);
        } else if (setup.bRequest == 0x04 && in) {
            reply = {uint8_t(m_lineControl), uint8_t(m_lineControl >> 8)};
        } else if (setup.bRequest == 0x13 && data.size() == 16) {
            m_flow = data;
            m_ctsHandshake = data[0] & 0x08;
            logLine();
        } else if (setup.bRequest == 0x14 && in) {
            reply = m_flow;
        } else if (setup.bRequest == 0x08 && in) {
            reply = modemStatus();
        } else if (setup.bRequest == 0x10 && in) {
            reply.assign(std::max<size_t>(setup.wLength, 19), 0);
            const uint32_t queued = uint32_t(stillToSend());
            std::memcpy(reply.data() + 12, &queued, 4);
        } else if (setup.bRequestType == 0xc0 && setup.bRequest == 0xff && value == 0x370b) {
            reply[0] = 0x02;
        } else if (setup.bRequest == 0x12 && !in && (value & 0x05)) {
            // PURGE, which cp210x_close() sends: bits 0 and 2 clear the transmit queue
            // (Silicon Labs AN571, and the comment on PURGE_ALL in cp210x.c).
            log("purge " + std::to_string(m_buffer.size()));
            m_buffer.clear();
            m_emptyLogged = false;
            m_changed.notify_all();
        }
        break;
    case Kind::Ft232r:
        // ftdi_sio.h: SET_FLOW_CTRL 0x02 (wIndex high byte 0x01: RTS/CTS), SET_BAUDRATE 0x03,
        // SET_DATA 0x04 (data bits 0-7, parity 8-10, stop bits 11-13), GET_MODEM_STATUS 0x05,
        // SET/GET_LATENCY_TIMER 0x09/0x0a, READ_EEPROM 0x90.
        if (setup.bRequestType == 0x40 && setup.bRequest == 0x02) {
            m_ctsHandshake = index & 0x0100;
            logLine();
        } else if (setup.bRequestType == 0x40 && setup.bRequest == 0x03) {
            // ftdi_232bm_baud_base_to_divisor(): 14 bits of divisor, 3 bits of eighths in
            // value bits 14-15 and index bit 0, coded as divfrac[] codes them.
            static const int eighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
            const int whole = value & 0x3fff;
            const int code = (value >> 14) | ((index & 1) << 2);
            const double divisor = whole + eighths[code] / 8.0;
            m_baud = whole == 0                ? 3000000u
                     : whole == 1 && code == 0 ? 2000000u
                                               : uint32_t(3000000.0 / divisor + 0.5);
            logLine();
        } else if (setup.bRequestType == 0x40 && setup.bRequest == 0x04) {
            setFraming(value & 0xff, (value >> 8) & 7, (value >> 11) & 3);
        } else if (setup.bRequestType == 0xc0 && setup.bRequest == 0x05) {
            reply = modemStatus();
        } else if (setup.bRequestType == 0x40 && setup.bRequest == 0x09) {
            m_latency = uint8_t(value);
        } else if (setup.bRequestType == 0xc0 && setup.bRequest == 0x0a) {
            reply = {m_latency};
        }
        break;
    }
    if (in)
        reply.resize(setup.wLength);
    return reply;
}

void Player::answer(const usb_ctrlrequest &setup)
{
    const bool in = setup.bRequestType & USB_DIR_IN;
    Bytes data;
    if (!in && setup.wLength > 0) {
        // The OUT data stage arrives on ep0 (ep0_read() in inode.c).
        data.resize(setup.wLength);
        const ssize_t got = ::read(m_ep0, data.data(), data.size());
        if (got < 0)
            logLocked("data-stage-error " + std::string(std::strerror(errno)));
        data.resize(std::max<ssize_t>(got, 0));
    }
    const bool isStandard = (setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_STANDARD;
    const std::optional<Bytes> reply = isStandard ? standard(setup) : vendorOrClass(setup, data);
    if (!isStandard) {
        char head[64];
        std::snprintf(head, sizeof head, "request %02x %02x %04x %04x %u", setup.bRequestType,
                      setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
        logLocked(std::string(head) + (in             ? " -> " + hex(reply.value_or(Bytes{}))
                                       : data.empty() ? std::string()
                                                      : " <- " + hex(data)));
    }
    if (in) {
        if (reply)
            (void)!::write(m_ep0, reply->data(), reply->size());
        else
            (void)!::read(m_ep0, nullptr, 0); // a read stalls an IN request
    } else if (setup.wLength == 0) {
        (void)!::read(m_ep0, nullptr, 0); // the status stage of an OUT request
    }
}

// ep0 in one loop: every request answered before the next event is read, within a few ms
// (pl2303's vendor reads give up after 100 ms, pl2303_supports_hx_status()).
void Player::serveEp0()
{
    // gadgetfs completes an OUT request's data stage, and with it the whole request, before
    // user space has read its SETUP event, so the host's driver goes on to its next request at
    // once; a SETUP that comes before the last one was read replaces it (next_event() in
    // inode.c), and one that comes while its data is being read ends that read with EIDRM. The
    // loop therefore runs before any ordinary thread, the driver's included.
    if (!realtime(10))
        std::fputs("chip player: ep0 without real-time priority\n", stderr);
    usb_gadgetfs_event events[5];
    pollfd fds[2] = {{m_ep0, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    while (!m_gone) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        const ssize_t got = ::read(m_ep0, events, sizeof events);
        if (got < 0) {
            // EIDRM: the host gave up on a request and sent the next (gadgetfs_setup()).
            if (errno != EAGAIN && errno != EINTR) {
                logLocked("ep0-error " + std::string(std::strerror(errno)));
                ::usleep(1000);
            }
            continue;
        }
        for (size_t i = 0; i < size_t(got) / sizeof events[0]; ++i) {
            if (events[i].type == GADGETFS_SETUP)
                answer(events[i].u.setup);
            else if (events[i].type == GADGETFS_DISCONNECT)
                logLocked("disconnected");
        }
    }
}

// Bulk OUT one packet at a time, and only while the buffer has room for a whole one: a full
// chip NAKs, and the driver's write waits (a larger read would wait for a short packet).
void Player::readBulkOut()
{
    // The host's driver counts a packet as the chip's once the transfer completes, and may ask
    // at once how much the chip holds: the packet is put in the buffer before ep0 answers.
    realtime(20);
    uint8_t packet[512];
    while (!m_gone) {
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [this] {
                return m_gone || m_buffer.size() + m_chip.bulkSize <= m_chip.buffer;
            });
        }
        if (m_gone)
            return;
        const ssize_t got = ::read(m_out, packet, m_chip.bulkSize);
        if (got < 0) {
            if (errno == EINTR || errno == ESHUTDOWN || errno == ECONNRESET)
                continue;
            return;
        }
        std::lock_guard lock(m_mutex);
        m_buffer.insert(m_buffer.end(), packet, packet + got);
        m_bulkOut += got;
        if (got > 0 && !m_firstData) {
            m_firstData = true;
            log("first-data");
        }
        m_emptyLogged = false;
        m_changed.notify_all();
    }
}

// The UART: a character leaves the buffer every character time (start bit, data bits, parity,
// stop bits at the baud rate the driver set) while the chip may send: always, or, with RTS/CTS
// handshaking on, while CTS is on. The device counts what it got and holds off as planned.
void Player::runUart()
{
    std::unique_lock lock(m_mutex);
    while (!m_gone) {
        const auto now = Clock::now();
        if (!m_cts && now >= m_releaseAt) {
            m_releaseAt = Clock::time_point::max();
            setCts(true, lock);
        }
        const double bits = 1 + m_dataBits + (m_parity == 'N' ? 0 : 1) + m_halfStopBits / 2.0;
        const auto character = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(bits / std::max<uint32_t>(m_baud, 50)));
        // A late wake sends what the line would have sent meanwhile, but never more than 2 ms
        // of it at once.
        if (m_wireFreeAt < now - std::chrono::milliseconds(2))
            m_wireFreeAt = now - std::chrono::milliseconds(2);
        bool sent = false;
        while (!m_buffer.empty() && (m_cts || !m_ctsHandshake) && m_wireFreeAt <= now) {
            const uint8_t c = m_buffer.front();
            m_buffer.pop_front();
            m_wireFreeAt += character;
            if (m_bin)
                std::fputc(c, m_bin);
            ++m_received;
            sent = true;
            if (m_unplugAt >= 0 && m_received >= m_unplugAt) {
                m_unplugAt = -1;
                if (m_bin)
                    std::fflush(m_bin);
                log("unplug " + std::to_string(m_received));
                lock.unlock();
                unplug();
                return;
            }
            for (const Hold &hold : m_holds)
                if (hold.at == m_received && m_cts) {
                    setCts(false, lock);
                    m_releaseAt = hold.ms < 0 ? Clock::time_point::max()
                                              : now + std::chrono::milliseconds(hold.ms);
                }
        }
        if (sent) {
            if (m_bin)
                std::fflush(m_bin);
            m_changed.notify_all();
        }
        if (m_buffer.empty() && !m_emptyLogged && now >= m_wireFreeAt) {
            m_emptyLogged = true;
            log("empty " + std::to_string(m_received) + " bulk-out " + std::to_string(m_bulkOut),
                std::chrono::duration<double>(m_wireFreeAt.time_since_epoch()).count());
            m_changed.notify_all();
        }
        const bool busy = !m_buffer.empty() && (m_cts || !m_ctsHandshake);
        auto until = busy             ? std::max(m_wireFreeAt, now + std::chrono::milliseconds(1))
                     : !m_emptyLogged ? m_wireFreeAt
                                      : std::min(m_releaseAt, now + std::chrono::seconds(1));
        m_changed.wait_until(lock, until);
    }
}

// What the chip tells the host by itself: CH340 and PL2303 an interrupt packet when the modem
// lines change; FT232R a bulk IN packet of its two status bytes at least every latency-timer
// period (16 ms), and at once when they change (FT232R datasheet, and ftdi_sio.c
// ftdi_process_packet()). A write waits until the host polls, which it does while the port is
// open (the drivers submit their interrupt and read URBs in open).
void Player::reportStatus()
{
    const bool bulk = m_chip.kind == Kind::Ft232r;
    const int fd = bulk ? m_in : m_interrupt;
    const auto packet = [this] {
        Bytes status = modemStatus();
        if (m_chip.kind == Kind::Ch340)
            status = {0x08, 0x7d, status[0], 0xee}; // ch341_update_status(): data[2]
        return status;
    };
    Bytes last;
    while (!m_gone) {
        Bytes now;
        {
            std::unique_lock lock(m_mutex);
            const bool changed =
                m_changed.wait_for(lock, std::chrono::milliseconds(bulk ? m_latency : 1000),
                                   [&] { return m_gone || packet() != last; });
            if (m_gone)
                return;
            if (!changed && !bulk)
                continue;
            now = packet();
        }
        last = now;
        if (::write(fd, now.data(), now.size()) < 0 && errno != EINTR && errno != ESHUTDOWN &&
            errno != ECONNRESET)
            return;
    }
}

void Player::unplug()
{
    m_gone = true;
    m_changed.notify_all();
    (void)!::write(m_wake[1], "x", 1);
}

void Player::closeRecord()
{
    log("bulk-out " + std::to_string(m_bulkOut));
    if (m_log)
        std::fclose(m_log);
    if (m_bin)
        std::fclose(m_bin);
}

void Player::startPlan(std::istringstream &words)
{
    std::string name;
    words >> name;
    std::lock_guard lock(m_mutex);
    closeRecord();
    m_bin = std::fopen((m_folder + "/" + name + ".bin").c_str(), "wb");
    m_log = std::fopen((m_folder + "/" + name + ".log").c_str(), "w");
    m_holds.clear();
    m_unplugAt = -1;
    std::string word;
    while (words >> word) {
        if (word == "hold") {
            Hold hold{};
            words >> hold.at >> hold.ms;
            m_holds.push_back(hold);
        } else if (word == "unplug") {
            words >> m_unplugAt;
        }
    }
    m_received = m_bulkOut = 0;
    m_firstData = false;
    m_cts = true;
    m_releaseAt = Clock::time_point::max();
    for (const Hold &hold : m_holds)
        if (hold.at == 0) {
            m_cts = false;
            if (hold.ms >= 0)
                m_releaseAt = Clock::now() + std::chrono::milliseconds(hold.ms);
        }
    m_lastLine.clear();
    log("plan " + name);
    logLine();
    m_changed.notify_all();
}

void Player::readControl(const char *control)
{
    std::ifstream commands(control);
    std::string text;
    while (!m_gone && std::getline(commands, text)) {
        std::istringstream words(text);
        std::string command;
        words >> command;
        if (command == "plan") {
            startPlan(words);
        } else if (command == "release") {
            std::unique_lock lock(m_mutex);
            m_releaseAt = Clock::time_point::max();
            setCts(true, lock);
        } else if (command == "quit") {
            unplug();
        }
    }
}

int Player::run(const char *control)
{
    if (::pipe(m_wake) != 0)
        return 1;
    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &interrupt, nullptr); // no SA_RESTART: a blocked transfer returns
    m_ep0 = ::open("/dev/gadget/dummy_udc", O_RDWR);
    if (m_ep0 < 0)
        fail("/dev/gadget/dummy_udc");
    writeDescriptors();
    std::thread uart([this] { runUart(); });
    // The FIFO is opened for writing too, so that the writers' coming and going is no end.
    const int keep = ::open(control, O_RDWR);
    std::thread commands([this, control] { readControl(control); });
    commands.detach();
    serveEp0();
    m_gone = true;
    m_changed.notify_all();
    // A transfer under way on an endpoint holds that endpoint's lock, which closing ep0 needs
    // (destroy_ep_files() in inode.c): a signal ends the transfer (ep_io() waits
    // interruptibly), and the endpoint's thread then sees that the chip is gone.
    while (m_endpointThreads > 0) {
        for (std::thread &thread : m_threads)
            ::pthread_kill(thread.native_handle(), SIGUSR1);
        ::usleep(10000);
    }
    for (std::thread &thread : m_threads)
        thread.join();
    // Closing ep0 takes the device off the bus: the host sees it unplugged
    // (dev_release() in inode.c).
    ::close(m_ep0);
    uart.join();
    std::lock_guard lock(m_mutex);
    closeRecord();
    ::close(keep);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ch340|pl2303|cp2102|ft232r FOLDER CONTROL-FIFO\n", argv[0]);
        return 2;
    }
    for (const Chip &chip : kChips)
        if (std::strcmp(argv[1], chip.id) == 0)
            // The thread that reads the control FIFO may still wait there: ended with the process.
            std::_Exit(Player(chip, argv[2]).run(argv[3]));
    return 2;
}
