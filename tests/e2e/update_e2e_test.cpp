#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/emulator.h"
#include "support/expected_text.h"
#include "support/fuse_image.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/row_builder.h"
#include "support/temp_dir.h"
#include "support/text.h"

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
    // A byte appended once the last page is read, while the file is read again.
    grown_during_second_read,
};

bool changes_the_bytes(image_change change)
{
    return change == image_change::rewritten_in_place || change == image_change::cut_short ||
        change == image_change::rewritten_dated_back || change == image_change::grown_during_second_read;
}

// Another program writing the image when the updater starts, its file still open.
enum class image_writer {
    none,
    stalled_copy, // 60 pages of another image written in place, then nothing
    download, // the full size set first, 30 pages in
    // Open for writing outside the PID namespace that the updater runs in, so that /proc shows
    // the updater nobody: only the kernel's refusal of the lease tells.
    hidden_by_a_pid_namespace,
    // Opens the image once it is being read, which is made to take longer than the kernel lets a
    // lease keep a writer waiting; once let in, writes the pages not yet read and keeps the file.
    let_in_when_the_lease_ran_out,
};

// Another program beside the run, or what one left on the station; none may change the outcome.
enum class neighbour {
    none,
    lock_linked_to_another_line, // the line's lock file a link to another station's line
    lock_of_a_zombie,
    // PID 2 in the lock: a number written in another PID namespace, here the kernel's kthreadd.
    lock_of_a_kernel_thread,
    lock_of_the_wrapper, // taken by the shell that starts the updater and waits for it
    lock_of_the_updater_itself, // the same shell, which then becomes the updater
    lock_of_a_wrapper_two_levels_up, // the shell that took it runs the updater under `timeout`
    // A link to another line's plain lock file, which names a live program.
    lock_linked_to_another_lines_lock,
    line_flocked_by_the_wrapper, // `flock LINE updater`, serialising an adapter between jobs
    line_held_open_by_the_wrapper, // a script that keeps the line open (its DTR steady) meanwhile
    path_only_descriptor_on_the_line, // O_PATH: names the line, neither reads nor writes it
    // The line's number in a devpts instance of its own, as a container's /dev/pts: another line,
    // held open by a program there, or the terminal of a shell's session there.
    same_number_held_in_another_devpts,
    same_number_a_session_in_another_devpts,
    write_lease_on_the_image, // a file server's oplock, given up when a reader comes
    stopped_fuse_server, // a hung file system, one of its files held open by another process
    // The image on a file system whose server answers every read after the first from another
    // image, while the client keeps the pages it read first.
    image_switched_behind_the_page_cache,
};

bool served_by_fuse(neighbour what)
{
    return what == neighbour::stopped_fuse_server || what == neighbour::image_switched_behind_the_page_cache;
}

bool in_another_devpts(neighbour what)
{
    return what == neighbour::same_number_held_in_another_devpts ||
        what == neighbour::same_number_a_session_in_another_devpts;
}

// How the answers reach standard input when they are not typed: each as a Windows tool writes a
// file (Notepad: UTF-8, with or without a byte-order mark; PowerShell 5: UTF-16LE with one;
// `cmd /u`: UTF-16LE without one; `copy /b` of two files, the second saved with a mark), or as
// a script answers at a prompt: each answer ended by a carriage return alone, the second written
// only once the file question is there.
enum class answers_written { as_bytes, utf8_marked, second_marked, utf16le, utf16le_unmarked, by_a_script };

// What the image's name leads to, besides a file.
enum class image_kind { file, link_to_dev_zero, link_to_fifo };

// The page whose read is under way when the image changes: the dots of the pages before it are
// on the console.
constexpr int CHANGED_AT_PAGE = 30;

// Where a row's texts stand for what only the run knows: the COM number typed, the image's path,
// the name typed, this test's process as a reason names a program that holds the image ("PID n,
// name"), the link that the typed number finds no line behind, and the device's link as a reason
// lists it ("comN (LINE)").
const std::string PORT = "{port}";
const std::string IMAGE = "{image}";
const std::string TYPED = "{typed}";
const std::string ME = "{me}";
const std::string MISSING_LINK = "{missing}";
const std::string DEVICE_LINK = "{device}";

// The image read to its end, then refused: the second pass, or the look after it, found a change.
const std::string read_then_refused = reading_pages + dots + "\n" + unreadable;

