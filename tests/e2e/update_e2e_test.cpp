#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/emulator.h"
#include "support/expected_text.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

constexpr long TO_DEVICE_COMPLETE = 492614;
constexpr long FROM_DEVICE_COMPLETE = 1952;
constexpr long BEFORE_PAGES = 14;
constexpr long PER_PAGE = 7 + 4096 + 2;

struct e2e_case {
    const char* name;
    int port;
    std::vector<std::string> faults;
    std::string transaction_output; // everything between the start prompt and the exit prompt
    int status;
    long to_device; // bytes the emulator received, -1: not checked
    double at_most_s; // the run must have ended by then
    int erase_ms = 200;
    std::vector<std::string> emulator_args = {};
    long extra_from_device = 0; // bytes the device sent beyond its 244 replies
    bool output_closed = false; // nobody reads the console: its pipe is closed before the run
    std::vector<int> closed_streams = {}; // closed at the program's start (`>&-`)
    long long image_size = -1; // a sparse file of this size instead of the image
};

std::ostream& operator<<(std::ostream& out, const e2e_case& c) { return out << c.name; }

std::string case_name(const ::testing::TestParamInfo<e2e_case>& param) { return param.param.name; }

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string to_pages = expected::erasing + expected::erased + expected::writing;
const std::string complete = to_pages + expected::progress(120) + expected::success;

class UpdateEndToEnd : public ::testing::TestWithParam<e2e_case> { };

TEST_P(UpdateEndToEnd, Run)
{
    const e2e_case& c = GetParam();
    const updater_under_test updater;
    if (!updater.wine_exe.empty() &&
        std::find(c.emulator_args.begin(), c.emulator_args.end(), "--posix-defaults") != c.emulator_args.end()) {
        // Wine turns a port found with IXON on into a DCB with XON/XOFF on, and the Windows build
        // rightly keeps flow control as found; only the Linux build switches it off.
        GTEST_SKIP() << "a POSIX terminal's defaults are not the found state of a Windows port";
    }
    temp_dir work;
    const std::string com_dir = updater.com_dir(work.path);
    const std::string image = sample_image(static_cast<unsigned>(c.port));
    std::string image_file = work.write_file("fw.bin", image);
    if (c.image_size >= 0) {
        // Sparse: a file of several GiB costs nothing on disk.
        image_file = work.path + "/huge.bin";
        const int fd = ::open(image_file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, c.image_size), 0);
        ASSERT_EQ(::close(fd), 0);
    }

    loader_emulator::settings s;
    s.com_dir = com_dir;
    s.port = c.port;
    s.faults = c.faults;
    s.erase_ms = c.erase_ms;
    s.extra_args = c.emulator_args;
    loader_emulator device(s, work.path);

    process_options options = updater.options(com_dir);
    options.output_closed = c.output_closed;
    options.closed_streams = c.closed_streams;
    const auto limit = std::chrono::milliseconds(static_cast<long>(c.at_most_s * 1000));
    const run_result run = run_detached(options, std::to_string(c.port) + "\n" + image_file + "\n", limit + 5s);
    const int device_status = device.finish();

    const std::string to_file = expected::banner + expected::port_question + "\n\r" + expected::port_opened(c.port) +
        expected::file_question + "\n";
    std::string shown = to_file + expected::loaded() + expected::start_prompt + c.transaction_output;
    if (c.image_size >= 0) {
        shown = to_file + expected::invalid_file +
            updater.reason_line(image_file + ": " + std::to_string(c.image_size) + " bytes; an image has 491520");
    }
    const bool stdout_closed =
        c.output_closed || std::find(c.closed_streams.begin(), c.closed_streams.end(), 1) != c.closed_streams.end();
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.output, stdout_closed ? "" : updater.console_text(shown + expected::exit_prompt));
    EXPECT_LT(run.seconds, c.at_most_s) << "the run must end within the timeouts";
    if (c.to_device >= 0) {
        EXPECT_EQ(device.bytes_received, c.to_device) << device.output;
    }
    if (c.status == 0) {
        EXPECT_EQ(device_status, 0) << device.output;
        EXPECT_EQ(device.bytes_sent, FROM_DEVICE_COMPLETE + c.extra_from_device) << device.output;
        EXPECT_TRUE(read_file(device.image_out) == image) << "the device did not receive the image";
    } else {
        EXPECT_NE(device_status, 0) << device.output;
    }
}

