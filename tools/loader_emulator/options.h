#pragma once

#include <array>
#include <string>

namespace emu {

constexpr int PAGE_COUNT = 120;
constexpr int PAGE_SIZE = 4096;

// Every reply the device sends; the value is the reply's kind byte.
enum class reply_step { erase = 1, erase_done, crc, header, data, final_ack };

// What to do wrong at one reply. -1 means "not asked for".
struct fault_plan {
    bool silent = false;
    bool hangup = false;
    bool hangup_mid = false;
    int status = -1;
    int short_len = -1;
    int extra = -1;
    int garbage = -1;
    int delay_ms = -1;
    int drip_ms = -1;
    std::string text; // as given on the command line, for the transcript

    bool any() const { return !text.empty(); }
};

struct emulator_options {
    std::string com_dir;
    int port = 0;
    std::string image_out;
    std::string transcript;
    int baud = 0; // 0: unpaced
    int erase_ms = 2000;
    int idle_timeout_ms = 0; // 0: never
    bool posix_defaults = false;
    std::array<fault_plan, 4 + 2 * PAGE_COUNT> faults{};

    const fault_plan& fault_for(reply_step step, int page) const;
};

// One kind of misbehaviour that --fault can ask for. Everything said about a fault, to the
// parser, in --help and in the man page, is here, so that the four cannot drift apart.
struct fault_kind {
    const char* name;
    const char* value; // the value's placeholder in --help, as in "status:HH"; nullptr: takes none
    long min;
    long max;
    int base;
    int fault_plan::*number; // where a fault with a value keeps it
    bool fault_plan::*flag; // where a fault without a value is noted
    bool data_only; // only the reply to a page's data can carry it
    const char* help; // --help's description, '\n' between lines
    const char* man; // the man page's roff after the entry's heading
};

// The faults --fault WHERE=WHAT can ask for, in the order --help and the man page list them.
// To add one: a field in fault_plan, a row here, its entry in the man page's FAULTS (the
// emulator's unit tests check those against this table), and what it does in engine.cpp.
inline constexpr fault_kind FAULT_KINDS[] = {
    {"silent", nullptr, 0, 0, 10, nullptr, &fault_plan::silent, false,
        "send nothing for that reply, then carry on as if it was sent",
        "Send nothing for that reply, then carry on as if it was sent."},
    {"status", "HH", 0, 0xFF, 16, &fault_plan::status, nullptr, false,
        "send status byte HH (hex 00..FF) instead of the real one",
        "Send status byte\n.I hh\n(hexadecimal, 00 to FF) instead of the real one."},
    {"short", "K", 0, 7, 10, &fault_plan::short_len, nullptr, false, "send only the first K bytes of the reply, K 0..7",
        "Send only the first\n.I k\nbytes of the reply,\n.I k\n0 to 7."},
    {"extra", "K", 1, 4096, 10, &fault_plan::extra, nullptr, false, "follow the reply with K bytes 0xEE, K 1..4096",
        "Follow the reply with\n.I k\nbytes 0xEE,\n.I k\n1 to 4096."},
    {"delay", "MS", 0, 600000, 10, &fault_plan::delay_ms, nullptr, false, "wait MS before the reply, MS 0..600000",
        "Wait\n.I ms\nmilliseconds before the reply, 0 to 600000."},
    {"drip", "MS", 0, 60000, 10, &fault_plan::drip_ms, nullptr, false,
        "send the reply one byte at a time, MS 0..60000 apart",
        "Send the reply one byte at a time,\n.I ms\nmilliseconds apart, 0 to 60000."},
    {"garbage", "K", 1, 4096, 10, &fault_plan::garbage, nullptr, false,
        "send K pseudo-random bytes before the reply, K 1..4096",
        "Send\n.I k\npseudo\\-random bytes before the reply,\n.I k\n1 to 4096."},
    {"hangup", nullptr, 0, 0, 10, nullptr, &fault_plan::hangup, false, "close the port instead of replying, then end",
        "Close the port instead of replying, then end."},
    {"hangup-mid", nullptr, 0, 0, 10, nullptr, &fault_plan::hangup_mid, true,
        "data:P only: close the port once 2048 bytes of page P's data\narrived, without replying, then end",
        "For\n.BI data: p\nonly: close the port once 2048 bytes of page\n.IR p 's\ndata have arrived, without "
        "replying, then end."},
};

// The replies --fault WHERE=... can name, in the order of the exchange (the order of reply_step).
// As with the faults, the parser, --help, the man page and the emulator's own messages take them
// from here.
struct reply_place {
    reply_step step;
    const char* name; // as WHERE names it, followed by ":P" for a page's replies
    bool paged;
    const char* reply; // in the emulator's messages, the page's number after it for a page's replies
    const char* man; // the man page's roff after the entry's heading
};

inline constexpr reply_place REPLY_PLACES[] = {
    {reply_step::erase, "erase", false, "erase reply", "the reply to the erase command;"},
    {reply_step::erase_done, "erase-done", false, "erase-done reply", "the reply that reports the end of the erase;"},
    {reply_step::crc, "crc", false, "image CRC reply", "the reply to the image CRC;"},
    {reply_step::header, "header", true, "header reply ", "the reply to the header of page\n.IR p ,\n0 to 119;"},
    {reply_step::data, "data", true, "data reply ", "the reply to the data of page\n.IR p ;"},
    {reply_step::final_ack, "final", false, "final acknowledgement", "the final acknowledgement."},
};

const reply_place& place_of(reply_step step);

enum class parse_result { run, help, bad };

parse_result parse_options(int argc, char** argv, emulator_options& options, std::string& error);
const char* help_text();
// The FAULTS entries for "where" and for "what" as packaging/man/tarvolo_loader_emulator.1.in
// must hold them.
std::string place_man_entries();
std::string fault_man_entries();

} // namespace emu
