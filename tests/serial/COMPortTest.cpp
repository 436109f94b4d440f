// The serial layer against a simulated device: on POSIX a pseudo-terminal served in this
// process, on Windows (under Wine) a COM port mapped to the terminal of a simulator in
// another process. One source for both; what Wine cannot show is skipped there and stays
// covered on POSIX.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <memory>
#include <string>

#include "serial/COMUtils.h"
#include "PortProbe.h"
#include "SerialTestSupport.h"
#include "TestDevice.h"

namespace lintaro {
namespace {

using namespace testing_support;

const std::string Request = "+VER_INFO=?\r\n";
const std::string DefaultReply = "VER_INFO,DEMO1.2.3,SN0001\r\nOK\r\n";

bool IsNamedTerminalRate(int speed) {
    for (const int rate : {600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) {
        if (rate == speed) return true;
    }
    return false;
}

class SerialPortTest : public testing::Test {
protected:
    void SetUp() override {
        device = OpenTestDevice();
        device->setMode(TestDevice::Mode::Record);
    }
    void TearDown() override {
        CloseCOMPort(handle);
        CloseCOMPort(other);
    }

    std::string port() const { return device->port(); }
    const std::uint8_t* bytesOf(const std::string& s) {
        return reinterpret_cast<const std::uint8_t*>(s.data());
    }

    std::unique_ptr<TestDevice> device;
    COMHandle handle = InvalidCOMHandle;
    COMHandle other = InvalidCOMHandle;
};

TEST_F(SerialPortTest, every_byte_value_crosses_both_ways_unchanged) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    const std::string all = AllByteValues() + AllByteValues();

    EXPECT_EQ(WriteCOMPortStr(handle, all), static_cast<int>(all.size()));
    ASSERT_TRUE(device->waitForReceived(all.size(), WaitLimit));
    EXPECT_EQ(device->received(), all);

    device->send(all);
    EXPECT_EQ(ReadFromPort(handle, all.size()), all);
}

TEST_F(SerialPortTest, the_device_answers_its_identification_request) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    ASSERT_EQ(WriteCOMPortStr(handle, Request), static_cast<int>(Request.size()));
    EXPECT_EQ(ReadFromPortUntil(handle, "OK\r\n"), DefaultReply);
    EXPECT_EQ(device->identificationRequests(), 1u);
}

TEST_F(SerialPortTest, a_held_port_cannot_be_opened_again_until_it_is_closed) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine opens a pseudo-terminal twice although the share mode is 0; "
                        "Windows refuses the second open";
    }
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));

    other = 12345;
    EXPECT_FALSE(OpenCOMPort(port(), 19200, other));
    EXPECT_EQ(other, InvalidCOMHandle);
    // Also under the terminal's own device name.
    if (const std::string terminal = device->terminalPath(); !terminal.empty()) {
        EXPECT_FALSE(OpenCOMPort(terminal, 19200, other));
        EXPECT_EQ(other, InvalidCOMHandle);
    }

    ASSERT_TRUE(CloseCOMPort(handle));
    EXPECT_EQ(handle, InvalidCOMHandle);
    EXPECT_TRUE(OpenCOMPort(port(), 19200, other));
}

TEST_F(SerialPortTest, a_refused_speed_leaves_the_open_port_for_the_caller_to_close) {
    for (const int speed : {0, -1, -19200}) {
        SCOPED_TRACE(speed);
        EXPECT_FALSE(OpenCOMPort(port(), speed, handle));
        ASSERT_NE(handle, InvalidCOMHandle);
        EXPECT_TRUE(IsOpenHandle(handle)) << "the handle is no open handle";
        EXPECT_TRUE(CloseCOMPort(handle));
        EXPECT_EQ(handle, InvalidCOMHandle);
    }
    // Nothing of the failed opens keeps the port held.
    EXPECT_TRUE(OpenCOMPort(port(), 19200, handle));
}

TEST_F(SerialPortTest, every_offered_speed_is_set_with_eight_data_bits_no_parity_one_stop_bit) {
    for (const int speed : {600, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600,
                            115200, 128000, 256000}) {
        SCOPED_TRACE(speed);
        if (RunningUnderWine() && !IsNamedTerminalRate(speed)) {
            // Wine maps a rate to the terminal only through the rates termios names; a
            // Windows driver takes these rates as they are.
            continue;
        }
        ASSERT_TRUE(OpenCOMPort(port(), speed, handle));
        const auto line = ReadLineSettings(handle);
        ASSERT_TRUE(line.has_value());
        EXPECT_EQ(*line, (LineSettings{static_cast<unsigned>(speed), 8, false, false}));
        ASSERT_TRUE(CloseCOMPort(handle));
    }
}