const e2e_case cases[] = {
    {"complete", 5, {}, complete, 0, TO_DEVICE_COMPLETE, 30},
    {"complete_on_port_12", 12, {}, complete, 0, TO_DEVICE_COMPLETE, 30},
    {"complete_on_port_123", 123, {}, complete, 0, TO_DEVICE_COMPLETE, 30},
    {"port_found_with_posix_terminal_defaults", 7, {}, complete, 0, TO_DEVICE_COMPLETE, 30, 200, {"--posix-defaults"}},
    {"slow_replies_within_the_interval", 21, {"crc=drip:900", "header:3=delay:2500", "final=drip:900"}, complete, 0,
        TO_DEVICE_COMPLETE, 40},
    {"erase_reply_missing", 22, {"erase=silent", "erase-done=silent"}, expected::erasing + expected::no_erase_response,
        1, 7, 14},
    {"erase_refused", 23, {"erase=status:01"}, expected::erasing + expected::no_erase_response, 1, 7, 10},
    {"erase_done_refused", 24, {"erase-done=status:07"}, expected::erasing + expected::erase_error, 1, 7, 10},
    {"erase_done_stops_after_three_bytes", 25, {"erase-done=short:3"}, expected::erasing + expected::erase_error, 1, 7,
        15},
    {"image_crc_not_erased", 26, {"crc=status:02"}, expected::erasing + expected::erased + expected::not_erased, 1,
        BEFORE_PAGES, 10},
    {"image_crc_refused", 27, {"crc=status:05"}, expected::erasing + expected::erased + expected::crc_refused("05"), 1,
        BEFORE_PAGES, 10},
    {"image_crc_reply_short", 28, {"crc=short:5"}, expected::erasing + expected::erased + expected::not_erased, 1,
        BEFORE_PAGES, 10},
    {"header_7_refused", 29, {"header:7=status:11"},
        to_pages + expected::progress(8) + expected::header_refused("007", "11"), 1, BEFORE_PAGES + 7 * PER_PAGE + 7,
        15},
    {"header_0_reply_of_3_bytes", 30, {"header:0=short:3"},
        to_pages + expected::progress(1) + expected::header_refused("000", "00"), 1, BEFORE_PAGES + 7, 12},
    {"data_reply_refused", 31, {"data:5=status:a5"}, to_pages + expected::progress(6) + expected::page_refused("a5"), 1,
        BEFORE_PAGES + 6 * PER_PAGE, 15},
    {"final_refused", 32, {"final=status:33"}, to_pages + expected::progress(120) + expected::final_refused("33"), 1,
        TO_DEVICE_COMPLETE, 30},
    {"final_missing", 33, {"final=silent"}, to_pages + expected::progress(120) + expected::final_refused("00"), 1,
        TO_DEVICE_COMPLETE, 40},
    {"device_hangs_up_in_page_60", 34, {"data:60=hangup-mid"},
        to_pages + expected::progress(61) + expected::page_refused("00"), 1, -1, 20},
    {"device_hangs_up_instead_of_header_reply", 35, {"header:30=hangup"},
        to_pages + expected::progress(31) + expected::header_refused("030", "00"), 1, BEFORE_PAGES + 30 * PER_PAGE + 7,
        20},
    {"reply_split_across_many_reads", 36, {"data:50=drip:300", "erase-done=drip:500"}, complete, 0, TO_DEVICE_COMPLETE,
        30},
    // Five bytes of noise, then the reply: the header read takes the noise and the first three
    // bytes of the reply, whose third byte (the page index, 10) lands on the status.
    {"garbage_before_a_reply", 37, {"header:10=garbage:5"},
        to_pages + expected::progress(11) + expected::header_refused("010", "0a"), 1, BEFORE_PAGES + 10 * PER_PAGE + 7,
        15},
    // The two extra bytes are taken as the start of the erase-done reply, and every later read
    // stays two bytes behind; with the device's replies all zero from byte 3 on, the run goes
    // through.
    {"erase_reply_with_two_extra_bytes", 38, {"erase=extra:2"}, complete, 0, TO_DEVICE_COMPLETE, 30, 200, {}, 2},
    // Every console write fails from the banner on; the update must neither notice nor stop.
    {"console_output_pipe_closed", 41, {}, complete, 0, TO_DEVICE_COMPLETE, 30, 200, {}, 0, true},
    // Started without standard output (a service, `>&-`): the port must not take its number, or
    // the console text goes to the device among the frames.
    {"started_without_standard_output", 42, {}, complete, 0, TO_DEVICE_COMPLETE, 30, 200, {}, 0, false, {1}},
    {"started_without_output_and_error", 43, {}, complete, 0, TO_DEVICE_COMPLETE, 30, 200, {}, 0, false, {1, 2}},
    // Past 2, 4 and 8 GiB by one image: none may measure as the image on any build.
    {"image_of_2_gib_and_one_image", 44, {}, "", 1, 0, 10, 200, {}, 0, false, {}, (2LL << 30) + 491520},
    {"image_of_4_gib_and_one_image", 45, {}, "", 1, 0, 10, 200, {}, 0, false, {}, (4LL << 30) + 491520},
    {"image_of_8_gib_and_one_image", 46, {}, "", 1, 0, 10, 200, {}, 0, false, {}, (8LL << 30) + 491520},
};

// Each case has a COM port of its own: under wine the cases share one prefix's dosdevices folder,
// and cases run side by side.
INSTANTIATE_TEST_SUITE_P(Cases, UpdateEndToEnd, ::testing::ValuesIn(cases), case_name);

// The device vanishes (its side of the line closed) at a page chosen afresh on every run.
e2e_case vanishing_at_random_page()
{
    std::random_device entropy;
    const int page = std::uniform_int_distribution<int>(0, 119)(entropy);
    char index[4];
    (void)std::snprintf(index, sizeof index, "%03d", page);
    return {"device_vanishes_at_random_page", 39, {"header:" + std::to_string(page) + "=hangup"},
        to_pages + expected::progress(page + 1) + expected::header_refused(index, "00"), 1,
        BEFORE_PAGES + page * PER_PAGE + 7, 20};
}

INSTANTIATE_TEST_SUITE_P(Random, UpdateEndToEnd, ::testing::Values(vanishing_at_random_page()), case_name);

// Takes a minute: excluded from quick runs by its label, run by CI.
const e2e_case long_cases[] = {
    {"erase_taking_60_s", 40, {}, complete, 0, TO_DEVICE_COMPLETE, 100, 60000},
};

INSTANTIATE_TEST_SUITE_P(Long, UpdateEndToEnd, ::testing::ValuesIn(long_cases), case_name);

} // namespace
