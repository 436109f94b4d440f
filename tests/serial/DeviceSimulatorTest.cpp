// The device simulator as the host sees it through the serial layer, and the program
// lintaro-devsim.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "serial/COMUtils.h"
#include "DeviceSimulator.h"
#include "DevsimProcess.h"
#include "SerialTestSupport.h"
#include "TestDevice.h"

extern char** environ;

namespace lintaro {
namespace {

using namespace testing_support;
using devsim::DeviceSimulator;
using devsim::InstrumentPersonality;

const std::string Request(InstrumentPersonality::IdentificationRequest);
const std::string DefaultReply(InstrumentPersonality::DefaultIdentification);

class DeviceSimulatorTest : public testing::Test {
protected:
    void SetUp() override {
        simulator.start();
        ASSERT_TRUE(OpenCOMPort(simulator.portPath(), 19200, handle));
    }
    void TearDown() override { CloseCOMPort(handle); }

    void write(const std::string& bytes) {
        ASSERT_EQ(WriteCOMPortStr(handle, bytes), static_cast<int>(bytes.size()));
    }

    PortFolder folder;
    std::shared_ptr<InstrumentPersonality> device = std::make_shared<InstrumentPersonality>();
    DeviceSimulator simulator{folder.path(), "sim0", device};
    COMHandle handle = InvalidCOMHandle;
};

TEST_F(DeviceSimulatorTest, a_request_split_over_reads_is_answered_and_not_echoed) {
    write("abc+VER_");
    ASSERT_TRUE(simulator.waitForReceived(8, WaitLimit));
    write(Request.substr(5) + "xyz");

    EXPECT_EQ(ReadFromPortUntil(handle, "xyz"), "abc" + DefaultReply + "xyz");
    EXPECT_EQ(simulator.received(), "abc" + Request + "xyz");
    std::string joined;
    for (const std::string& chunk : simulator.receivedChunks()) joined += chunk;
    EXPECT_EQ(joined, simulator.received());
    EXPECT_GE(simulator.receivedChunks().size(), 2u);
    EXPECT_EQ(device->identificationRequests(), 1u);
}

TEST_F(DeviceSimulatorTest, a_reply_in_delayed_pieces_arrives_whole) {
    device->setIdentification({"VER_INFO,DEMO", "7.0\r\nO", "K\r\n"},
                              std::chrono::milliseconds(30));
    write(Request);
    EXPECT_EQ(ReadFromPortUntil(handle, "OK\r\n"), "VER_INFO,DEMO7.0\r\nOK\r\n");
}

TEST_F(DeviceSimulatorTest, a_silent_device_answers_nothing_but_still_echoes) {
    device->setIdentification(std::vector<std::string>{});
    write(Request + "ping+");
    // A reply would have been queued before the echo; a "+" that could begin another
    // request comes back once the host is quiet.
    EXPECT_EQ(ReadFromPortUntil(handle, "ping+"), "ping+");
    EXPECT_EQ(device->identificationRequests(), 1u);
}

TEST_F(DeviceSimulatorTest, record_mode_answers_the_request_and_echoes_nothing) {
    device->setMode(InstrumentPersonality::Mode::Record);
    write("hello" + Request);
    EXPECT_EQ(ReadFromPortUntil(handle, "OK\r\n"), DefaultReply);
    EXPECT_EQ(simulator.received(), "hello" + Request);
}

TEST_F(DeviceSimulatorTest, an_unplugged_device_forgets_a_half_received_request) {
    write("+VER_INFO");
    ASSERT_TRUE(simulator.waitForReceived(9, WaitLimit));
    simulator.vanish();
    ASSERT_TRUE(CloseCOMPort(handle));
    simulator.reappear();
    ASSERT_TRUE(OpenCOMPort(simulator.portPath(), 19200, handle));

    write("=?\r\nz");
    EXPECT_EQ(ReadFromPortUntil(handle, "z"), "=?\r\nz");
    EXPECT_EQ(device->identificationRequests(), 0u);
}


TEST(DevsimProgram, serves_a_port_unplugs_and_returns_on_signals_and_cleans_up) {
    PortFolder folder;
    DevsimProcess program({"--dir", folder.path(), "--name", "dev0", "--id", "VER_INFO,TEST9",
                           "--id", "\\r\\nOK\\r\\n", "--id-gap", "10"});
    ASSERT_TRUE(program.running());
    const std::string port = program.readLine();
    ASSERT_EQ(port, folder / "dev0");

    COMHandle handle = InvalidCOMHandle;
    ASSERT_TRUE(OpenCOMPort(port, 19200, handle));
    ASSERT_EQ(WriteCOMPortStr(handle, Request), static_cast<int>(Request.size()));
    EXPECT_EQ(ReadFromPortUntil(handle, "OK\r\n"), "VER_INFO,TEST9\r\nOK\r\n");

    program.signal(SIGUSR1);
    EXPECT_TRUE(WaitUntil([&] { return !COMPortExists(port); }));
    EXPECT_TRUE(CloseCOMPort(handle));

    program.signal(SIGUSR2);
    EXPECT_TRUE(WaitUntil([&] { return COMPortExists(port); }));
    ASSERT_TRUE(OpenCOMPort(port, 19200, handle));
    ASSERT_EQ(WriteCOMPortStr(handle, "ping"), 4);
    EXPECT_EQ(ReadFromPortUntil(handle, "ping"), "ping");
    EXPECT_TRUE(CloseCOMPort(handle));

    program.signal(SIGTERM);
    const int status = program.waitForExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(port)));
}

