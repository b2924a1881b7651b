#include "options.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace emu {
namespace {

const char* const HELP = R"(usage: tarvolo_loader_emulator --com-dir DIR --port N [options]

Plays the Tarvolo V.6 loader's side of a firmware update on a pseudo-terminal
published as DIR/comN, so that tarvolo_updater can be run against it.
Once the port can be opened, prints one line "ready DIR/comN -> /dev/pts/K" on
stdout. Diagnostics go to stderr; the last one is a "verdict:" line.
Only the pseudo-terminal's master is held, as a device at the far end of a
cable holds only its end, so the updater finds the line free. A host that
closes the port once it has sent something has left: the emulator ends.

options:
  --com-dir DIR       directory that receives the link comN (must exist)
  --port N            port number N, 1..255
  --image-out FILE    after a good final acknowledgement, write the 491520
                      received bytes to FILE
  --transcript FILE   log every byte received and sent, one frame per line
  --baud B            pace both directions at 10 bits per byte, B 1..4000000
                      (default: unpaced)
  --erase-ms MS       time the erase takes, 0..600000 (default 2000)
  --idle-timeout MS   end when no byte came from the host for MS while one
                      was due, 0..600000 (default 0: wait forever)
  --posix-defaults    leave the port at the kernel's pty termios defaults
                      (echo, canonical, IXON, ONLCR...) instead of the raw 8N1
                      of a fresh Windows COM port
  --fault WHERE=WHAT  misbehave at one reply; repeatable, several different
                      WHATs may target the same WHERE
  --help              show this text

WHERE:  erase | erase-done | crc | header:P | data:P | final   (P = 0..119)
WHAT:
  silent       send nothing for that reply, then carry on as if it was sent
  status:HH    send status byte HH (hex 00..FF) instead of the real one
  short:K      send only the first K bytes of the reply, K 0..7
  extra:K      follow the reply with K bytes 0xEE, K 1..4096
  delay:MS     wait MS before the reply, MS 0..600000
  drip:MS      send the reply one byte at a time, MS 0..60000 apart
  garbage:K    send K pseudo-random bytes before the reply, K 1..4096
  hangup       close the port instead of replying, then end
  hangup-mid   data:P only: close the port once 2048 bytes of page P's data
               arrived, without replying, then end
A fault applies every time its reply is due. After a silent or short final
acknowledgement the emulator keeps the port open until a signal or the idle
timeout, so the host sees a timeout rather than a hangup.

reply frame, 8 bytes:  1E KIND PAGE 00 00 00 00 STATUS
  KIND    01 erase, 02 erase done, 03 image CRC, 04 page header,
          05 page data, 06 final acknowledgement
  PAGE    the page being worked on for kinds 04 and 05, else 00
  STATUS  00 accepted
          01 frame not what was expected at that point (wrong command,
             wrong page index, out of order)
          02 image CRC frame before the erase was done
          03 page trailer CRC does not match the page's data
          04 final: announced image CRC does not match the received image
          05 final: some page was refused

exit status: 0 the update was complete and correct; 1 it was not, or the
emulator was ended by SIGTERM, SIGINT, SIGHUP or the idle timeout, or failed;
2 bad options.
)";

struct number_range {
    const char* name;
    long min;
    long max;
};

// Option and fault values, with the ranges --help promises.
constexpr number_range PORT = {"--port", 1, 255};
constexpr number_range NUMBER_OPTIONS[] = {
    {"--baud", 1, 4000000}, {"--erase-ms", 0, 600000}, {"--idle-timeout", 0, 600000}};
constexpr const char* TEXT_OPTIONS[] = {"--com-dir", "--image-out", "--transcript"};
constexpr number_range FAULT_VALUES[] = {{"status", 0, 0xFF}, {"short", 0, 7}, {"extra", 1, 4096}, {"garbage", 1, 4096},
    {"delay", 0, 600000}, {"drip", 0, 60000}};