// One run of the updater against the emulator: a complete update on a port of its own, unless a
// builder below says otherwise.
struct e2e_case : row_builder<e2e_case> {
    // What the operator sees from the banner to the exit prompt, and what reached the device.
    struct outcome {
        std::string screen = file_asked(PORT) + loaded() + start_prompt + complete;
        std::string reason; // "tarvolo_updater: REASON" beside the console text; "": none
        int status = 0;
        long bytes_to_device = TO_DEVICE_COMPLETE; // bytes the emulator received, -1: not checked
    };

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
    e2e_case& to_device(long bytes) { return set(seen.bytes_to_device, bytes); }
    // Refused before the start key: the console shows `shown` after the answers, and the reason
    // line says `reason`; nothing is sent.
    e2e_case& refused(const std::string& shown, std::string reason)
    {
        return set(seen, refusal(file_asked(PORT) + shown, std::move(reason))).within(20s);
    }
    // The same where the Windows build alone refuses, or refuses otherwise.
    e2e_case& refused_on_windows(const std::string& shown, std::string reason)
    {
        return set(seen_on_windows, refusal(file_asked(PORT) + shown, std::move(reason)));
    }
    // The port typed could not be opened: the question of the file is never asked.
    e2e_case& refused_at_the_port(std::string reason)
    {
        return set(seen, refusal(port_asked() + port_unavailable(PORT), std::move(reason))).within(20s);
    }
    e2e_case& within(std::chrono::seconds limit) { return set(at_most, limit); }
    e2e_case& erase_taking(int ms) { return set(emulator.erase_ms, ms); }
    e2e_case& emulator_with(std::vector<std::string> args) { return set(emulator.extra_args, std::move(args)); }
    e2e_case& extra_from_device(long bytes) { return set(extra_bytes_from_device, bytes); }
    e2e_case& output_pipe_closed() { return set(output_closed, true); }
    e2e_case& started_without(std::vector<int> streams) { return set(closed_streams, std::move(streams)); }
    e2e_case& sparse_image_of(long long size) { return set(image_size, size); }
    e2e_case& image_changed(image_change how) { return set(change, how).within(20s); }
    e2e_case& without_lease()
    {
        return only_on_linux("Windows has no leases")
            .only_as_root("giving the image to another user needs root")
            .set(lease_withheld, true);
    }
    e2e_case& image_being_written(image_writer by)
    {
        if (by == image_writer::hidden_by_a_pid_namespace) {
            only_as_root("a PID namespace of its own needs root");
        }
        return only_on_linux("a Linux program's writes are outside Windows' sharing rules").set(writer, by);
    }
    e2e_case& typed_as_image(std::string port_name, int linked_as)
    {
        return only_on_windows("a device name is a file name like any other on Linux")
            .set(device_name, std::move(port_name))
            .set(device_port, linked_as);
    }
    e2e_case& dated_after_2038() { return set(image_dated_after_2038, true); }
    e2e_case& beside(neighbour what)
    {
        if (in_another_devpts(what)) {
            only_as_root("mounting a devpts instance needs root");
        }
        return only_on_linux("locks, leases, descriptors and file systems beside a Linux run").set(next_to, what);
    }
    // The image named `file` in the run's folder and typed as `typed_as` (relative to it; "{}"
    // stands for the folder), in answers written `how`; a decoy named as a code page would misread
    // the name stands beside it, with another image.
    e2e_case& image_named(std::string file, std::string typed_as, answers_written how = answers_written::as_bytes)
    {
        return set(image_name, std::move(file)).set(typed_name, std::move(typed_as)).set(answers, how);
    }
    e2e_case& decoy_named(std::string file) { return set(decoy, std::move(file)); }
    // A device on COM `number` beside the run's, which must be neither opened nor sent anything.
    e2e_case& with_silent_port(int number) { return set(silent_port, number); }
    e2e_case& windows_only()
    {
        return only_on_windows("answers read in a code page or as UTF-16, and \\\\?\\ paths, are Windows' own");
    }
    e2e_case& only_on_linux(std::string why) { return set(not_on_windows, std::move(why)); }
    // The name typed is a link to something that is no file on a disk.
    e2e_case& image_is(image_kind what) { return set(kind, what); }
    // The operator types a COM number that has no link, beside the device's.
    e2e_case& typing_a_port_without_line()
    {
        return only_on_linux("the Windows build leaves naming the ports to Device Manager")
            .set(port_without_line, true);
    }

    // Why this build or this user cannot run the case; "" when it can.
    std::string why_not_here(bool on_windows) const
    {
        const std::string& other_builds = on_windows ? not_on_windows : not_on_linux;
        if (!other_builds.empty()) {
            return other_builds;
        }
        return ::geteuid() == 0 ? "" : not_as_user;
    }
    const outcome& seen_by(bool on_windows) const { return on_windows && seen_on_windows ? *seen_on_windows : seen; }

    std::string name;
    // Its port a number of its own unless the number is what the case is about, and an erase of
    // 200 ms.
    loader_emulator::settings emulator;
    outcome seen;
    std::optional<outcome> seen_on_windows; // when it differs
    std::chrono::seconds at_most = 30s; // the run must have ended by then
    long extra_bytes_from_device = 0; // bytes the device sent beyond its 244 replies
    bool output_closed = false; // nobody reads the console: its pipe is closed before the run
    std::vector<int> closed_streams; // closed at the program's start (`>&-`)
    long long image_size = -1; // a sparse file of this size instead of the image
    image_change change = image_change::none;
    // The updater without CAP_LEASE and the image another user's, so that no writer is kept
    // waiting: only the bytes read again can tell.
    bool lease_withheld = false;
    image_writer writer = image_writer::none;
    // Typed at the file question instead of the image's path, with the COM port of the same name
    // linked to a good image: the Windows build must not open it.
    std::string device_name;
    int device_port = 0;
    bool image_dated_after_2038 = false; // the image's modification time past a 32-bit time_t
    neighbour next_to = neighbour::none;
    std::string image_name; // "": fw.bin, typed as its full path
    std::string typed_name;
    answers_written answers = answers_written::as_bytes;
    std::string decoy;
    std::optional<int> silent_port;
    image_kind kind = image_kind::file;
    bool port_without_line = false;
    // Why the case cannot run on a build, or without root; "" where it can.
    std::string not_on_linux;
    std::string not_on_windows;
    std::string not_as_user;

private:
    static outcome refusal(std::string shown, std::string reason)
    {
        return {std::move(shown), std::move(reason), 1, 0};
    }
    e2e_case& fails(const std::string& shown)
    {
        return set(seen, outcome{file_asked(PORT) + loaded() + start_prompt + shown, "", 1, TO_DEVICE_COMPLETE});
    }
    e2e_case& only_on_windows(std::string why) { return set(not_on_linux, std::move(why)); }
    e2e_case& only_as_root(std::string why) { return set(not_as_user, std::move(why)); }
};

std::string kanji(int count) { return repeated("\u8868", count); }

// A complete update on a port of its own, the emulator given `faults`, unless the builders above
// say otherwise.
e2e_case row(const char* name, std::vector<std::string> faults = {}) { return e2e_case(name, std::move(faults)); }

// The updater run by another program, `before` its own words: a program that starts it knows
// nothing of a cross build's emulator, which must then come first.
void run_by(process_options& options, std::vector<std::string> before)
{
    for (const std::string& word : target_launcher()) {
        before.push_back(word);
    }
    before.insert(before.end(), options.argv.begin(), options.argv.end());
    options.argv = std::move(before);
}

