#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/emulator.h"
#include "support/expected_text.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/row_builder.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

using namespace expected;

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

// One run of the updater against the emulator: a complete update on a port of its own, unless a
// builder below says otherwise.
struct e2e_case : row_builder<e2e_case> {
    e2e_case(const char* case_name, std::vector<std::string> faults) : name(case_name)
    {
        emulator.faults = std::move(faults);
    }

    e2e_case& on_port(int number) { return set(emulator.port, number); }
    // Stopped by the device's reply to the erase, the image CRC, page `page`'s header or data, or
    // the final acknowledgement: status 1, with what the console shows from the start prompt on.
    e2e_case& fails_at_erase(const std::string& why) { return fails(erasing + why).to_device(7); }
    e2e_case& fails_at_crc(const std::string& why) { return fails(erasing + erased + why).to_device(BEFORE_PAGES); }
    e2e_case& fails_at_header(int page, const char* refusal)
    {
        const std::string index = std::to_string(1000 + page).substr(1);
        return fails(to_pages + progress(page + 1) + header_refused(index.c_str(), refusal))
            .to_device(BEFORE_PAGES + page * PER_PAGE + 7);
    }
    e2e_case& fails_at_data(int page, const char* refusal)
    {
        return fails(to_pages + progress(page + 1) + page_refused(refusal))
            .to_device(BEFORE_PAGES + (page + 1) * PER_PAGE);
    }
    e2e_case& fails_at_final(const char* refusal) { return fails(to_pages + progress(120) + final_refused(refusal)); }
    e2e_case& to_device(long bytes) { return set(bytes_to_device, bytes); }
    e2e_case& within(std::chrono::seconds limit) { return set(at_most, limit); }
    e2e_case& erase_taking(int ms) { return set(emulator.erase_ms, ms); }
    e2e_case& emulator_with(std::vector<std::string> args) { return set(emulator.extra_args, std::move(args)); }
    e2e_case& extra_from_device(long bytes) { return set(extra_bytes_from_device, bytes); }
    e2e_case& output_pipe_closed() { return set(output_closed, true); }
    e2e_case& started_without(std::vector<int> streams) { return set(closed_streams, std::move(streams)); }
    // The rest end before the start key unless the test body finds that the update goes on.
    e2e_case& sparse_image_of(long long size) { return refused_before_the_start().set(image_size, size); }
    e2e_case& image_changed(image_change how) { return refused_before_the_start().set(change, how); }
    e2e_case& without_lease() { return set(lease_withheld, true); }
    e2e_case& image_being_written(image_writer by) { return refused_before_the_start().set(writer, by); }
    e2e_case& typed_as_image(std::string port_name, int linked_as)
    {
        return refused_before_the_start().set(device_name, std::move(port_name)).set(device_port, linked_as);
    }
    e2e_case& dated_after_2038() { return set(image_dated_after_2038, true); }
    // The operator types a COM number that has no link, beside the device's.
    e2e_case& typing_a_port_without_line() { return refused_before_the_start().set(port_without_line, true); }

    std::string name;
    // Its port a number of its own unless the number is what the case is about, and an erase of
    // 200 ms.
    loader_emulator::settings emulator;
    std::string transaction_output = complete; // everything between the start prompt and the exit prompt
    int status = 0;
    long bytes_to_device = TO_DEVICE_COMPLETE; // bytes the emulator received, -1: not checked
    std::chrono::seconds at_most = 30s; // the run must have ended by then
    long extra_bytes_from_device = 0; // bytes the device sent beyond its 244 replies
    bool output_closed = false; // nobody reads the console: its pipe is closed before the run
    std::vector<int> closed_streams; // closed at the program's start (`>&-`)
    long long image_size = -1; // a sparse file of this size instead of the image
    image_change change = image_change::none;
    // The updater without CAP_LEASE and the image another user's, so that no writer is kept
    // waiting: only the bytes read again can tell (needs root).
    bool lease_withheld = false;
    image_writer writer = image_writer::none;
    // Typed at the file question instead of the image's path, with the COM port of the same name
    // linked to a good image: the Windows build must not open it (Windows only).
    std::string device_name;
    int device_port = 0;
    bool image_dated_after_2038 = false; // the image's modification time past a 32-bit time_t
    bool port_without_line = false;

private:
    e2e_case& fails(std::string shown) { return set(transaction_output, std::move(shown)).set(status, 1); }
    e2e_case& refused_before_the_start() { return fails("").to_device(0).within(20s); }
};

