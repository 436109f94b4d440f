// The serial layer against a simulated device on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "COMUtils.h"
#include "DeviceSimulator.h"
#include "LineSpeed.h"
#include "SerialTestSupport.h"

namespace lintaro {
namespace {

using namespace testing_support;
using devsim::DeviceSimulator;
using devsim::InstrumentPersonality;

class SerialPortTest : public testing::Test {
protected:
    void SetUp() override {
        device->setMode(InstrumentPersonality::Mode::Record);
        simulator.start();
    }
    void TearDown() override {
        CloseCOMPort(handle);
        CloseCOMPort(other);
    }

    const std::string& port() const { return simulator.portPath(); }
    const std::uint8_t* bytesOf(const std::string& s) {
        return reinterpret_cast<const std::uint8_t*>(s.data());
    }

    PortFolder folder;
    std::shared_ptr<InstrumentPersonality> device = std::make_shared<InstrumentPersonality>();
    DeviceSimulator simulator{folder.path(), "sim0", device};
    COMHandle handle = InvalidCOMHandle;
    COMHandle other = InvalidCOMHandle;
};

TEST_F(SerialPortTest, every_byte_value_crosses_both_ways_unchanged) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    const std::string all = AllByteValues() + AllByteValues();

    EXPECT_EQ(WriteCOMPortStr(handle, all), static_cast<int>(all.size()));
    ASSERT_TRUE(simulator.waitForReceived(all.size(), WaitLimit));
    EXPECT_EQ(simulator.received(), all);

    simulator.send(all);
    EXPECT_EQ(ReadFromPort(handle, all.size()), all);
}

TEST_F(SerialPortTest, a_held_port_cannot_be_opened_again_until_it_is_closed) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));

    other = 12345;
    EXPECT_FALSE(OpenCOMPort(port(), 19200, other));
    EXPECT_EQ(other, InvalidCOMHandle);
    // Also under the terminal's own device name.
    EXPECT_FALSE(OpenCOMPort(simulator.slavePath(), 19200, other));
    EXPECT_EQ(other, InvalidCOMHandle);

    ASSERT_TRUE(CloseCOMPort(handle));
    EXPECT_EQ(handle, InvalidCOMHandle);
    EXPECT_TRUE(OpenCOMPort(port(), 19200, other));
}

TEST_F(SerialPortTest, a_refused_speed_leaves_the_open_port_for_the_caller_to_close) {
    for (const int speed : {0, -1, -19200}) {
        SCOPED_TRACE(speed);
        EXPECT_FALSE(OpenCOMPort(port(), speed, handle));
        ASSERT_NE(handle, InvalidCOMHandle);
        EXPECT_NE(::fcntl(static_cast<int>(handle), F_GETFD), -1)
            << "the handle is no open descriptor";
        EXPECT_TRUE(CloseCOMPort(handle));
        EXPECT_EQ(handle, InvalidCOMHandle);
    }
    // Nothing of the failed opens keeps the port held.
    EXPECT_TRUE(OpenCOMPort(port(), 19200, handle));
}

TEST_F(SerialPortTest, every_offered_speed_is_set) {
    for (const int speed : {600, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600,
                            115200, 128000, 256000}) {
        SCOPED_TRACE(speed);
        ASSERT_TRUE(OpenCOMPort(port(), speed, handle));
        EXPECT_EQ(ReadLineSpeed(static_cast<int>(handle)), static_cast<unsigned>(speed));
        ASSERT_TRUE(CloseCOMPort(handle));
    }
}

TEST_F(SerialPortTest, reading_with_nothing_waiting_gives_nothing) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    std::uint8_t buffer[16];
    EXPECT_EQ(ReadCOMPort(handle, buffer, sizeof buffer), 0);
    std::string data = "stale";
    ReadCOMPortStr(handle, data);
    EXPECT_EQ(data, "");
    EXPECT_EQ(ReadCOMPort(handle, nullptr, 16), -1);
}

TEST_F(SerialPortTest, a_long_stream_is_read_in_pieces_without_loss) {
    ASSERT_TRUE(OpenCOMPort(port(), 115200, handle));
    for (const std::size_t capacity : {COMBufferSize, std::size_t{700}, std::size_t{1}}) {
        SCOPED_TRACE(capacity);
        const std::string data =
            RandomBytes(capacity == 1 ? 3000 : 100000, static_cast<unsigned>(capacity));
        simulator.send(data);
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
}

TEST_F(SerialPortTest, a_stalled_write_returns_what_the_port_took) {
    ASSERT_TRUE(OpenCOMPort(port(), 115200, handle));
    simulator.setReading(false);
    const std::string data = RandomBytes(1 << 20, 7);

    const int taken = WriteCOMPort(handle, bytesOf(data), static_cast<int>(data.size()));
    EXPECT_GT(taken, 0);
    ASSERT_LT(taken, static_cast<int>(data.size()));

    // What the port took arrives once the device reads again, and nothing else.
    simulator.setReading(true);
    ASSERT_TRUE(simulator.waitForReceived(static_cast<std::size_t>(taken), WaitLimit));
    EXPECT_EQ(simulator.received(), data.substr(0, static_cast<std::size_t>(taken)));
    EXPECT_TRUE(CloseCOMPort(handle));
}

TEST_F(SerialPortTest, a_vanished_port_is_absent_until_it_returns_and_then_reopens) {
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    EXPECT_TRUE(COMPortExists(port()));

    simulator.vanish();
    EXPECT_FALSE(COMPortExists(port()));
    // The open port reads as silence and refuses writes, without a signal.
    std::uint8_t buffer[16];
    EXPECT_EQ(ReadCOMPort(handle, buffer, sizeof buffer), 0);
    EXPECT_EQ(WriteCOMPortStr(handle, "lost"), 0);
    EXPECT_TRUE(CloseCOMPort(handle));
    EXPECT_FALSE(OpenCOMPort(port(), 19200, handle));
    EXPECT_EQ(handle, InvalidCOMHandle);

    simulator.reappear();
    EXPECT_TRUE(COMPortExists(port()));
    ASSERT_TRUE(OpenCOMPort(port(), 19200, handle));
    EXPECT_EQ(WriteCOMPortStr(handle, "back"), 4);
    ASSERT_TRUE(simulator.waitForReceived(4, WaitLimit));
    EXPECT_EQ(simulator.received(), "back");
    simulator.send("again");
    EXPECT_EQ(ReadFromPort(handle, 5), "again");
}

TEST(COMPortClose, closing_no_port_succeeds_and_a_dead_handle_is_kept) {
    COMHandle none = InvalidCOMHandle;
    EXPECT_TRUE(CloseCOMPort(none));
    EXPECT_EQ(none, InvalidCOMHandle);

    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ::close(fd);
    COMHandle dead = static_cast<COMHandle>(fd);
    EXPECT_FALSE(CloseCOMPort(dead));
    EXPECT_EQ(dead, static_cast<COMHandle>(fd));
}

}  // namespace
}  // namespace lintaro
