#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/main_sequence.h"
#include "support/captured_console.h"
#include "support/expected_text.h"
#include "support/fake_port.h"
#include "support/temp_dir.h"

namespace {

const std::string NL = "\n\r";

std::string dialogue_until_open(int port)
{
    return expected::banner + expected::port_question + NL + expected::port_opened(port);
}

TEST(MainSequence, MissingMemoryShowsOnlyTheMallocError)
{
    struct row {
        const char* what;
        allocate_fn allocate;
    };
    const row rows[] = {
        {"image buffer", [](std::size_t size) { return size == 491520 ? nullptr : std::malloc(size); }},
        {"reply buffer", [](std::size_t size) { return size == 8192 ? nullptr : std::malloc(size); }},
        {"nothing at all", [](std::size_t) -> void* { return nullptr; }},
    };
    for (const auto& r : rows) {
        captured_console con("5\nfw.bin\n");
        fake_port port;
        EXPECT_EQ(run_main_sequence(port, r.allocate), 1) << r.what;
        EXPECT_EQ(con.output, expected::malloc_error + expected::exit_prompt) << r.what;
        EXPECT_EQ(con.keys_waited, 1) << r.what;
        EXPECT_EQ(port.opened_number, 0) << r.what;
    }
}

TEST(MainSequence, PortThatCannotBeOpenedEndsBeforeTheFileQuestion)
{
    captured_console con("300\n7\nfw.bin\n");
    fake_port port;
    port.open_result = phase_result::failure;
    EXPECT_EQ(run_main_sequence(port), 1);
    EXPECT_EQ(con.output,
        expected::banner + expected::port_question + NL + expected::port_again + NL + expected::port_unavailable(7) +
            expected::exit_prompt);
    EXPECT_EQ(port.opened_number, 7);
    EXPECT_EQ(port.setups, 0);
    EXPECT_EQ(con.unread_input(), "\nfw.bin\n");
    EXPECT_EQ(con.keys_waited, 1);
}

TEST(MainSequence, FailuresBeforeTheStartKey)
{
    temp_dir dir;
    const std::string wrong_size = dir.write_file("small.bin", "tiny");
    struct row {
        const char* what;
        std::string input;
        std::string tail;
    };
    const row rows[] = {
        {"end of input at the port question", "", ""},
        {"end of input at the file question", "5\n", "\n"},
        {"missing file", "5\n" + dir.path + "/absent.bin\n", "\n" + expected::unreadable},
        {"wrong size", "5\n" + wrong_size + "\n", "\n" + expected::invalid_file},
        {"name too long", "5\n" + std::string(300, 'a') + "\n", "\n" + expected::unreadable},
    };
    for (const auto& r : rows) {
        captured_console con(r.input);
        fake_port port;
        EXPECT_EQ(run_main_sequence(port), 1) << r.what;
        const std::string opened = r.input.empty() ? expected::banner + expected::port_question + NL
                                                   : dialogue_until_open(5) + expected::file_question;
        EXPECT_EQ(con.output, opened + r.tail + expected::exit_prompt) << r.what;
        EXPECT_EQ(con.keys_waited, 1) << r.what;
        EXPECT_TRUE(port.sent.empty()) << r.what;
    }
}

TEST(MainSequence, PortIsSetUpOnceUnderTheNormalProfile)
{
    captured_console con("5\n");
    fake_port port;
    EXPECT_EQ(run_main_sequence(port), 1);
    EXPECT_EQ(port.setups, 1);
    EXPECT_EQ(port.current_profile, timeout_profile::normal);
}

TEST(MainSequence, PromptsAreOnTheScreenBeforeEachKeyWait)
{
    temp_dir dir;
    const std::string file = dir.write_file("fw.bin", sample_image());
    captured_console con("12\n" + file + "\n");
    fake_port port;
    (void)run_main_sequence(port);
    const std::string before_start =
        dialogue_until_open(12) + expected::file_question + "\n" + expected::loaded() + expected::start_prompt;
    ASSERT_GE(con.key_wait_marks.size(), 2U);
    EXPECT_EQ(con.output.substr(0, con.key_wait_marks[0]), before_start);
    EXPECT_EQ(con.output.size(), con.key_wait_marks.back());
    EXPECT_EQ(con.output.substr(con.output.size() - expected::exit_prompt.size()), expected::exit_prompt);
}

} // namespace