bool parse_number(const std::string& text, const number_range& range, int base, int& value)
{
    const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (text.empty() || text.size() > 8 || text.find_first_not_of(digits) != std::string::npos) {
        return false;
    }
    const long v = std::strtol(text.c_str(), nullptr, base);
    if (v < range.min || v > range.max) {
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

int* fault_field(fault_plan& plan, std::size_t index)
{
    int* const fields[] = {&plan.status, &plan.short_len, &plan.extra, &plan.garbage, &plan.delay_ms, &plan.drip_ms};
    return fields[index];
}

std::size_t slot_of(reply_step step, int page)
{
    switch (step) {
    case reply_step::header:
        return 4 + static_cast<std::size_t>(page);
    case reply_step::data:
        return 4 + PAGE_COUNT + static_cast<std::size_t>(page);
    case reply_step::final_ack:
        return 3;
    default:
        return static_cast<std::size_t>(step) - 1;
    }
}

bool parse_where(const std::string& where, reply_step& step, int& page, std::string& error)
{
    const auto colon = where.find(':');
    const std::string kind = where.substr(0, colon);
    const char* const names[] = {"erase", "erase-done", "crc", "header", "data", "final"};
    const auto* const found = std::find(std::begin(names), std::end(names), kind);
    if (found == std::end(names)) {
        error = "unknown place '" + where + "' (erase, erase-done, crc, header:P, data:P, final)";
        return false;
    }
    step = static_cast<reply_step>(found - std::begin(names) + 1);
    const bool paged = step == reply_step::header || step == reply_step::data;
    page = 0;
    if (paged != (colon != std::string::npos) ||
        (paged && !parse_number(where.substr(colon + 1), {"page", 0, PAGE_COUNT - 1}, 10, page))) {
        error = "'" + where + (paged ? "' needs a page 0..119" : "' takes no page");
        return false;
    }
    return true;
}

// Refuses a WHAT given twice, and silent or hangups mixed with anything else.
bool apply_what(const std::string& what, reply_step step, fault_plan& plan, std::string& error)
{
    const auto colon = what.find(':');
    const std::string name = what.substr(0, colon);
    if (name == "silent" || name == "hangup" || name == "hangup-mid") {
        if (colon != std::string::npos || plan.any()) {
            error = name + " takes no value and cannot be combined with other faults on the same reply";
            return false;
        }
        if (name == "hangup-mid" && step != reply_step::data) {
            error = "hangup-mid only applies to data:P";
            return false;
        }
        (name == "silent" ? plan.silent : name == "hangup" ? plan.hangup : plan.hangup_mid) = true;
        return true;
    }
    const auto* const range = std::find_if(
        std::begin(FAULT_VALUES), std::end(FAULT_VALUES), [&](const number_range& v) { return name == v.name; });
    if (range == std::end(FAULT_VALUES)) {
        error = "unknown fault '" + name +
            "' (silent, status:HH, short:K, extra:K, delay:MS, drip:MS, hangup, "
            "hangup-mid, garbage:K)";
        return false;
    }
    int* const field = fault_field(plan, static_cast<std::size_t>(range - std::begin(FAULT_VALUES)));
    if (plan.silent || plan.hangup || plan.hangup_mid || *field >= 0) {
        error = "'" + name + "' is given twice, or next to silent or a hangup, for the same reply";
        return false;
    }
    const int base = name == "status" ? 16 : 10;
    if (colon == std::string::npos || !parse_number(what.substr(colon + 1), *range, base, *field)) {
        error = "'" + what + "' needs a value " + std::to_string(range->min) + ".." + std::to_string(range->max) +
            (base == 16 ? " in hex" : "");
        return false;
    }
    return true;
}

bool parse_fault(const std::string& text, emulator_options& options, std::string& error)
{
    const auto eq = text.find('=');
    reply_step step = reply_step::erase;
    int page = 0;
    if (eq == std::string::npos) {
        error = "--fault " + text + ": not WHERE=WHAT";
        return false;
    }
    if (!parse_where(text.substr(0, eq), step, page, error) ||
        !apply_what(text.substr(eq + 1), step, options.faults[slot_of(step, page)], error)) {
        error = "--fault " + text + ": " + error;
        return false;
    }
    std::string& record = options.faults[slot_of(step, page)].text;
    record += (record.empty() ? "" : ",") + text;
    return true;
}

bool parse_value(const std::string& name, const std::string& value, emulator_options& options, std::string& error)
{
    std::string* const texts[] = {&options.com_dir, &options.image_out, &options.transcript};
    int* const numbers[] = {&options.baud, &options.erase_ms, &options.idle_timeout_ms};
    for (std::size_t i = 0; i < std::size(TEXT_OPTIONS); ++i) {
        if (name == TEXT_OPTIONS[i]) {
            *texts[i] = value;
            error = value.empty() ? name + " needs a non-empty value" : "";
            return !value.empty();
        }
    }
    for (std::size_t i = 0; i < std::size(NUMBER_OPTIONS); ++i) {
        if (name == NUMBER_OPTIONS[i].name) {
            const number_range& range = NUMBER_OPTIONS[i];
            error = name + " needs a number " + std::to_string(range.min) + ".." + std::to_string(range.max);
            return parse_number(value, range, 10, *numbers[i]);
        }
    }
    if (name == PORT.name) {
        error = "--port needs a number 1..255";
        return parse_number(value, PORT, 10, options.port);
    }
    return parse_fault(value, options, error);
}

} // namespace

const fault_plan& emulator_options::fault_for(reply_step step, int page) const { return faults[slot_of(step, page)]; }

const char* help_text() { return HELP; }

parse_result parse_options(int argc, char** argv, emulator_options& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        if (arg == "--help") {
            return parse_result::help;
        }
        if (arg == "--posix-defaults") {
            options.posix_defaults = true;
            continue;
        }
        const bool known = name == "--port" || name == "--fault" ||
            std::any_of(std::begin(TEXT_OPTIONS), std::end(TEXT_OPTIONS), [&](const char* o) { return name == o; }) ||
            std::any_of(std::begin(NUMBER_OPTIONS), std::end(NUMBER_OPTIONS),
                [&](const number_range& o) { return name == o.name; });
        if (!known) {
            error = "unknown option '" + arg + "' (try --help)";
            return parse_result::bad;
        }
        if (eq == std::string::npos && i + 1 >= argc) {
            error = name + " needs a value";
            return parse_result::bad;
        }
        const std::string value = eq == std::string::npos ? argv[++i] : arg.substr(eq + 1);
        if (!parse_value(name, value, options, error)) {
            return parse_result::bad;
        }
    }
    if (options.com_dir.empty() || options.port == 0) {
        error = "--com-dir and --port are required (try --help)";
        return parse_result::bad;
    }
    return parse_result::run;
}

} // namespace emu
