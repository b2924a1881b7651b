#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "serial/serial_port_posix.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

double seconds_since(steady::time_point start) { return std::chrono::duration<double>(steady::now() - start).count(); }

// A port opened and set up on a fresh pseudo-terminal whose slave keeps the kernel's defaults
// (IXON on, canonical, echo), the worst a POSIX port can be found in.
struct open_port {
    open_port()
    {
        EXPECT_EQ(port.open_device(line.slave_path.c_str()), phase_result::success);
        port.setup_comport();
        make_raw(line.master);
    }
    pty_pair line{pty_pair::held::master_only};
    posix_serial_port port;
};

std::string reply_text(const unsigned char* reply, std::uint32_t count)
{
    return std::string(reinterpret_cast<const char*>(reply), count);
}

TEST(PosixSerialPort, SetupGives115200EightNoneOneAndKeepsHardwareFlowControl)
{
    for (const bool rtscts : {false, true}) {
        pty_pair line(pty_pair::held::master_only);
        termios found{};
        ASSERT_EQ(tcgetattr(line.master, &found), 0);
        found.c_cflag = rtscts ? (found.c_cflag | CRTSCTS) : (found.c_cflag & ~static_cast<tcflag_t>(CRTSCTS));
        found.c_cflag |= PARENB | CSTOPB;
        found.c_cflag = (found.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7;
        found.c_iflag |= IXON | IXOFF | ICRNL;
        ASSERT_EQ(tcsetattr(line.master, TCSANOW, &found), 0);

        posix_serial_port port;
        ASSERT_EQ(port.open_device(line.slave_path.c_str()), phase_result::success);
        port.setup_comport();

        termios now{};
        ASSERT_EQ(tcgetattr(line.master, &now), 0);
        EXPECT_EQ(cfgetispeed(&now), B115200);
        EXPECT_EQ(cfgetospeed(&now), B115200);
        EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(now.c_cflag & (PARENB | CSTOPB), 0U);
        EXPECT_NE(now.c_cflag & CREAD, 0U);
        EXPECT_NE(now.c_cflag & CLOCAL, 0U);
        EXPECT_EQ((now.c_cflag & CRTSCTS) != 0, rtscts) << "hardware flow control must stay as found";
        EXPECT_EQ(now.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0U);
        EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
        EXPECT_EQ(now.c_oflag & OPOST, 0U);
    }
}

TEST(PosixSerialPort, SetupAppliesTheNormalProfileToAllFiveFields)
{
    open_port p;
    p.port.set_timeouts(timeout_profile::erase);
    p.port.setup_comport();
    const comm_timeouts& t = p.port.timeouts();
    for (const std::uint32_t field : {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
             t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}) {
        EXPECT_EQ(field, 1000U);
    }
    p.port.set_timeouts(timeout_profile::erase);
    EXPECT_EQ(p.port.timeouts().ReadIntervalTimeout, 10000U);
    EXPECT_EQ(p.port.timeouts().WriteTotalTimeoutConstant, 10000U);
}

TEST(PosixSerialPort, ControlBytesPassBothWaysUntouched)
{
    open_port p;
    const std::string tricky("\x11\x13\x0D\x0A\x7F\x03\x1C\x00\xFF\x04\x1A", 11);

    p.port.send_block(reinterpret_cast<const unsigned char*>(tricky.data()), static_cast<std::uint32_t>(tricky.size()));
    EXPECT_EQ(p.port.bytes_written, tricky.size());
    EXPECT_EQ(read_for(p.line.master, 300ms, 2s), tricky);

    const std::string reply = tricky.substr(0, 8);
    ASSERT_TRUE(write_all(p.line.master, reply));
    unsigned char in[8] = {};
    EXPECT_EQ(p.port.read_reply(in), 8U);
    EXPECT_EQ(p.port.bytes_read, 8U);
    EXPECT_EQ(reply_text(in, 8), reply);
}

TEST(PosixSerialPort, WholePageGoesOutInOneSend)
{
    open_port p;
    std::string page(4096, '\0');
    for (std::size_t i = 0; i < page.size(); ++i) {
        page[i] = static_cast<char>(i * 7 + 3);
    }
    std::string received;
    std::thread reader([&] { received = read_for(p.line.master, 500ms, 10s); });
    p.port.send_block(reinterpret_cast<const unsigned char*>(page.data()), 4096);
    reader.join();
    EXPECT_EQ(p.port.bytes_written, 4096U);
    EXPECT_EQ(received, page);
}

TEST(PosixSerialPort, ShortReplyEndsAfterTheInterval)
{
    open_port p;
    ASSERT_TRUE(write_all(p.line.master, "12345"));
    unsigned char in[8] = {0, 0, 0, 0, 0, 'x', 'y', 'z'};
    const auto start = steady::now();
    EXPECT_EQ(p.port.read_reply(in), 5U);
    const double took = seconds_since(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(reply_text(in, 8), "12345xyz") << "bytes past the count must keep what was there";
}

TEST(PosixSerialPort, ExtraBytesStayForTheNextRead)
{
    open_port p;
    ASSERT_TRUE(write_all(p.line.master, "ABCDEFGHIJ"));
    unsigned char in[8] = {};
    EXPECT_EQ(p.port.read_reply(in), 8U);
    EXPECT_EQ(reply_text(in, 8), "ABCDEFGH");
    EXPECT_EQ(p.port.read_reply(in), 2U);
    EXPECT_EQ(reply_text(in, 2), "IJ");
}

TEST(PosixSerialPort, ProfileDecidesWhetherAGapEndsTheRead)
{
    struct row {
        timeout_profile profile;
        std::uint32_t expected;
    };
    for (const row r : {row{timeout_profile::normal, 4}, row{timeout_profile::erase, 8}}) {
        open_port p;
        p.port.set_timeouts(r.profile);
        std::thread device([&] {
            (void)write_all(p.line.master, "abcd");
            std::this_thread::sleep_for(1500ms);
            (void)write_all(p.line.master, "efgh");
        });
        unsigned char in[8] = {};
        const std::uint32_t got = p.port.read_reply(in);
        device.join();
        EXPECT_EQ(got, r.expected) << profile_ms(r.profile);
    }
}

TEST(PosixSerialPort, SilentDeviceGivesNothingAfterTheTotalLimit)
{
    open_port p;
    unsigned char in[8] = {};
    const auto start = steady::now();
    EXPECT_EQ(p.port.read_reply(in), 0U);
    const double took = seconds_since(start);
    EXPECT_GE(took, 8.5);
    EXPECT_LT(took, 11.0);
}

TEST(PosixSerialPort, HungUpDeviceEndsTheReadAtOnce)
{
    open_port p;
    p.line.hang_up();
    unsigned char in[8] = {};
    const auto start = steady::now();
    EXPECT_EQ(p.port.read_reply(in), 0U);
    EXPECT_LT(seconds_since(start), 0.5);
}

TEST(PosixSerialPort, SecondOpenOfAHeldPortFails)
{
    pty_pair line(pty_pair::held::master_only);
    posix_serial_port first;
    ASSERT_EQ(first.open_device(line.slave_path.c_str()), phase_result::success);
    posix_serial_port second;
    EXPECT_EQ(second.open_device(line.slave_path.c_str()), phase_result::failure);
}

TEST(PosixSerialPort, ClosingThePortMakesTheLineShareableAgain)
{
    // The device keeps its end open across both ports, and the flag lives on the line as long.
    pty_pair line(pty_pair::held::master_only);
    {
        posix_serial_port port;
        ASSERT_EQ(port.open_device(line.slave_path.c_str()), phase_result::success);
        port.setup_comport();
        EXPECT_EQ(line.exclusive_flag(), 1);
    }
    EXPECT_EQ(line.exclusive_flag(), 0) << "only root could open the line after this run";
    posix_serial_port next;
    EXPECT_EQ(next.open_device(line.slave_path.c_str()), phase_result::success);
    EXPECT_EQ(line.exclusive_flag(), 1);
}

TEST(PosixSerialPort, AnExclusiveFlagFoundSetIsLeftSet)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root opens a line whose exclusive flag is set";
    }
    // Left set by a program that was killed, on a line the device keeps open: not this run's to
    // clear, whether the run refuses the line or goes on with it.
    pty_pair line(pty_pair::held::master_only);
    const int other = open(line.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    int found = 0;
    const bool can_tell = ioctl(other, TIOCGEXCL, &found) == 0;
    ASSERT_EQ(close(other), 0);
    if (!can_tell) {
        GTEST_SKIP() << "this kernel, or the emulator that runs the test, cannot tell the flag";
    }
    {
        posix_serial_port port;
        ASSERT_EQ(port.open_device(line.slave_path.c_str()), phase_result::success);
    }
    EXPECT_EQ(line.exclusive_flag(), 1) << "a flag this run did not set was cleared";
}

// Another program opens the line while a reply is awaited (root passes the exclusive flag): one
// that keeps it would take the device's replies, and the read ends at once with nothing more sent;
// one gone again leaves the exchange going, and is only remembered for a failure that follows.
TEST(PosixSerialPort, AnOpenDuringTheExchangeIsLookedUpAtOnce)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root's open passes the exclusive flag";
    }
    struct row {
        const char* what;
        bool keeps_it;
        std::uint32_t reply_read;
        std::string reason_after; // " (PID ...)" follows where the program still had the line
        bool sends_after;
    };
    const row rows[] = {
        {"kept open", true, 0, "opened by another program during the update", false},
        {"closed again at once", false, 8, "opened by another program during the update", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        open_port p;
        line_opener opener(p.line.slave_path, line_opener::when::told, r.keeps_it);
        EXPECT_EQ(p.port.line_taken_during_update().why(), "") << "before any open";
        // One that closes the line again does so before the read looks: otherwise the look may
        // still find it open, as a look at that instant rightly would.
        if (!r.keeps_it) {
            ASSERT_TRUE(opener.open_now());
        }
        std::thread device([&] {
            if (r.keeps_it) {
                ASSERT_TRUE(opener.open_now());
            }
            std::this_thread::sleep_for(300ms);
            (void)write_all(p.line.master, "ABCDEFGH");
        });
        unsigned char in[8] = {};
        const auto start = steady::now();
        EXPECT_EQ(p.port.read_reply(in), r.reply_read);
        EXPECT_LT(seconds_since(start), 5.0) << "the read did not end";
        device.join();
        const std::string who =
            r.keeps_it ? " (PID " + std::to_string(opener.pid) + ", " + command_name(opener.pid) + ")" : "";
        EXPECT_EQ(p.port.line_taken_during_update().why(), r.reason_after + who);
        EXPECT_EQ(p.port.line_taken_during_update().subject(), p.line.slave_path);
        p.port.send_block(reinterpret_cast<const unsigned char*>("frame"), 5);
        EXPECT_EQ(read_for(p.line.master, 100ms, 500ms), r.sends_after ? "frame" : "");
    }
}

TEST(PosixSerialPort, OnlyTerminalsOpen)
{
    temp_dir dir;
    const std::string plain = dir.write_file("plain", "data");
    posix_serial_port port;
    EXPECT_EQ(port.open_device(plain.c_str()), phase_result::failure);
    EXPECT_EQ(port.open_device((dir.path + "/absent").c_str()), phase_result::failure);
}

TEST(PosixSerialPort, ComDirectoryLinkNamesThePort)
{
    temp_dir dir;
    const device_line line(dir.path, 12);
    ASSERT_EQ(setenv("TARVOLO_COM_DIR", dir.path.c_str(), 1), 0);
    posix_serial_port port;
    EXPECT_EQ(port.open_comport(12), phase_result::success);
    posix_serial_port other;
    EXPECT_EQ(other.open_comport(13), phase_result::failure);
    ASSERT_EQ(unsetenv("TARVOLO_COM_DIR"), 0);
}

} // namespace