#ifdef _WIN32
// Only the line settings change: every flag keeps what the driver reported, but for the
// low bit of the RTS mode, which turns RTS on.
TEST_F(SerialPortTest, the_line_settings_keep_the_drivers_flags_and_turn_rts_on) {
    const std::wstring path = L"\\\\.\\" + std::wstring(port().begin(), port().end());
    const HANDLE raw = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    handle = reinterpret_cast<COMHandle>(raw);
    DCB before{};
    before.DCBlength = sizeof before;
    ASSERT_TRUE(GetCommState(raw, &before));

    ASSERT_TRUE(SetCOMPortState(handle, 9600));
    DCB after{};
    after.DCBlength = sizeof after;
    ASSERT_TRUE(GetCommState(raw, &after));
    EXPECT_EQ(after.BaudRate, 9600u);
    EXPECT_EQ(after.ByteSize, 8);
    EXPECT_EQ(after.Parity, NOPARITY);
    EXPECT_EQ(after.StopBits, ONESTOPBIT);
    EXPECT_EQ(after.fRtsControl, before.fRtsControl | RTS_CONTROL_ENABLE);
    EXPECT_EQ(after.fBinary, before.fBinary);
    EXPECT_EQ(after.fParity, before.fParity);
    EXPECT_EQ(after.fOutxCtsFlow, before.fOutxCtsFlow);
    EXPECT_EQ(after.fOutxDsrFlow, before.fOutxDsrFlow);
    EXPECT_EQ(after.fDtrControl, before.fDtrControl);
    EXPECT_EQ(after.fDsrSensitivity, before.fDsrSensitivity);
    EXPECT_EQ(after.fOutX, before.fOutX);
    EXPECT_EQ(after.fInX, before.fInX);
    EXPECT_EQ(after.fNull, before.fNull);
    EXPECT_EQ(after.fAbortOnError, before.fAbortOnError);
}
#endif

TEST_F(SerialPortTest, reading_with_nothing_waiting_gives_nothing) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    std::uint8_t buffer[16];
    EXPECT_EQ(ReadCOMPort(handle, buffer, sizeof buffer), 0);
    std::string data = "stale";
    ReadCOMPortStr(handle, data);
    EXPECT_EQ(data, "");
    EXPECT_EQ(ReadCOMPort(handle, nullptr, 16), -1);
}

TEST_F(SerialPortTest, input_left_from_before_the_open_or_a_discard_is_purged) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    device->send("stale");
    ASSERT_TRUE(WaitUntil([&] { return BytesWaiting(handle).value_or(0) >= 5; }));
    // Closing leaves the bytes queued in the terminal, which the device keeps open.
    ASSERT_TRUE(CloseCOMPort(handle));

    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    EXPECT_EQ(BytesWaiting(handle), std::optional<std::size_t>(0));
    device->send("new");
    EXPECT_EQ(ReadFromPort(handle, 3), "new");

    device->send("stale");
    ASSERT_TRUE(WaitUntil([&] { return BytesWaiting(handle).value_or(0) >= 5; }));
    EXPECT_TRUE(DiscardCOMPortInput(handle));
    EXPECT_EQ(BytesWaiting(handle), std::optional<std::size_t>(0));
    device->send("next");
    EXPECT_EQ(ReadFromPort(handle, 4), "next");
}

#ifndef _WIN32
// The driver keeps a port's settings for the next program that opens it.
TEST_F(SerialPortTest, the_close_gives_the_port_its_earlier_line_settings_back) {
    const int own = ::open(port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(own, 0);
    termios before{}, after{};
    ::tcgetattr(own, &before);
    before.c_lflag |= ICANON | ECHO;
    ::cfsetspeed(&before, B1200);
    ASSERT_EQ(::tcsetattr(own, TCSANOW, &before) | ::tcgetattr(own, &before), 0);
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle) && CloseCOMPort(handle));
    ASSERT_EQ(::tcgetattr(own, &after), 0);
    ::close(own);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(::cfgetospeed(&after), B1200);
}
#endif