namespace {

TEST(MainSequence, StatusFollowsTheDevicesLastWord)
{
    temp_dir dir;
    const std::string file = dir.write_file("fw.bin", sample_image());
    for (const int final_status : {0x00, 0x01}) {
        captured_console con("5\n" + file + "\n");
        fake_port port;
        for (int i = 0; i < 243; ++i) {
            port.queue({0x1E, 0, 0, 0, 0, 0, 0, 0x00});
        }
        port.queue({0x1E, 0, 0, 0, 0, 0, 0, static_cast<unsigned char>(final_status)});
        const int status = run_main_sequence(port);
        const std::string ending = final_status == 0 ? expected::success : expected::final_refused("01");
        EXPECT_EQ(status, final_status == 0 ? 0 : 1);
        EXPECT_EQ(con.output,
            dialogue_until_open(5) + expected::file_question + "\n" + expected::loaded() + expected::start_prompt +
                expected::erasing + expected::erased + expected::writing + expected::progress(120) + ending +
                expected::exit_prompt);
        EXPECT_EQ(con.keys_waited, 2);
        EXPECT_EQ(port.sent.size(), 492614U);
    }
}

// Between the start key and the erase, and during the exchange, another program that opened the
// line is asked about by the main sequence: nothing is sent once it opened before the erase, and
// a failure after it opened during the update says so once on standard error. A run that goes
// through says nothing.
TEST(MainSequence, ALineOpenedByAnotherProgramIsSaid)
{
    const open_failure waiting{"/dev/ttyS4", refusal("opened by another program while waiting (PID 77, cat)")};
    const open_failure during{"/dev/ttyS4", refusal("opened by another program during the update (PID 77, cat)")};
    struct row {
        const char* what;
        open_failure meanwhile;
        open_failure during_update;
        int replies; // good ones queued
        std::string shown; // from the start prompt on, before the exit prompt
        std::string reasons;
    };
    const std::string to_pages = expected::erasing + expected::erased + expected::writing;
    const row rows[] = {
        {"before the erase: nothing sent", waiting, {}, 244, expected::no_erase_response,
            "tarvolo_updater: /dev/ttyS4: " + waiting.why.why() + "\n"},
        {"erase-done missing", {}, during, 1, expected::erasing + expected::erase_error,
            "tarvolo_updater: /dev/ttyS4: " + during.why.why() + "\n"},
        {"header 30 missing", {}, during, 63, to_pages + expected::progress(31) + expected::header_refused("030", "00"),
            "tarvolo_updater: /dev/ttyS4: " + during.why.why() + "\n"},
        {"a run that goes through", {}, during, 244, expected::complete, ""},
    };
    temp_dir dir;
    const std::string file = dir.write_file("fw.bin", sample_image());
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        captured_console con("5\n" + file + "\n");
        fake_port port;
        port.taken_meanwhile = r.meanwhile;
        port.taken_during_update = r.during_update;
        for (int i = 0; i < r.replies; ++i) {
            port.queue({0x1E, 0, 0, 0, 0, 0, 0, 0x00});
        }
        const int status = run_main_sequence(port);
        EXPECT_EQ(status, r.reasons.empty() ? 0 : 1);
        EXPECT_EQ(con.output,
            dialogue_until_open(5) + expected::file_question + "\n" + expected::loaded() + expected::start_prompt +
                r.shown + expected::exit_prompt);
        EXPECT_EQ(con.reasons, r.reasons);
        if (r.meanwhile.why) {
            EXPECT_TRUE(port.sent.empty()) << "sent after the line was opened";
        }
    }
}

} // namespace
