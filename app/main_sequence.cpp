#include "app/main_sequence.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/answers_file.h"
#include "app/dialogue.h"
#include "app/platform_streams.h"
#include "common/image_constants.h"
#include "console/console.h"
#include "image/firmware_file.h"
#include "image/image_stream.h"
#include "protocol/update.h"

namespace {

constexpr std::size_t CHARBUF_SIZE = 8192;

constexpr char MSG_MALLOC_ERROR[] = "\n\rMalloc error ......\n\r";
constexpr char MSG_PORT_UNAVAILABLE[] = "Unable to open COM%d \n\n";
constexpr char MSG_PORT_OPENED[] = "COM%d opened.\n\n";
constexpr char PROMPT_START[] = "Press any key to start firmware update ...\n\n\r";
constexpr char PROMPT_EXIT[] = "Press any key to exit.";
constexpr char REASON_NAME_TOO_LONG[] = "name longer than 254 characters";
constexpr char REASON_NAME_WITH_ZERO[] = "name holds a zero byte";
constexpr char REASON_NAME_CUT_AT_BLANK[] = "name ended at a blank: a name may not hold blanks";
constexpr char REASON_TWO_READINGS[] = "the answers file reads either way and both files exist; save it as UTF-8";

constexpr int EXIT_UPDATED = 0;
constexpr int EXIT_FAILED = 1;

struct free_deleter {
    void operator()(unsigned char* p) const { std::free(p); }
};
using buffer = std::unique_ptr<unsigned char[], free_deleter>;

int exit_path(int status)
{
    say(PROMPT_EXIT);
    wait_key();
    return status;
}

// Puts in `firmware_file` the reading of the answer that names an existing file, when the bytes
// of an answers file can be read more than one way and only one of them names one. False, with
// the reason given, when two do: opening either could flash the file the operator did not mean.
bool take_the_reading_meant(char (&firmware_file)[FIRMWARE_FILE_ROOM])
{
    std::vector<std::string> readings = other_readings_of(firmware_file);
    if (readings.empty()) {
        return true;
    }
    readings.insert(readings.begin(), firmware_file);
    const reading_choice choice =
        choose_reading(readings, [](const std::string& name) { return names_an_existing_file(name.c_str()); });
    if (choice.name.empty()) {
        say("%s", MSG_FIRMWARE_UNREADABLE);
        say_reason(choice.existing[0].c_str(), ("or " + choice.existing[1] + ": " + REASON_TWO_READINGS).c_str());
        return false;
    }
    if (choice.name.size() < FIRMWARE_FILE_ROOM) {
        std::memcpy(firmware_file, choice.name.c_str(), choice.name.size() + 1);
    }
    return true;
}

} // namespace

int run_main_sequence(serial_port& port, allocate_fn allocate)
{
    // All three first; the banner is not shown to an operator whose update could not run anyway.
    const buffer incharbuf(static_cast<unsigned char*>(allocate(CHARBUF_SIZE)));
    const buffer outcharbuf(static_cast<unsigned char*>(allocate(CHARBUF_SIZE)));
    const buffer firmware_buffer(static_cast<unsigned char*>(allocate(FW_IMAGE_SIZE)));
    if (!incharbuf || !outcharbuf || !firmware_buffer) {
        say(MSG_MALLOC_ERROR);
        return exit_path(EXIT_FAILED);
    }

    show_banner();
    int num_comport = 0;
    if (ask_port_number(num_comport) != phase_result::success) {
        return exit_path(EXIT_FAILED);
    }
    if (port.open_comport(num_comport) != phase_result::success) {
        say(MSG_PORT_UNAVAILABLE, num_comport);
        if (const refusal why = port.why_not_opened()) {
            say_reason(why);
        }
        return exit_path(EXIT_FAILED);
    }
    say(MSG_PORT_OPENED, num_comport);
    port.setup_comport();

    char firmware_file[FIRMWARE_FILE_ROOM] = {};
    const file_name_answer answer = ask_file_name(firmware_file);
    switch (answer) {
    case file_name_answer::given:
        break;
    case file_name_answer::too_long:
    case file_name_answer::zero_byte: {
        say("%s", MSG_FIRMWARE_UNREADABLE);
        const std::string taken = std::string(firmware_file) + "...";
        say_reason(taken.c_str(), answer == file_name_answer::too_long ? REASON_NAME_TOO_LONG : REASON_NAME_WITH_ZERO);
        return exit_path(EXIT_FAILED);
    }
    case file_name_answer::cut_at_blank:
        say("%s", MSG_FIRMWARE_UNREADABLE);
        say_reason(firmware_file, REASON_NAME_CUT_AT_BLANK);
        return exit_path(EXIT_FAILED);
    case file_name_answer::end_of_input:
        return exit_path(EXIT_FAILED);
    }
    if (const refusal why_not = why_not_a_name(firmware_file)) {
        say("%s", MSG_FIRMWARE_UNREADABLE);
        say_reason(firmware_file, why_not);
        return exit_path(EXIT_FAILED);
    }
    if (!take_the_reading_meant(firmware_file)) {
        return exit_path(EXIT_FAILED);
    }
    std::uint32_t page_count = 0;
    if (load_firmware(firmware_file, firmware_buffer.get(), page_count) != phase_result::success) {
        return exit_path(EXIT_FAILED);
    }

    say(PROMPT_START);
    wait_key();
    // Another program that opened the line while the operator read the start prompt (root, or
    // one that ignores the exclusive flag) would take the device's replies, and the device would
    // be left erased. Nothing has been sent yet: the run ends here instead.
    if (const refusal taken = port.line_taken_meanwhile()) {
        say("%s", MSG_NO_ERASE_RESPONSE);
        say_reason(taken);
        return exit_path(EXIT_FAILED);
    }
    const update_buffers buffers{incharbuf.get(), outcharbuf.get(), firmware_buffer.get()};
    if (run_update(port, buffers, page_count) == phase_result::success) {
        return exit_path(EXIT_UPDATED);
    }
    // The step's message says what went wrong on the wire; another program that opened the line
    // during the update is why, and would otherwise go unsaid.
    if (const refusal opened_during = port.line_taken_during_update()) {
        say_reason(opened_during);
    }
    return exit_path(EXIT_FAILED);
}