TEST_F(SerialPortTest, a_long_stream_is_read_in_pieces_without_loss) {
    ASSERT_TRUE(OpenCOMPort(port(), 115200, handle));
    for (const std::size_t capacity : {COMBufferSize, std::size_t{700}, std::size_t{1}}) {
        SCOPED_TRACE(capacity);
        const std::string data =
            RandomBytes(capacity == 1 ? 3000 : 100000, static_cast<unsigned>(capacity));
        device->send(data);
        EXPECT_EQ(ReadFromPort(handle, data.size(), capacity), data);
    }
}

TEST_F(SerialPortTest, an_empty_write_takes_nothing) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    EXPECT_EQ(WriteCOMPortStr(handle, ""), 0);
    const std::uint8_t byte = 1;
    EXPECT_EQ(WriteCOMPort(handle, &byte, 0), 0);
    EXPECT_EQ(WriteCOMPort(handle, &byte, -5), 0);
    EXPECT_EQ(WriteCOMPort(handle, nullptr, 5), -1);
    EXPECT_FALSE(device->waitForReceived(1, std::chrono::milliseconds(100)));
}

TEST_F(SerialPortTest, a_stalled_write_returns_what_the_port_took) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine applies no write time-outs to a pseudo-terminal: a write the "
                        "device does not take waits for good";
    }
    ASSERT_TRUE(OpenCOMPort(port(), 115200, handle));
    device->setReading(false);
    const std::string data = RandomBytes(1 << 20, 7);

    const int taken = WriteCOMPort(handle, bytesOf(data), static_cast<int>(data.size()));
    EXPECT_GT(taken, 0);
    ASSERT_LT(taken, static_cast<int>(data.size()));

    // What the port took arrives once the device reads again, and nothing else.
    device->setReading(true);
    ASSERT_TRUE(device->waitForReceived(static_cast<std::size_t>(taken), WaitLimit));
    EXPECT_EQ(device->received(), data.substr(0, static_cast<std::size_t>(taken)));
    EXPECT_TRUE(CloseCOMPort(handle));
}

TEST_F(SerialPortTest, a_vanished_port_is_absent_until_it_returns_and_then_reopens) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    EXPECT_TRUE(COMPortExists(port()));
    // With no device record at all the open port answers for itself.
    device->dropDeviceRecord();
    EXPECT_TRUE(COMPortExists(port()));

    device->vanish();
    EXPECT_FALSE(COMPortExists(port()));
    // The open port reads as silence and refuses writes, without a signal.
    std::uint8_t buffer[16];
    EXPECT_EQ(ReadCOMPort(handle, buffer, sizeof buffer), 0);
#ifdef _WIN32
    // Silence because the port can no longer be queried, not because nothing came.
    DWORD errors = 0;
    COMSTAT status{};
    EXPECT_FALSE(ClearCommError(reinterpret_cast<HANDLE>(handle), &errors, &status));
#endif
    EXPECT_EQ(WriteCOMPortStr(handle, "lost"), 0);
    EXPECT_TRUE(CloseCOMPort(handle));
    EXPECT_FALSE(OpenCOMPort(port(), 19200, handle));
    // Wine still opens a port registered for the prefix whose terminal is gone, and only
    // its set-up fails; on Windows and POSIX the open itself fails.
    if (!RunningUnderWine()) {
        EXPECT_EQ(handle, InvalidCOMHandle);
    }
    EXPECT_TRUE(CloseCOMPort(handle));

    device->reappear();
    EXPECT_TRUE(COMPortExists(port()));
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    EXPECT_EQ(WriteCOMPortStr(handle, "back"), 4);
    ASSERT_TRUE(device->waitForReceived(4, WaitLimit));
    EXPECT_EQ(device->received(), "back");
    device->send("again");
    EXPECT_EQ(ReadFromPort(handle, 5), "again");
}

TEST(COMPortClose, closing_no_port_succeeds_and_a_dead_handle_is_kept) {
    COMHandle none = InvalidCOMHandle;
    EXPECT_TRUE(CloseCOMPort(none));
    EXPECT_EQ(none, InvalidCOMHandle);

    const COMHandle closed = ClosedHandle();
    COMHandle dead = closed;
    EXPECT_FALSE(CloseCOMPort(dead));
    EXPECT_EQ(dead, closed);
}

}  // namespace
}  // namespace lintaro
