#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
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

// What becomes of the image file while the updater reads it, its reads slowed as on a slow share.
enum class image_change {
    none,
    rewritten_in_place, // another image written over it, as `dd conv=notrunc` or a share's copy
    cut_short, // truncated, as the start of `cp new.bin fw.bin`
    rewritten_dated_back, // rewritten in place, its times then set back as they were (`touch -r`)
    // None of these three changes a byte of the open file.
    mode_changed,
    linked, // a second hard link
    renamed_over, // another file renamed over its name: the open file is still the old one
};

bool changes_the_bytes(image_change change)
{
    return change == image_change::rewritten_in_place || change == image_change::cut_short ||
        change == image_change::rewritten_dated_back;
}

// Another program writing the image when the updater starts, its file still open.
enum class image_writer {
    none,
    stalled_copy, // 60 pages of another image written in place, then nothing
    download, // the full size set first, 30 pages in
};

// The page whose read is under way when the image changes: the dots of the pages before it are
// on the console.
constexpr int CHANGED_AT_PAGE = 30;

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
    image_change change = image_change::none;
    // The updater without CAP_LEASE and the image another user's, so that no writer is kept
    // waiting: only the bytes read again can tell (needs root).
    bool without_lease = false;
    image_writer writer = image_writer::none;
    // Typed at the file question instead of the image's path, with the COM port of the same name
    // linked to a good image: the Windows build must not open it (Windows only).
    std::string device_name = {};
    int device_port = 0;
    bool dated_after_2038 = false; // the image's modification time past a 32-bit time_t
};

// A case that ends before the start key, the device given nothing.
e2e_case refused_before_the_start(const char* name, int port, image_change change, std::string device = {}, int on = 0)
{
    e2e_case c{name, port, {}, "", 1, 0, 20};
    c.change = change;
    c.device_name = std::move(device);
    c.device_port = on;
    return c;
}

e2e_case image_changed_while_read(const char* name, int port, image_change change, bool without_lease = false)
{
    e2e_case c = refused_before_the_start(name, port, change);
    c.without_lease = without_lease;
    return c;
}

e2e_case image_being_written(const char* name, int port, image_writer writer)
{
    e2e_case c = refused_before_the_start(name, port, image_change::none);
    c.writer = writer;
    return c;
}

// Every read of `image_file` by the run waits 20 ms before it is made (strace's fault injection),
// so that the test can act between two pages. Other files and the port are not slowed.
process_options with_slow_image_reads(process_options options, const std::string& image_file)
{
#ifdef TARVOLO_STRACE_PATH
    std::vector<std::string> argv = {TARVOLO_STRACE_PATH, "-f", "-qq", "-o", "/dev/null", "-P", image_file, "-e",
        "trace=read,pread64,readv,preadv", "-e", "inject=read,pread64,readv,preadv:delay_enter=20000"};
    // strace starts the program itself, and knows nothing of the cross build's emulator.
    for (const std::string& word : target_launcher()) {
        argv.push_back(word);
    }
    argv.insert(argv.end(), options.argv.begin(), options.argv.end());
    options.argv = argv;
    // LeakSanitizer cannot work under ptrace, and would fail the sanitizer build's run at its end.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    options.set_env.emplace_back(
        "ASAN_OPTIONS", std::string(sanitizer != nullptr ? sanitizer : "") + ":detect_leaks=0");
#else
    (void)image_file;
#endif
    return options;
}

std::ostream& operator<<(std::ostream& out, const e2e_case& c) { return out << c.name; }

std::string case_name(const ::testing::TestParamInfo<e2e_case>& param) { return param.param.name; }

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string to_pages = expected::erasing + expected::erased + expected::writing;
const std::string complete = to_pages + expected::progress(120) + expected::success;

// A COM link in the port folder, which under wine the cases share, for one case only.
struct link_for_the_run {
    std::string path;
    ~link_for_the_run()
    {
        if (!path.empty()) {
            (void)::unlink(path.c_str());
        }
    }
};

struct file_descriptor {
    int fd = -1;
    ~file_descriptor()
    {
        if (fd >= 0) {
            (void)::close(fd);
        }
    }
};

class UpdateEndToEnd : public ::testing::TestWithParam<e2e_case> { };