// A complete update on a port of its own, the emulator given `faults`, unless the builders above
// say otherwise.
e2e_case row(const char* name, std::vector<std::string> faults = {}) { return e2e_case(name, std::move(faults)); }

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
    if (c.port_without_line && !updater.wine_exe.empty()) {
        GTEST_SKIP() << "the Windows build leaves naming the ports to Device Manager";
    }
    if (!c.device_name.empty() && updater.wine_exe.empty()) {
        GTEST_SKIP() << "a device name is a file name like any other on Linux";
    }
    if (!updater.wine_exe.empty() && (c.writer != image_writer::none || c.lease_withheld)) {
        GTEST_SKIP() << "a Linux program's writes are outside Windows' sharing rules, and Windows has no leases";
    }
#ifndef TARVOLO_STRACE_PATH
    if (c.change != image_change::none) {
        GTEST_SKIP() << "slowing the image's reads needs strace";
    }
#endif
    if (!updater.wine_exe.empty() &&
        std::find(c.emulator.extra_args.begin(), c.emulator.extra_args.end(), "--posix-defaults") !=
            c.emulator.extra_args.end()) {
        // Wine turns a port found with IXON on into a DCB with XON/XOFF on, and the Windows build
        // rightly keeps flow control as found; only the Linux build switches it off.
        GTEST_SKIP() << "a POSIX terminal's defaults are not the found state of a Windows port";
    }
    temp_dir work;
    const std::string com_dir = updater.com_dir(work.path);
    const std::string image = sample_image(static_cast<unsigned>(std::hash<std::string>()(c.name)));
    std::string image_file = work.write_file("fw.bin", image);
    if (c.image_size >= 0) {
        // Sparse: a file of several GiB costs nothing on disk.
        image_file = work.write_file("huge.bin", "");
        std::filesystem::resize_file(image_file, static_cast<std::uintmax_t>(c.image_size));
    }

    if (c.image_dated_after_2038) {
        const timespec in_2040[2] = {{2208988800, 0}, {2208988800, 0}}; // 2040-01-01
        ASSERT_EQ(::utimensat(AT_FDCWD, image_file.c_str(), in_2040, 0), 0);
    }
    std::string typed = image_file;
    std::optional<com_port> behind_the_name;
    if (!c.device_name.empty()) {
        // The port of that name leads to a good image, which an open would take as the image.
        behind_the_name.emplace(com_dir, c.device_port);
        behind_the_name->link_to(work.write_file("behind.bin", image));
        typed = c.device_name;
    }

    loader_emulator::settings s = c.emulator;
    s.com_dir = com_dir;
    loader_emulator device(s, work.path);

    process_options options = updater.options(com_dir);
    options.output_closed = c.output_closed;
    options.closed_streams = c.closed_streams;
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
    if (c.lease_withheld) {
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
    const bool writer_waits = changes_the_bytes(c.change) && updater.wine_exe.empty() && !c.lease_withheld;
    const bool refused = (changes_the_bytes(c.change) && !writer_waits) || c.writer != image_writer::none ||
        c.image_size >= 0 || !c.device_name.empty();
    const int status = c.change != image_change::none && !refused ? 0 : c.status;
    const long to_device = c.change != image_change::none && !refused ? TO_DEVICE_COMPLETE : c.bytes_to_device;
    std::optional<com_port> without_line;
    if (c.port_without_line) {
        without_line.emplace(com_dir);
    }
    const int port = without_line ? without_line->number : device.port.number;
    const std::string device_linked_as = "com" + std::to_string(device.port.number) + " (" +
        std::filesystem::read_symlink(device.port.path).string() + ")";
    const run_result run =
        run_detached(options, std::to_string(port) + "\n" + typed + "\n", c.at_most + 5s, marker, change);
    const int device_status = device.finish();

    const std::string to_file = file_asked(port);
    std::string shown = to_file + loaded() + start_prompt + c.transaction_output;
    if (c.image_size >= 0) {
        shown = to_file + invalid_file +
            updater.reason_line(image_file + ": " + std::to_string(c.image_size) + " bytes; an image has 491520");
    }
    if (c.change != image_change::none && !refused) {
        shown = to_file + loaded() + start_prompt + complete;
    } else if (c.change != image_change::none) {
        const bool cut = c.change == image_change::cut_short;
        const std::string why = cut
            ? "cut short while it was read, after " + std::to_string(CHANGED_AT_PAGE * 4096) + " of 491520 bytes"
            : "changed while it was read";
        shown = to_file + reading_pages + (cut ? std::string(CHANGED_AT_PAGE, '.') : dots) + "\n" + unreadable +
            updater.reason_line(image_file + ": " + why);
    } else if (c.writer != image_writer::none) {
        shown = to_file + unreadable +
            updater.reason_line(image_file + ": being written by another program (PID " + std::to_string(::getpid()) +
                ", " + command_name(::getpid()) + ")");
    } else if (!c.device_name.empty()) {
        shown = to_file + invalid_file + updater.reason_line(c.device_name + ": a device, not a file");
    } else if (without_line) {
        shown = port_asked() + port_unavailable(port) +
            updater.reason_line(without_line->path + ": No such file or directory; COM ports linked in that folder: " +
                device_linked_as + no_line_for(port));
    }
    const bool stdout_closed =
        c.output_closed || std::find(c.closed_streams.begin(), c.closed_streams.end(), 1) != c.closed_streams.end();
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(lines_masked(run.output), stdout_closed ? "" : updater.console_text(shown + exit_prompt));
    EXPECT_LT(run.seconds, c.at_most.count()) << "the run must end within the timeouts";
    if (to_device >= 0) {
        EXPECT_EQ(device.bytes_received, to_device) << device.output;
    }
    if (writer_waits) {
        EXPECT_EQ(read_file(image_file), c.change == image_change::cut_short ? "" : other)
            << "the writer went on after";
    }
    if (status == 0) {
        EXPECT_EQ(device_status, 0) << device.output;
        EXPECT_EQ(device.bytes_sent, FROM_DEVICE_COMPLETE + c.extra_bytes_from_device) << device.output;
        EXPECT_TRUE(read_file(device.image_out) == image) << "the device did not receive the image";
    } else {
        EXPECT_NE(device_status, 0) << device.output;
    }
}