// Every read of `image_file` by the run waits 20 ms before it is made (strace's fault injection),
// so that the test can act between two pages. Other files and the port are not slowed. From its
// `from_read`th read on: the 121st is the first of the second pass, after the last page's dot and
// the look at the file.
process_options with_slow_image_reads(
    process_options options, const std::string& image_file, std::chrono::microseconds delay = 20ms, int from_read = 1)
{
#ifdef TARVOLO_STRACE_PATH
    run_by(options,
        {TARVOLO_STRACE_PATH, "-f", "-qq", "-o", "/dev/null", "-P", image_file, "-e", "trace=read,pread64,readv,preadv",
            "-e",
            "inject=read,pread64,readv,preadv:delay_enter=" + std::to_string(delay.count()) +
                ":when=" + std::to_string(from_read) + "+"});
    // LeakSanitizer cannot work under ptrace, and would fail the sanitizer build's run at its end.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    options.set_env.emplace_back(
        "ASAN_OPTIONS", std::string(sanitizer != nullptr ? sanitizer : "") + ":detect_leaks=0");
#else
    (void)image_file;
    (void)delay;
    (void)from_read;
#endif
    return options;
}

// The image's reads slowed so that the whole first pass takes longer than a lease may keep a
// writer waiting, with the last ten pages read a few seconds after that: 0 when the kernel's
// time is too long for a test.
std::chrono::microseconds read_delay_past_the_lease_break()
{
    const long seconds = std::atol(read_file("/proc/sys/fs/lease-break-time").c_str());
    if (seconds <= 0 || seconds > 60) {
        return std::chrono::microseconds(0);
    }
    // Page 110 is read 110 delays after the first page, the writer let in `seconds` after it.
    return std::chrono::microseconds((seconds + 5) * 1000000L / 110);
}

// The lock file of the line behind `com_link` (a pseudo-terminal), as programs that follow the
// UUCP convention name it, removed again when the case ends.
struct line_lock {
    explicit line_lock(const std::string& com_link)
    {
        std::string line = std::filesystem::canonical(com_link).string();
        std::replace(line.begin(), line.end(), '/', '_');
        path = "/run/lock/LCK.." + line.substr(std::string("_dev_").size());
    }
    ~line_lock() { (void)::unlink(path.c_str()); }
    line_lock(const line_lock&) = delete;
    line_lock& operator=(const line_lock&) = delete;

    void names(long pid) const
    {
        const std::string ten_digits = std::string(10 - std::to_string(pid).size(), ' ') + std::to_string(pid);
        std::ofstream(path) << ten_digits << "\n";
    }

    std::string path;
};