TEST_P(UpdateEndToEnd, Run)
{
    const e2e_case& c = GetParam();
    const updater_under_test updater;
    if (!c.device_name.empty() && updater.wine_exe.empty()) {
        GTEST_SKIP() << "a device name is a file name like any other on Linux";
    }
    if (!updater.wine_exe.empty() && (c.writer != image_writer::none || c.without_lease)) {
        GTEST_SKIP() << "a Linux program's writes are outside Windows' sharing rules, and Windows has no leases";
    }
#ifndef TARVOLO_STRACE_PATH
    if (c.change != image_change::none) {
        GTEST_SKIP() << "slowing the image's reads needs strace";
    }
#endif
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

    if (c.dated_after_2038) {
        const timespec in_2040[2] = {{2208988800, 0}, {2208988800, 0}}; // 2040-01-01
        ASSERT_EQ(::utimensat(AT_FDCWD, image_file.c_str(), in_2040, 0), 0);
    }
    std::string typed = image_file;
    link_for_the_run behind_the_name;
    if (!c.device_name.empty()) {
        // The port of that name leads to a good image, which an open would take as the image.
        behind_the_name.path = com_dir + "/com" + std::to_string(c.device_port);
        (void)::unlink(behind_the_name.path.c_str()); // left by a run that was killed
        ASSERT_EQ(::symlink(work.write_file("behind.bin", image).c_str(), behind_the_name.path.c_str()), 0);
        typed = c.device_name;
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
    std::string marker;
    std::function<void()> change;
    const std::string other = sample_image(99);
    if (c.change != image_change::none) {
        options = with_slow_image_reads(options, image_file);
        marker = std::string(CHANGED_AT_PAGE, '.');
        change = [&c, &image_file, &other, &work] {
            struct stat found { };
            ASSERT_EQ(::stat(image_file.c_str(), &found), 0);
            switch (c.change) {
            case image_change::mode_changed:
                EXPECT_EQ(::chmod(image_file.c_str(), 0600), 0);
                return;
            case image_change::linked:
                EXPECT_EQ(::link(image_file.c_str(), (image_file + ".2").c_str()), 0);
                return;
            case image_change::renamed_over:
                EXPECT_EQ(::rename(work.write_file("new.bin", other).c_str(), image_file.c_str()), 0);
                return;
            default:
                break;
            }
            // Waits here while the updater holds a lease on the file.
            const bool cut = c.change == image_change::cut_short;
            const int fd = ::open(image_file.c_str(), O_WRONLY | (cut ? O_TRUNC : 0));
            ASSERT_GE(fd, 0);
            EXPECT_TRUE(cut || ::write(fd, other.data(), other.size()) == static_cast<ssize_t>(other.size()));
            ASSERT_EQ(::close(fd), 0);
            if (c.change == image_change::rewritten_dated_back) {
                const timespec as_found[2] = {found.st_atim, found.st_mtim};
                EXPECT_EQ(::utimensat(AT_FDCWD, image_file.c_str(), as_found, 0), 0);
            }
        };
    }
    if (c.without_lease) {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "giving the image to another user needs root";
        }
        constexpr uid_t NOBODY = 65534;
        ASSERT_EQ(::chown(image_file.c_str(), NOBODY, NOBODY), 0);
        options.argv.insert(options.argv.begin(), {"setpriv", "--bounding-set=-lease", "--inh-caps=-lease", "--"});
    }
    // The writer's descriptor stays open for the whole run, as the stalled program's would.
    file_descriptor writer;
    if (c.writer != image_writer::none) {
        writer.fd = ::open(image_file.c_str(), O_WRONLY);
        ASSERT_GE(writer.fd, 0);
        const std::size_t pages = c.writer == image_writer::stalled_copy ? 60 : 30;
        if (c.writer == image_writer::download) {
            ASSERT_EQ(::ftruncate(writer.fd, 0), 0);
            ASSERT_EQ(::posix_fallocate(writer.fd, 0, static_cast<off_t>(other.size())), 0);
        }
        ASSERT_EQ(::pwrite(writer.fd, other.data(), pages * 4096, 0), static_cast<ssize_t>(pages * 4096));
    }
    // With a lease, a writer that comes during the read waits until the image has been read: the
    // update goes on with the version that was there when it started.
    const bool writer_waits = changes_the_bytes(c.change) && updater.wine_exe.empty() && !c.without_lease;
    const bool refused = (changes_the_bytes(c.change) && !writer_waits) || c.writer != image_writer::none ||
        c.image_size >= 0 || !c.device_name.empty();
    const int status = c.change != image_change::none && !refused ? 0 : c.status;
    const long to_device = c.change != image_change::none && !refused ? TO_DEVICE_COMPLETE : c.to_device;
    const run_result run =
        run_detached(options, std::to_string(c.port) + "\n" + typed + "\n", limit + 5s, marker, change);
    const int device_status = device.finish();

    const std::string to_file = expected::banner + expected::port_question + "\n\r" + expected::port_opened(c.port) +
        expected::file_question + "\n";
    std::string shown = to_file + expected::loaded() + expected::start_prompt + c.transaction_output;
    if (c.image_size >= 0) {
        shown = to_file + expected::invalid_file +
            updater.reason_line(image_file + ": " + std::to_string(c.image_size) + " bytes; an image has 491520");
    }
    if (c.change != image_change::none && !refused) {
        shown = to_file + expected::loaded() + expected::start_prompt + complete;
    } else if (c.change != image_change::none) {
        const bool cut = c.change == image_change::cut_short;
        const std::string why = cut
            ? "cut short while it was read, after " + std::to_string(CHANGED_AT_PAGE * 4096) + " of 491520 bytes"
            : "changed while it was read";
        shown = to_file + expected::reading_pages + (cut ? std::string(CHANGED_AT_PAGE, '.') : expected::dots) + "\n" +
            expected::unreadable + updater.reason_line(image_file + ": " + why);
    } else if (c.writer != image_writer::none) {
        shown = to_file + expected::unreadable +
            updater.reason_line(image_file + ": being written by another program (PID " + std::to_string(::getpid()) +
                ", " + command_name(::getpid()) + ")");
    } else if (!c.device_name.empty()) {
        shown = to_file + expected::invalid_file + updater.reason_line(c.device_name + ": a device, not a file");
    }
    const bool stdout_closed =
        c.output_closed || std::find(c.closed_streams.begin(), c.closed_streams.end(), 1) != c.closed_streams.end();
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.output, stdout_closed ? "" : updater.console_text(shown + expected::exit_prompt));
    EXPECT_LT(run.seconds, c.at_most_s) << "the run must end within the timeouts";
    if (to_device >= 0) {
        EXPECT_EQ(device.bytes_received, to_device) << device.output;
    }
    if (writer_waits) {
        EXPECT_EQ(read_file(image_file), c.change == image_change::cut_short ? "" : other)
            << "the writer went on after";
    }
    if (status == 0) {
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
    // Another image lands in place of the one being read: one file as it was at one moment is
    // flashed, or nothing.
    // Linux keeps the writer waiting until the image has been read; where nothing can (Windows, a
    // writer outside its sharing rules; Linux without a lease), the image read again tells.
    image_changed_while_read("image_rewritten_while_read", 47, image_change::rewritten_in_place),
    image_changed_while_read("image_cut_short_while_read", 48, image_change::cut_short),
    image_changed_while_read("image_rewritten_and_dated_back_while_read", 170, image_change::rewritten_dated_back),
    image_changed_while_read("image_rewritten_while_read_without_lease", 171, image_change::rewritten_in_place, true),
    image_changed_while_read("image_cut_short_while_read_without_lease", 172, image_change::cut_short, true),
    image_changed_while_read(
        "image_rewritten_and_dated_back_without_lease", 173, image_change::rewritten_dated_back, true),
    // Changes that leave every byte as it was: the update goes on with what was read.
    image_changed_while_read("image_mode_changed_while_read", 174, image_change::mode_changed),
    image_changed_while_read("image_linked_while_read", 175, image_change::linked),
    image_changed_while_read("image_renamed_over_while_read", 176, image_change::renamed_over),
    // Another program still writing the image when the updater starts.
    image_being_written("image_of_a_stalled_copy", 177, image_writer::stalled_copy),
    image_being_written("image_of_a_download_with_its_size_set_first", 178, image_writer::download),
    // A device name typed as the image, the port of that name linked to a good image.
    refused_before_the_start("port_name_as_image", 49, image_change::none, "COM9", 9),
    refused_before_the_start("port_name_with_extension_as_image", 50, image_change::none, "com8.bin", 8),
    refused_before_the_start("port_in_device_namespace_as_image", 51, image_change::none, "\\\\.\\COM52", 52),
    // The root of a device path is the namespace itself: ".." climbs over the drive to the port.
    refused_before_the_start(
        "port_behind_a_drive_in_device_namespace_as_image", 191, image_change::none, "\\\\.\\C:\\..\\COM192", 192),
    refused_before_the_start(
        "port_behind_a_drive_with_slashes_as_image", 193, image_change::none, "//./C:/../COM194", 194),
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

// An image built on a machine whose clock is past 2038 (or copied from one): no build may fail to
// look at it.
e2e_case dated_after_2038()
{
    e2e_case c{"image_dated_after_2038", 53, {}, complete, 0, TO_DEVICE_COMPLETE, 30};
    c.dated_after_2038 = true;
    return c;
}

INSTANTIATE_TEST_SUITE_P(Dated, UpdateEndToEnd, ::testing::Values(dated_after_2038()), case_name);

// Takes a minute: excluded from quick runs by its label, run by CI.
const e2e_case long_cases[] = {
    {"erase_taking_60_s", 40, {}, complete, 0, TO_DEVICE_COMPLETE, 100, 60000},
};

INSTANTIATE_TEST_SUITE_P(Long, UpdateEndToEnd, ::testing::ValuesIn(long_cases), case_name);

} // namespace