const e2e_case cases[] = {
    // A port under 10 is COMn to Windows, a higher one only \\.\COMn.
    row("complete").on_port(5),
    row("complete_on_port_12").on_port(12),
    row("complete_on_port_123").on_port(123),
    // The number Windows showed, typed on Linux where the device is linked as another: the reason
    // names the link and the lines there are.
    row("port_without_line").typing_a_port_without_line(),
    row("port_found_with_posix_terminal_defaults").emulator_with({"--posix-defaults"}),
    row("slow_replies_within_the_interval", {"crc=drip:900", "header:3=delay:2500", "final=drip:900"}).within(40s),
    row("erase_reply_missing", {"erase=silent", "erase-done=silent"}).fails_at_erase(no_erase_response).within(14s),
    // Refused with a status, yet the message is "No 'erase firmware' command response": the erase
    // step has one message for any reply that is not good, whose status byte alone is judged.
    row("erase_refused", {"erase=status:01"}).fails_at_erase(no_erase_response).within(10s),
    row("erase_done_refused", {"erase-done=status:07"}).fails_at_erase(erase_error).within(10s),
    row("erase_done_stops_after_three_bytes", {"erase-done=short:3"}).fails_at_erase(erase_error).within(15s),
    row("image_crc_not_erased", {"crc=status:02"}).fails_at_crc(not_erased).within(10s),
    row("image_crc_refused", {"crc=status:05"}).fails_at_crc(crc_refused("05")).within(10s),
    row("image_crc_reply_short", {"crc=short:5"}).fails_at_crc(not_erased).within(10s),
    row("header_7_refused", {"header:7=status:11"}).fails_at_header(7, "11").within(15s),
    row("header_0_reply_of_3_bytes", {"header:0=short:3"}).fails_at_header(0, "00").within(12s),
    row("data_reply_refused", {"data:5=status:a5"}).fails_at_data(5, "a5").within(15s),
    row("final_refused", {"final=status:33"}).fails_at_final("33"),
    row("final_missing", {"final=silent"}).fails_at_final("00").within(40s),
    // Where in the page the line goes is not known to the byte.
    row("device_hangs_up_in_page_60", {"data:60=hangup-mid"}).fails_at_data(60, "00").to_device(-1).within(20s),
    row("device_hangs_up_instead_of_header_reply", {"header:30=hangup"}).fails_at_header(30, "00").within(20s),
    row("reply_split_across_many_reads", {"data:50=drip:300", "erase-done=drip:500"}),
    // Five bytes of noise, then the reply: the header read takes the noise and the first three
    // bytes of the reply, whose third byte (the page index, 10) lands on the status.
    row("garbage_before_a_reply", {"header:10=garbage:5"}).fails_at_header(10, "0a").within(15s),
    // The two extra bytes are taken as the start of the erase-done reply, and every later read
    // stays two bytes behind; with the device's replies all zero from byte 3 on, the run goes
    // through.
    row("erase_reply_with_two_extra_bytes", {"erase=extra:2"}).extra_from_device(2),
    // Every console write fails from the banner on; the update must neither notice nor stop.
    row("console_output_pipe_closed").output_pipe_closed(),
    // Started without standard output (a service, `>&-`): the port must not take its number, or
    // the console text goes to the device among the frames.
    row("started_without_standard_output").started_without({1}),
    row("started_without_output_and_error").started_without({1, 2}),
    // Past 2, 4 and 8 GiB by one image: none may measure as the image on any build.
    row("image_of_2_gib_and_one_image").sparse_image_of((2LL << 30) + 491520).within(10s),
    row("image_of_4_gib_and_one_image").sparse_image_of((4LL << 30) + 491520).within(10s),
    row("image_of_8_gib_and_one_image").sparse_image_of((8LL << 30) + 491520).within(10s),
    // Another image lands in place of the one being read: one file as it was at one moment is
    // flashed, or nothing.
    // Linux keeps the writer waiting until the image has been read; where nothing can (Windows, a
    // writer outside its sharing rules; Linux without a lease), the image read again tells.
    row("image_rewritten_while_read").image_changed(image_change::rewritten_in_place),
    row("image_cut_short_while_read").image_changed(image_change::cut_short),
    row("image_rewritten_and_dated_back_while_read").image_changed(image_change::rewritten_dated_back),
    row("image_rewritten_while_read_without_lease").image_changed(image_change::rewritten_in_place).without_lease(),
    row("image_cut_short_while_read_without_lease").image_changed(image_change::cut_short).without_lease(),
    row("image_rewritten_and_dated_back_without_lease")
        .image_changed(image_change::rewritten_dated_back)
        .without_lease(),
    // Changes that leave every byte as it was: the update goes on with what was read.
    row("image_mode_changed_while_read").image_changed(image_change::mode_changed),
    row("image_linked_while_read").image_changed(image_change::linked),
    row("image_renamed_over_while_read").image_changed(image_change::renamed_over),
    // Another program still writing the image when the updater starts.
    row("image_of_a_stalled_copy").image_being_written(image_writer::stalled_copy),
    row("image_of_a_download_with_its_size_set_first").image_being_written(image_writer::download),
    // A device name typed as the image, the port of that name linked to a good image.
    row("port_name_as_image").typed_as_image("COM9", 9),
    row("port_name_with_extension_as_image").typed_as_image("com8.bin", 8),
    row("port_in_device_namespace_as_image").typed_as_image("\\\\.\\COM52", 52),
    // The root of a device path is the namespace itself: ".." climbs over the drive to the port.
    row("port_behind_a_drive_in_device_namespace_as_image").typed_as_image("\\\\.\\C:\\..\\COM192", 192),
    row("port_behind_a_drive_with_slashes_as_image").typed_as_image("//./C:/../COM194", 194),
};