// The answers (ASCII and UTF-8) as `how` writes them.
std::string answers_as(answers_written how, const std::string& port, const std::string& name)
{
    switch (how) {
    case answers_written::utf8_marked:
        return "\xEF\xBB\xBF" + port + "\n" + name + "\n";
    case answers_written::second_marked:
        return port + "\r\n\xEF\xBB\xBF" + name + "\r\n";
    case answers_written::utf16le:
        return utf16le(port + "\n" + name + "\n");
    case answers_written::utf16le_unmarked:
        return utf16le(port + "\r\n" + name + "\r\n", "");
    case answers_written::as_bytes:
    case answers_written::by_a_script:
        break;
    }
    return port + "\n" + name + "\n";
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

// A case's neighbour at work: set up before the run, checked and cleared after it.
class neighbour_at_work {
public:
    explicit neighbour_at_work(neighbour what) : what_(what) { }

    // May put the image elsewhere (`image_file`) and run the updater otherwise (`options`).
    void start(const temp_dir& work, const com_port& port, std::string& image_file, process_options& options)
    {
        const auto lock_and_run = [&](const char* then) {
            lock_.emplace(port.path);
            run_by(options, {"sh", "-c", std::string("printf '%10d\\n' $$ >\"$0\"; ") + then, lock_->path});
        };
        switch (what_) {
        case neighbour::none:
            break;
        case neighbour::lock_linked_to_another_line:
            other_line_ = std::make_unique<pty_pair>(pty_pair::held::both);
            make_raw(other_line_->slave);
            lock_.emplace(port.path);
            ASSERT_EQ(::symlink(other_line_->slave_path.c_str(), lock_->path.c_str()), 0);
            ASSERT_TRUE(write_all(other_line_->master, OTHER_STATIONS_REPLY));
            break;
        case neighbour::lock_of_a_zombie:
            zombie_ = ::fork();
            if (zombie_ == 0) {
                ::_exit(0);
            }
            ASSERT_GT(zombie_, 0);
            ASSERT_TRUE(wait_until(
                [this] {
                    return read_file("/proc/" + std::to_string(zombie_) + "/stat").find(") Z ") != std::string::npos;
                },
                5s));
            lock_.emplace(port.path);
            lock_->names(zombie_);
            break;
        case neighbour::lock_of_a_kernel_thread:
            ASSERT_EQ(read_file("/proc/2/comm"), "kthreadd\n") << "PID 2 is no kernel thread here";
            lock_.emplace(port.path);
            lock_->names(2);
            break;
        case neighbour::lock_of_the_wrapper:
            lock_and_run("\"$@\"; exit $?");
            break;
        case neighbour::lock_of_the_updater_itself:
            lock_and_run("exec \"$@\"");
            break;
        case neighbour::lock_of_a_wrapper_two_levels_up:
            lock_and_run("timeout 60 \"$@\"");
            break;
        case neighbour::lock_linked_to_another_lines_lock: {
            process_options sleeper;
            sleeper.argv = {"sleep", "300"};
            holder_.emplace(child_process::start_detached(sleeper));
            const std::string other_lock = work.write_file("LCK..ttyUSB9", std::to_string(holder_->pid) + "\n");
            lock_.emplace(port.path);
            ASSERT_EQ(::symlink(other_lock.c_str(), lock_->path.c_str()), 0);
            break;
        }
        case neighbour::line_flocked_by_the_wrapper:
            run_by(options, {"flock", port.path});
            break;
        case neighbour::line_held_open_by_the_wrapper:
            // In a subshell: the run's shell leads its session, and would take the line for its
            // terminal.
            run_by(options, {"sh", "-c", "(\"$@\"; exit $?) 3<>\"$0\"", port.path});
            break;
        case neighbour::same_number_held_in_another_devpts:
        case neighbour::same_number_a_session_in_another_devpts: {
            const std::string line = std::filesystem::canonical(port.path).string();
            ASSERT_EQ(line.rfind("/dev/pts/", 0), 0U) << line;
            other_devpts_.emplace(another_devpts{work.path + "/pts", std::stoi(line.substr(9)),
                what_ == neighbour::same_number_a_session_in_another_devpts});
            std::filesystem::create_directory(other_devpts_->mount_dir);
            opener_.emplace(*other_devpts_);
            ASSERT_TRUE(opener_->opened) << "no terminal " << other_devpts_->number << " in a devpts of its own";
            break;
        }
        case neighbour::path_only_descriptor_on_the_line:
            held_.fd = ::open(std::filesystem::canonical(port.path).c_str(), O_PATH | O_CLOEXEC);
            ASSERT_GE(held_.fd, 0);
            break;
        case neighbour::write_lease_on_the_image:
            held_.fd = ::open(image_file.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(held_.fd, 0);
            // The kernel tells the holder of a reader with SIGIO, whose default would end the test.
            sigio_found_ = std::signal(SIGIO, SIG_IGN);
            ASSERT_EQ(::fcntl(held_.fd, F_SETLEASE, F_WRLCK), 0);
            // Given up, and the file closed, once a reader asks for it, as a file server does
            // with an oplock.
            lease_holder_ = std::thread([this] {
                (void)wait_until([this] { return ::fcntl(held_.fd, F_GETLEASE) != F_WRLCK; }, 30s);
                (void)::fcntl(held_.fd, F_SETLEASE, F_UNLCK);
                (void)::close(held_.fd);
                held_.fd = -1;
            });
            break;
        case neighbour::stopped_fuse_server: {
            fuse_.emplace(work.path, image_file);
            ASSERT_FALSE(fuse_->file.empty()) << "the FUSE server did not come up";
            process_options sleeper;
            sleeper.argv = {"sh", "-c", "exec sleep 300 <\"$1\"", "sh", fuse_->file};
            holder_.emplace(child_process::start_detached(sleeper));
            ASSERT_TRUE(wait_until_open(fuse_->file, 5s, holder_->pid));
            fuse_->stop();
            break;
        }
        case neighbour::image_switched_behind_the_page_cache:
            fuse_.emplace(work.path, image_file, work.write_file("then.bin", sample_image(98)));
            ASSERT_FALSE(fuse_->file.empty()) << "the FUSE server did not come up";
            image_file = fuse_->file;
            break;
        }
    }
    ~neighbour_at_work()
    {
        if (fuse_) {
            fuse_->go_on(); // before the holder ends: its file's last close asks the server
        }
        holder_.reset();
        if (lease_holder_.joinable()) {
            lease_holder_.join();
        }
        if (zombie_ > 0) {
            (void)::waitpid(zombie_, nullptr, 0);
        }
        if (sigio_found_ != SIG_ERR) {
            (void)std::signal(SIGIO, sigio_found_);
        }
    }
    neighbour_at_work(const neighbour_at_work&) = delete;
    neighbour_at_work& operator=(const neighbour_at_work&) = delete;

    // Its lock goes before the line does: once the emulator has ended, the line's terminal number
    // is free for a case running beside, which would find this lock under its own line's name.
    void release_lock() { lock_.reset(); }

    // What must still be as the neighbour left it.
    void check_after()
    {
        if (what_ == neighbour::lock_linked_to_another_line) {
            EXPECT_EQ(read_for(other_line_->slave, 50ms, 500ms), OTHER_STATIONS_REPLY)
                << "read from another station's line";
        }
        if (lease_holder_.joinable()) {
            lease_holder_.join();
            EXPECT_EQ(held_.fd, -1) << "the lease was never asked for";
        }
    }

private:
    static constexpr char OTHER_STATIONS_REPLY[] = "another station's device answers";
    neighbour what_;
    std::optional<line_lock> lock_;
    std::unique_ptr<pty_pair> other_line_;
    pid_t zombie_ = -1;
    file_descriptor held_;
    std::thread lease_holder_;
    void (*sigio_found_)(int) = SIG_ERR;
    std::optional<fuse_image> fuse_; // ended after the process that holds a file on it
    std::optional<child_process> holder_;
    std::optional<another_devpts> other_devpts_;
    std::optional<line_opener> opener_;
};

class UpdateEndToEnd : public ::testing::TestWithParam<e2e_case> { };

TEST_P(UpdateEndToEnd, Run)
{
    const e2e_case& c = GetParam();
    const updater_under_test updater;
    const bool on_windows = !updater.wine_exe.empty();
    const std::string not_here = c.why_not_here(on_windows);
    if (!not_here.empty()) {
        GTEST_SKIP() << not_here;
    }
    // What the machine lacks for the case.
    if (served_by_fuse(c.next_to) && !fuse_image::unavailable().empty()) {
        GTEST_SKIP() << fuse_image::unavailable();
    }
    const std::chrono::microseconds lease_outlasted =
        c.writer == image_writer::let_in_when_the_lease_ran_out ? read_delay_past_the_lease_break() : 0us;
    if (c.writer == image_writer::let_in_when_the_lease_ran_out && lease_outlasted == 0us) {
        GTEST_SKIP() << "the kernel lets a lease keep a writer waiting too long for a test";
    }
#ifndef TARVOLO_STRACE_PATH
    if (c.change != image_change::none) {
        GTEST_SKIP() << "slowing the image's reads needs strace";
    }
#endif
    const e2e_case::outcome& expected = c.seen_by(on_windows);
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

    loader_emulator::settings s = c.emulator;
    s.com_dir = com_dir;
    loader_emulator device(s, work.path);

    process_options options = updater.options(com_dir);
    options.working_dir = work.path;
    neighbour_at_work beside(c.next_to);
    beside.start(work, device.port, image_file, options);
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    std::string typed = image_file;
    if (!c.image_name.empty()) {
        const std::string folder = c.image_name.substr(0, c.image_name.rfind('/') + 1);
        std::filesystem::create_directories(work.path + "/" + folder);
        image_file = work.write_file(c.image_name, image);
        std::string windows_folder = work.path;
        std::replace(windows_folder.begin(), windows_folder.end(), '/', '\\');
        typed = filled(c.typed_name, {{"{}", "Z:" + windows_folder}});
    }
    if (!c.decoy.empty()) {
        (void)work.write_file(c.decoy, sample_image(99));
    }
    if (c.kind == image_kind::link_to_dev_zero) {
        ASSERT_EQ(::unlink(image_file.c_str()), 0);
        ASSERT_EQ(::symlink("/dev/zero", image_file.c_str()), 0);
    } else if (c.kind == image_kind::link_to_fifo) {
        ASSERT_EQ(::unlink(image_file.c_str()), 0);
        ASSERT_EQ(::mkfifo((work.path + "/fifo").c_str(), 0600), 0);
        ASSERT_EQ(::symlink((work.path + "/fifo").c_str(), image_file.c_str()), 0);
    }
    std::optional<com_port> behind_the_name;
    if (!c.device_name.empty()) {
        // The port of that name leads to a good image, which an open would take as the image.
        behind_the_name.emplace(com_dir, c.device_port);
        behind_the_name->link_to(work.write_file("behind.bin", image));
        typed = c.device_name;
    }
    options.output_closed = c.output_closed;
    options.closed_streams = c.closed_streams;
    std::string marker;
    std::function<void()> change;
    const std::string other = sample_image(99);
    if (c.change != image_change::none) {
        const bool second_read = c.change == image_change::grown_during_second_read;
        options = second_read ? with_slow_image_reads(options, image_file, 100ms, 121)
                              : with_slow_image_reads(options, image_file);
        marker = second_read ? dots : std::string(CHANGED_AT_PAGE, '.');
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
            case image_change::grown_during_second_read: {
                // Past the look after the last page, and well within the first read of the second
                // pass.
                std::this_thread::sleep_for(50ms);
                const int fd = ::open(image_file.c_str(), O_WRONLY | O_APPEND);
                ASSERT_GE(fd, 0);
                EXPECT_EQ(::write(fd, "x", 1), 1);
                ASSERT_EQ(::close(fd), 0);
                return;
            }
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
        constexpr uid_t NOBODY = 65534;
        ASSERT_EQ(::chown(image_file.c_str(), NOBODY, NOBODY), 0);
        options.argv.insert(options.argv.begin(), {"setpriv", "--bounding-set=-lease", "--inh-caps=-lease", "--"});
    }
    // The writer's descriptor stays open for the whole run, as the stalled program's would.
    file_descriptor writer;
    if (c.writer == image_writer::hidden_by_a_pid_namespace) {
        writer.fd = ::open(image_file.c_str(), O_WRONLY);
        ASSERT_GE(writer.fd, 0);
        run_by(options, {"unshare", "--pid", "--fork", "--mount-proc", "--"});
    } else if (c.writer == image_writer::let_in_when_the_lease_ran_out) {
        options = with_slow_image_reads(options, image_file, lease_outlasted);
        marker = reading_pages;
        change = [&writer, &image_file, &other] {
            // Waits here until the kernel takes the lease from the updater.
            writer.fd = ::open(image_file.c_str(), O_WRONLY);
            ASSERT_GE(writer.fd, 0);
            for (int page = 119; page >= 110; --page) {
                const off_t at = static_cast<off_t>(page) * 4096;
                ASSERT_EQ(::pwrite(writer.fd, other.data() + at, 4096, at), 4096);
            }
        };
    } else if (c.writer != image_writer::none) {
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
    const bool writer_waits = changes_the_bytes(c.change) && expected.status == 0;
    std::optional<com_port> without_line;
    if (c.port_without_line) {
        without_line.emplace(com_dir);
    }
    const int port = without_line ? without_line->number : device.port.number;
    const std::string device_linked_as = "com" + std::to_string(device.port.number) + " (" +
        std::filesystem::read_symlink(device.port.path).string() + ")";
    std::optional<device_line> other_line;
    speed_t other_line_speed = 0;
    if (c.silent_port) {
        // Both ends held, so that the port opens under wine as a device's would. Opening it at all
        // is the harm: the line settings tell whether it was set up.
        other_line.emplace(com_dir, c.silent_port, std::nullopt, pty_pair::held::both);
        termios found{};
        ASSERT_EQ(::tcgetattr(other_line->slave, &found), 0);
        other_line_speed = ::cfgetospeed(&found);
    }
    const run_result run = c.answers == answers_written::by_a_script
        ? run_answering(
              options, {{"", std::to_string(port) + "\r"}, {"TVL_V6_FW_V3_7_2.bin): ", typed + "\r"}}, c.at_most + 5s)
        : run_detached(options, answers_as(c.answers, std::to_string(port), typed), c.at_most + 5s, marker, change);
    beside.release_lock();
    const int device_status = device.finish();

    const auto in_this_run = [&](const std::string& text) {
        return filled(text,
            {{PORT, std::to_string(port)}, {IMAGE, image_file}, {TYPED, typed},
                {ME, "PID " + std::to_string(::getpid()) + ", " + command_name(::getpid())},
                {MISSING_LINK, without_line ? without_line->path : ""}, {DEVICE_LINK, device_linked_as}});
    };
    const std::string shown = in_this_run(expected.screen) +
        (expected.reason.empty() ? "" : updater.reason_line(in_this_run(expected.reason)));
    const bool stdout_closed =
        c.output_closed || std::find(c.closed_streams.begin(), c.closed_streams.end(), 1) != c.closed_streams.end();
    EXPECT_EQ(run.status, expected.status);
    EXPECT_EQ(lines_masked(run.output), stdout_closed ? "" : updater.console_text(shown + exit_prompt));
    EXPECT_LT(run.seconds, c.at_most.count()) << "the run must end within the timeouts";
    if (expected.bytes_to_device >= 0) {
        EXPECT_EQ(device.bytes_received, expected.bytes_to_device) << device.output;
    }
    beside.check_after();
    if (other_line) {
        EXPECT_EQ(read_for(other_line->master, 50ms, 200ms), "") << "sent to COM" << *c.silent_port;
        termios now{};
        ASSERT_EQ(::tcgetattr(other_line->slave, &now), 0);
        EXPECT_EQ(::cfgetospeed(&now), other_line_speed) << "COM" << *c.silent_port << " was set up";
    }
    if (writer_waits) {
        EXPECT_EQ(read_file(image_file), c.change == image_change::cut_short ? "" : other)
            << "the writer went on after";
    }
    if (expected.status == 0) {
        EXPECT_EQ(device_status, 0) << device.output;
        EXPECT_EQ(device.bytes_sent, FROM_DEVICE_COMPLETE + c.extra_bytes_from_device) << device.output;
        EXPECT_TRUE(read_file(device.image_out) == image) << "the device did not receive the image";
    } else {
        EXPECT_NE(device_status, 0) << device.output;
    }
}

// The reasons that several rows give.
const std::string CHANGED = IMAGE + ": changed while it was read";
const std::string CUT_SHORT =
    IMAGE + ": cut short while it was read, after " + std::to_string(CHANGED_AT_PAGE * 4096) + " of 491520 bytes";
const std::string read_until_cut_short = reading_pages + std::string(CHANGED_AT_PAGE, '.') + "\n" + unreadable;
const std::string WRITTEN_BY_ME = IMAGE + ": being written by another program (" + ME + ")";
const std::string A_DEVICE = TYPED + ": a device, not a file";

const e2e_case cases[] = {
    // A port under 10 is COMn to Windows, a higher one only \\.\COMn.
    row("complete").on_port(5),
    row("complete_on_port_12").on_port(12),
    row("complete_on_port_123").on_port(123),
    // The number Windows showed, typed on Linux where the device is linked as another: the reason
    // names the link and the lines there are.
    row("port_without_line")
        .typing_a_port_without_line()
        .refused_at_the_port(MISSING_LINK +
            ": No such file or directory; COM ports linked in that folder: " + DEVICE_LINK + no_line_for(PORT)),
    // Wine turns a port found with IXON on into a DCB with XON/XOFF on, and the Windows build
    // rightly keeps flow control as found; only the Linux build switches it off.
    row("port_found_with_posix_terminal_defaults")
        .emulator_with({"--posix-defaults"})
        .only_on_linux("a POSIX terminal's defaults are not the found state of a Windows port"),
    // A byte every 700 ms, under the 1000 ms interval with room for a machine busy with emulators.
    row("slow_replies_within_the_interval", {"crc=drip:700", "header:3=delay:2500", "final=drip:700"}).within(40s),
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
    row("image_of_2_gib_and_one_image")
        .sparse_image_of((2LL << 30) + 491520)
        .refused(invalid_file, IMAGE + ": 2147975168 bytes; an image has 491520")
        .within(10s),
    row("image_of_4_gib_and_one_image")
        .sparse_image_of((4LL << 30) + 491520)
        .refused(invalid_file, IMAGE + ": 4295458816 bytes; an image has 491520")
        .within(10s),
    row("image_of_8_gib_and_one_image")
        .sparse_image_of((8LL << 30) + 491520)
        .refused(invalid_file, IMAGE + ": 8590426112 bytes; an image has 491520")
        .within(10s),
    // Another image lands in place of the one being read: one file as it was at one moment is
    // flashed, or nothing.
    // Linux keeps the writer waiting until the image has been read; where nothing can (Windows, a
    // writer outside its sharing rules; Linux without a lease), the image read again tells.
    row("image_rewritten_while_read")
        .image_changed(image_change::rewritten_in_place)
        .refused_on_windows(read_then_refused, CHANGED),
    row("image_cut_short_while_read")
        .image_changed(image_change::cut_short)
        .refused_on_windows(read_until_cut_short, CUT_SHORT),
    row("image_rewritten_and_dated_back_while_read")
        .image_changed(image_change::rewritten_dated_back)
        .refused_on_windows(read_then_refused, CHANGED),
    row("image_rewritten_while_read_without_lease")
        .image_changed(image_change::rewritten_in_place)
        .without_lease()
        .refused(read_then_refused, CHANGED),
    row("image_cut_short_while_read_without_lease")
        .image_changed(image_change::cut_short)
        .without_lease()
        .refused(read_until_cut_short, CUT_SHORT),
    row("image_rewritten_and_dated_back_without_lease")
        .image_changed(image_change::rewritten_dated_back)
        .without_lease()
        .refused(read_then_refused, CHANGED),
    // Without a lease, nothing keeps the appending writer out: only the read past the end sees it.
    row("image_grown_during_its_second_read")
        .image_changed(image_change::grown_during_second_read)
        .without_lease()
        .refused(read_then_refused, CHANGED),
    // The second read must come from the file's source, not from the pages the first one left.
    row("image_switched_behind_the_page_cache")
        .beside(neighbour::image_switched_behind_the_page_cache)
        .refused(read_then_refused, CHANGED),
    // Changes that leave every byte as it was: the update goes on with what was read.
    row("image_mode_changed_while_read").image_changed(image_change::mode_changed),
    row("image_linked_while_read").image_changed(image_change::linked),
    row("image_renamed_over_while_read").image_changed(image_change::renamed_over),
    // Another program still writing the image when the updater starts.
    row("image_of_a_stalled_copy").image_being_written(image_writer::stalled_copy).refused(unreadable, WRITTEN_BY_ME),
    row("image_of_a_download_with_its_size_set_first")
        .image_being_written(image_writer::download)
        .refused(unreadable, WRITTEN_BY_ME),
    row("image_written_by_a_program_that_proc_does_not_show")
        .image_being_written(image_writer::hidden_by_a_pid_namespace)
        .refused(unreadable, IMAGE + ": being written by another program"),
    // Nothing on the station that is not the line's user or the image's writer stops the update.
    row("lock_file_linked_to_another_line").beside(neighbour::lock_linked_to_another_line),
    row("lock_of_a_zombie").beside(neighbour::lock_of_a_zombie),
    row("lock_of_a_kernel_thread").beside(neighbour::lock_of_a_kernel_thread),
    row("lock_taken_by_the_wrapper_that_runs_the_updater").beside(neighbour::lock_of_the_wrapper),
    row("lock_naming_the_updater_itself").beside(neighbour::lock_of_the_updater_itself),
    row("lock_taken_by_a_wrapper_two_levels_up").beside(neighbour::lock_of_a_wrapper_two_levels_up),
    row("lock_file_linked_to_another_lines_lock").beside(neighbour::lock_linked_to_another_lines_lock),
    // The station's own wrapper holds the line for the run, as a lock file naming it does.
    row("line_flocked_by_the_wrapper").beside(neighbour::line_flocked_by_the_wrapper),
    row("line_held_open_by_the_wrapper").beside(neighbour::line_held_open_by_the_wrapper),
    row("line_named_by_an_o_path_descriptor").beside(neighbour::path_only_descriptor_on_the_line),
    row("line_number_held_in_another_devpts").beside(neighbour::same_number_held_in_another_devpts),
    row("line_number_a_session_in_another_devpts").beside(neighbour::same_number_a_session_in_another_devpts),
    row("image_with_a_write_lease_given_up_on_request").beside(neighbour::write_lease_on_the_image),
    row("file_held_open_on_a_stopped_fuse_server").beside(neighbour::stopped_fuse_server),
    // A device name typed as the image, the port of that name linked to a good image.
    row("port_name_as_image").typed_as_image("COM9", 9).refused(invalid_file, A_DEVICE),
    row("port_name_with_extension_as_image").typed_as_image("com8.bin", 8).refused(invalid_file, A_DEVICE),
    row("port_in_device_namespace_as_image").typed_as_image("\\\\.\\COM52", 52).refused(invalid_file, A_DEVICE),
    // The root of a device path is the namespace itself: ".." climbs over the drive to the port.
    row("port_behind_a_drive_in_device_namespace_as_image")
        .typed_as_image("\\\\.\\C:\\..\\COM192", 192)
        .refused(invalid_file, A_DEVICE),
    row("port_behind_a_drive_with_slashes_as_image")
        .typed_as_image("//./C:/../COM194", 194)
        .refused(invalid_file, A_DEVICE),
    // A reserved name that only resolving the path brings to the end ("." and ".." taken out).
    row("port_name_before_a_dot_as_image").typed_as_image("COM9\\.", 9).refused(invalid_file, A_DEVICE),
    row("port_name_in_a_folder_before_a_dot_as_image").typed_as_image("fw\\COM9\\.", 9).refused(invalid_file, A_DEVICE),
    row("port_name_before_a_folder_and_dots_as_image").typed_as_image("COM9\\x\\..", 9).refused(invalid_file, A_DEVICE),
    // No file on a disk behind the name: a device that reads forever, a pipe that no one writes.
    row("image_a_link_to_dev_zero")
        .image_is(image_kind::link_to_dev_zero)
        .refused(invalid_file, TYPED + ": not a regular file")
        .refused_on_windows(invalid_file, TYPED + ": not a file on a disk"),
    row("image_a_link_to_a_fifo")
        .image_is(image_kind::link_to_fifo)
        .refused(invalid_file, TYPED + ": not a regular file")
        .refused_on_windows(invalid_file, TYPED + ": not a file on a disk"),
    // Answers files as Windows tools write them: the file typed is the file flashed, never the
    // one a code page's reading of the same bytes names.
    row("answers_in_utf8_without_a_mark")
        .image_named("pr\u00fcf-\u0141\u00f3d\u017a.bin", "pr\u00fcf-\u0141\u00f3d\u017a.bin"),
    // The same bytes read in the ANSI code page name a file too: neither may be opened.
    row("answers_in_utf8_beside_their_ansi_reading")
        .image_named("pr\u00fcf-\u0141\u00f3d\u017a.bin", "pr\u00fcf-\u0141\u00f3d\u017a.bin")
        .decoy_named("pr\u00c3\u00bcf-\u00c5\u0081\u00c3\u00b3d\u00c5\u00ba.bin")
        .refused(unreadable,
            "pr\u00fcf-\u0141\u00f3d\u017a.bin: or pr\u00c3\u00bcf-\u00c5\\302\\201\u00c3\u00b3d\u00c5\u00ba.bin: "
            "the answers file reads either way and both files exist; save it as UTF-8")
        .windows_only(),
    row("answers_in_utf8_with_a_mark")
        .image_named("pr\u00fcf.bin", "pr\u00fcf.bin", answers_written::utf8_marked)
        .windows_only(),
    row("answers_in_utf16le")
        .image_named("\u0141\u00f3d\u017a-\u8868.bin", "\u0141\u00f3d\u017a-\u8868.bin", answers_written::utf16le)
        .windows_only(),
    // 200 characters, 600 bytes of UTF-8, in folders of at most 255 bytes as Linux needs them.
    row("answers_with_a_name_of_200_kanji")
        .image_named(kanji(80) + "/" + kanji(80) + "/" + kanji(34) + ".bin",
            kanji(80) + "/" + kanji(80) + "/" + kanji(34) + ".bin"),
    // A path pasted from Explorer's "Copy as path", and one in the literal namespace whose last part
    // is a reserved name only outside it.
    row("image_path_in_double_quotes").image_named("fw.bin", "\"fw.bin\""),
    row("image_path_taken_literally").image_named("com1.bin", "\\\\?\\{}\\com1.bin").windows_only(),
    // Two files joined by `copy /b`, the second saved with a mark: the mark is no part of the name.
    row("answers_with_a_mark_before_the_second")
        .image_named("fw.bin", "fw.bin", answers_written::second_marked)
        .windows_only(),
    // `cmd /u /c "echo 12> a.txt"`: read byte by byte, the first digit would open COM1.
    row("answers_in_utf16le_without_a_mark")
        .image_named("\u0141\u00f3d\u017a.bin", "\u0141\u00f3d\u017a.bin", answers_written::utf16le_unmarked)
        .on_port(12)
        .with_silent_port(1)
        .windows_only(),
    // An expect script or a terminal's macro: "5\r", then the name once the question is asked.
    row("answers_each_ended_by_a_carriage_return").image_named("fw.bin", "fw.bin", answers_written::by_a_script),
    // Explorer's "Copy as path" of a file in a folder with a blank: the name ends at the blank.
    row("quoted_path_with_a_blank")
        .image_named("First Last/fw.bin", "\"First Last/fw.bin\"")
        .refused(unreadable, "\"First: name ended at a blank: a name may not hold blanks"),
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

// The frames that reached the device by now, as its transcript shows them.
long frames_in(const std::string& transcript)
{
    const std::string text = read_file(transcript);
    long frames = 0;
    for (std::size_t at = text.find("host>"); at != std::string::npos; at = text.find("host>", at + 1)) {
        ++frames;
    }
    return frames;
}

// Root passes the exclusive flag, and so does a program that ignores it (a modem manager probing a
// port just plugged in): whenever such a program opens the line, it would take the device's
// replies. No frame may reach the device after the open but one already on its way, and the
// failure names the program. The opener runs from before the run, as a prober does, with a lower
// number than the processes of a busy machine.
TEST(LineOpenedByAnotherProgram, NoFrameReachesTheDeviceAfterTheOpen)
{
    struct row {
        const char* what;
        std::string opens_at; // the console text after which it opens
        std::chrono::milliseconds later;
        int more_processes;
        loader_emulator::settings device;
        std::string step; // the console from the start prompt to the reason line; "": any page's failure
        long frames_after_open; // at most
    };
    const row rows[] = {
        {"60 ms after the key, among 3,000 more processes", start_prompt, 60ms, 3000, {{}, {}, {}, 3000, {}},
            erasing + erase_error, 0},
        // Paced as on the wire, so that the rest of the pages would take half a minute.
        {"while the pages go out", progress(20), 0ms, 0, {{}, {}, {}, 200, {"--baud", "115200"}}, "", 1},
    };
    const updater_under_test updater;
    if (!updater.wine_exe.empty()) {
        GTEST_SKIP() << "a Linux program opening the line beside the run";
    }
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root's open passes the exclusive flag";
    }
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        temp_dir work;
        const std::string image = work.write_file("fw.bin", sample_image(7));
        loader_emulator::settings s = r.device;
        s.com_dir = work.path;
        loader_emulator device(s, work.path);
        line_opener opener(device.port.path, line_opener::when::told);
        const process_crowd busy(r.more_processes);
        long frames_at_open = -1;
        std::chrono::steady_clock::time_point opened_at;
        const run_result run = run_detached(
            updater.options(work.path), std::to_string(device.port.number) + "\n" + image + "\n", 60s, r.opens_at, [&] {
                std::this_thread::sleep_for(r.later);
                ASSERT_TRUE(opener.open_now());
                opened_at = std::chrono::steady_clock::now();
                frames_at_open = frames_in(device.transcript);
            });
        const double seconds_after_open =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - opened_at).count();
        (void)device.finish(1s);
        EXPECT_EQ(run.status, 1);
        const std::string why =
            updater.reason_line(device.port.path + ": opened by another program during the update (PID " +
                std::to_string(opener.pid) + ", " + command_name(opener.pid) + ")");
        const std::string before = file_asked(device.port.number) + loaded() + start_prompt;
        // A slow build (qemu-user, the sanitizers) may not have sent the erase frame yet: then
        // the look before it ends the run.
        const std::string before_the_erase = before + no_erase_response +
            updater.reason_line(device.port.path + ": opened by another program while waiting (PID " +
                std::to_string(opener.pid) + ", " + command_name(opener.pid) + "); nothing was sent") +
            exit_prompt;
        if (!r.step.empty() && frames_at_open == 0 && run.output == before_the_erase) {
            EXPECT_EQ(frames_in(device.transcript), 0) << read_file(device.transcript);
        } else if (!r.step.empty()) {
            EXPECT_EQ(run.output, before + r.step + why + exit_prompt);
        } else {
            EXPECT_EQ(run.output.rfind(before + to_pages, 0), 0U) << run.output;
            EXPECT_NE(run.output.find("Failure"), std::string::npos) << run.output;
            EXPECT_EQ(
                run.output.substr(run.output.size() - std::min(run.output.size(), why.size() + exit_prompt.size())),
                why + exit_prompt);
        }
        EXPECT_LE(frames_in(device.transcript) - frames_at_open, r.frames_after_open) << read_file(device.transcript);
        // Wide: it proves the run did not go on with the pages left, which take half a minute.
        EXPECT_LT(seconds_after_open, 10.0) << "the run went on after the open";
    }
}

// An image built on a machine whose clock is past 2038 (or copied from one): no build may fail to
// look at it.
const e2e_case dated_after_2038 = row("image_dated_after_2038").dated_after_2038();

INSTANTIATE_TEST_SUITE_P(Dated, UpdateEndToEnd, ::testing::Values(dated_after_2038), case_name);

// Takes a minute: excluded from quick runs by its label, run by CI.
const e2e_case long_cases[] = {
    row("erase_taking_60_s").erase_taking(60000).within(100s),
    // Read for longer than the kernel lets a lease keep a writer waiting (45 s by default).
    row("image_writer_let_in_when_the_lease_ran_out")
        .image_being_written(image_writer::let_in_when_the_lease_ran_out)
        .refused(read_then_refused, WRITTEN_BY_ME)
        .within(110s),
};

INSTANTIATE_TEST_SUITE_P(Long, UpdateEndToEnd, ::testing::ValuesIn(long_cases), case_name);

} // namespace
