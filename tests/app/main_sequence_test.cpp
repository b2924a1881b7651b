#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
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

// A complete dialogue on COM5 with a good image, then the update against `good_replies` good
// replies, after which `prepare` may queue more and set the port up otherwise: what the console
// and standard error show, and the port afterwards.
struct sequence_run {
    explicit sequence_run(int good_replies, const std::function<void(fake_port&)>& prepare = {})
        : con("5\n" + file + "\n")
    {
        for (int i = 0; i < good_replies; ++i) {
            port.queue({0x1E, 0, 0, 0, 0, 0, 0, 0x00});
        }
        if (prepare) {
            prepare(port);
        }
        status = run_main_sequence(port);
    }
    // The whole console of such a run, `shown` from the start prompt on.
    static std::string console(const std::string& shown)
    {
        return dialogue_until_open(5) + expected::file_question + "\n" + expected::loaded() + expected::start_prompt +
            shown + expected::exit_prompt;
    }

    temp_dir dir;
    std::string file = dir.write_file("fw.bin", sample_image());
    captured_console con;
    fake_port port;
    int status = -1;
};

TEST(MainSequence, StatusFollowsTheDevicesLastWord)
{
    for (const int final_status : {0x00, 0x01}) {
        const sequence_run run(243, [final_status](fake_port& port) {
            port.queue({0x1E, 0, 0, 0, 0, 0, 0, static_cast<unsigned char>(final_status)});
        });
        const std::string ending = final_status == 0 ? expected::success : expected::final_refused("01");
        EXPECT_EQ(run.status, final_status == 0 ? 0 : 1);
        EXPECT_EQ(run.con.output,
            sequence_run::console(
                expected::erasing + expected::erased + expected::writing + expected::progress(120) + ending));
        EXPECT_EQ(run.con.keys_waited, 2);
        EXPECT_EQ(run.port.sent.size(), 492614U);
    }
}

// Another program that opened the line between the start key and the erase (root, or one that
// ignores the exclusive flag) would take the device's replies: the main sequence asks before the
// first byte, and the update never starts.
TEST(Update, ALineOpenedByAnotherProgramMeanwhileGetsNoByte)
{
    const sequence_run run(244, [](fake_port& port) {
        port.taken_meanwhile = refusal("opened by another program while waiting (PID 77, cat)").about("/dev/ttyS4");
    });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.con.output, sequence_run::console(expected::no_erase_response));
    EXPECT_EQ(run.con.reasons, "tarvolo_updater: /dev/ttyS4: opened by another program while waiting (PID 77, cat)\n");
    EXPECT_TRUE(run.port.sent.empty());
    EXPECT_TRUE(run.port.read_profiles.empty());
}

// During the exchange, another program that opened the line is asked about once a step failed:
// the failure says so once on standard error. A run that goes through says nothing.
TEST(MainSequence, ALineOpenedByAnotherProgramIsSaid)
{
    const refusal during = refusal("opened by another program during the update (PID 77, cat)").about("/dev/ttyS4");
    struct row {
        const char* what;
        int replies; // good ones queued
        std::string shown; // from the start prompt on, before the exit prompt
        std::string reasons;
    };
    const std::string to_pages = expected::erasing + expected::erased + expected::writing;
    const std::string said = "tarvolo_updater: /dev/ttyS4: " + during.why() + "\n";
    const row rows[] = {
        {"erase-done missing", 1, expected::erasing + expected::erase_error, said},
        {"header 30 missing", 63, to_pages + expected::progress(31) + expected::header_refused("030", "00"), said},
        {"a run that goes through", 244, expected::complete, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const sequence_run run(r.replies, [&during](fake_port& port) { port.taken_during_update = during; });
        EXPECT_EQ(run.status, r.reasons.empty() ? 0 : 1);
        EXPECT_EQ(run.con.output, sequence_run::console(r.shown));
        EXPECT_EQ(run.con.reasons, r.reasons);
    }
}

} // namespace