INSTANTIATE_TEST_SUITE_P(Cases, UpdateEndToEnd, ::testing::ValuesIn(cases), case_name);

// The device vanishes (its side of the line closed) at a page chosen afresh on every run.
e2e_case vanishing_at_random_page()
{
    std::random_device entropy;
    const int page = std::uniform_int_distribution<int>(0, 119)(entropy);
    return row("device_vanishes_at_random_page", {"header:" + std::to_string(page) + "=hangup"})
        .fails_at_header(page, "00")
        .within(20s);
}

INSTANTIATE_TEST_SUITE_P(Random, UpdateEndToEnd, ::testing::Values(vanishing_at_random_page()), case_name);

// An image built on a machine whose clock is past 2038 (or copied from one): no build may fail to
// look at it.
const e2e_case dated_after_2038 = row("image_dated_after_2038").dated_after_2038();

INSTANTIATE_TEST_SUITE_P(Dated, UpdateEndToEnd, ::testing::Values(dated_after_2038), case_name);

// Takes a minute: excluded from quick runs by its label, run by CI.
const e2e_case long_cases[] = {
    row("erase_taking_60_s").erase_taking(60000).within(100s),
};

INSTANTIATE_TEST_SUITE_P(Long, UpdateEndToEnd, ::testing::ValuesIn(long_cases), case_name);

} // namespace