// The control channel through which a test program in another process (a Windows one
// under Wine) drives the simulator: every command, against the real serial layer.
TEST(DevsimProgram, the_control_channel_drives_the_device_and_reset_restores_it) {
    PortFolder folder;
    DevsimProcess program({"--dir", folder.path(), "--name", "dev1", "--mode", "record",
                           "--control", "0"});
    ASSERT_TRUE(program.running());
    const std::string port = program.readLine();
    const std::string control = program.readLine();
    ASSERT_EQ(control.rfind("control ", 0), 0u) << control;
    auto device = OpenRemoteDevice(port, std::stoi(control.substr(8)));
    EXPECT_EQ(device->port(), port);

    COMHandle handle = InvalidCOMHandle;
    ASSERT_TRUE(OpenCOMPort(port, 19200, handle));
    const std::string all = AllByteValues();
    ASSERT_EQ(WriteCOMPortStr(handle, all), 256);
    ASSERT_TRUE(device->waitForReceived(256, WaitLimit));
    EXPECT_EQ(device->received(), all);
    EXPECT_FALSE(device->waitForReceived(257, std::chrono::milliseconds(50)));
    device->send(all);
    EXPECT_EQ(ReadFromPort(handle, 256), all);

    device->setIdentification({"VER_INFO,R", "EM7.1\r\nOK\r\n"}, std::chrono::milliseconds(5));
    ASSERT_EQ(WriteCOMPortStr(handle, Request), static_cast<int>(Request.size()));
    EXPECT_EQ(ReadFromPortUntil(handle, "OK\r\n"), "VER_INFO,REM7.1\r\nOK\r\n");
    EXPECT_EQ(device->identificationRequests(), 1u);

    device->clearReceived();
    device->setMode(TestDevice::Mode::Echo);
    ASSERT_EQ(WriteCOMPortStr(handle, "echo"), 4);
    EXPECT_EQ(ReadFromPortUntil(handle, "echo"), "echo");

    device->vanish();
    EXPECT_FALSE(COMPortExists(port));
    EXPECT_TRUE(CloseCOMPort(handle));
    device->reappear();
    EXPECT_TRUE(COMPortExists(port));

    // A fresh device for the next test: present, reading, start-up mode and reply.
    device->setReading(false);
    device->vanish();
    device.reset();  // the channel serves one test program at a time
    const auto fresh = OpenRemoteDevice(port, std::stoi(control.substr(8)));
    EXPECT_TRUE(COMPortExists(port));
    EXPECT_EQ(fresh->received(), "");
    ASSERT_TRUE(OpenCOMPort(port, 19200, handle));
    ASSERT_EQ(WriteCOMPortStr(handle, "quiet" + Request), 5 + static_cast<int>(Request.size()));
    EXPECT_EQ(ReadFromPortUntil(handle, "OK\r\n"), DefaultReply);
    ASSERT_TRUE(fresh->waitForReceived(5 + Request.size(), WaitLimit));
    EXPECT_TRUE(CloseCOMPort(handle));
}

}  // namespace
}  // namespace lintaro
