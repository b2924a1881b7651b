// The emulator as the far end of a line it holds only its own end of: the host opens and closes
// the line as it pleases, and only a host that has spoken and then closes the line has left.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "support/emulator.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

struct emulator_on_a_port {
    temp_dir work;
    std::string image = work.write_file("fw.bin", sample_image());
    loader_emulator device;
    const updater_under_test updater;

    // The port's number and `file` typed at the updater's two questions.
    std::string answers(const std::string& file) const
    {
        return std::to_string(device.port.number) + "\n" + file + "\n";
    }

    explicit emulator_on_a_port(int erase_ms) : device(settings(work.path, erase_ms), work.path) { }

    static loader_emulator::settings settings(const std::string& dir, int erase_ms)
    {
        loader_emulator::settings s;
        s.com_dir = dir;
        s.erase_ms = erase_ms;
        return s;
    }
};

TEST(LoaderEmulator, WaitsAsleepThroughRunsThatNeverSpeakThenServesTheNext)
{
    emulator_on_a_port line(200);
    for (const char* image : {"missing.bin", "also_missing.bin"}) {
        const run_result refused =
            run_detached(line.updater.options(line.work.path), line.answers(line.work.path + "/" + image), 20s);
        EXPECT_EQ(refused.status, 1) << refused.output;
    }
    // The line is closed now, which a pseudo-terminal's master reports without end: a wait that
    // took that for news would spin.
    const double before = line.device.cpu_seconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(line.device.cpu_seconds() - before, 0.2) << "the emulator must sleep while nobody has the line open";

    const run_result run = run_detached(line.updater.options(line.work.path), line.answers(line.image), 30s);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(line.device.finish(5s), 0) << line.device.output;
    EXPECT_EQ(line.device.bytes_received, 492614);
}

TEST(LoaderEmulator, HostThatLeavesMidwayEndsTheExchange)
{
    emulator_on_a_port line(10000);
    child_process run = child_process::start_detached(line.updater.options(line.work.path));
    run.send_input(line.answers(line.image));
    // The device has the erase frame once its transcript says it is erasing.
    (void)wait_until([&] { return read_file(line.device.transcript).find("erasing for") != std::string::npos; }, 10s);
    ASSERT_EQ(::kill(run.pid, SIGKILL), 0);
    EXPECT_EQ(run.wait(5s), 128 + SIGKILL);
    // Long before the erase would end, and without being told to stop.
    EXPECT_EQ(line.device.finish(3s), 1);
    EXPECT_NE(line.device.output.find("incomplete: the port hung up while erasing"), std::string::npos)
        << line.device.output;
    EXPECT_EQ(line.device.bytes_received, 7);
}

} // namespace
