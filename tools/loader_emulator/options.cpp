#include "options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iterator>

namespace emu {

namespace {

const char* const HELP_HEAD = R"(usage: tarvolo_loader_emulator --com-dir DIR --port N [options]

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

)";

// --help goes on after the places' and the faults' lines.
const char* const HELP_TAIL = R"(A fault applies every time its reply is due. After a silent or short final
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

std::string place_syntax(const reply_place& place) { return std::string(place.name) + (place.paged ? ":P" : ""); }

// The places as --help's WHERE line and the parser's refusal list them.
std::string place_names(const char* between)
{
    std::string names;
    for (const reply_place& place : REPLY_PLACES) {
        names += (names.empty() ? "" : between) + place_syntax(place);
    }
    return names;
}

bool parse_where(const std::string& where, reply_step& step, int& page, std::string& error)
{
    const auto colon = where.find(':');
    const std::string kind = where.substr(0, colon);
    const auto* const found = std::find_if(
        std::begin(REPLY_PLACES), std::end(REPLY_PLACES), [&](const reply_place& place) { return kind == place.name; });
    if (found == std::end(REPLY_PLACES)) {
        error = "unknown place '" + where + "' (" + place_names(", ") + ")";
        return false;
    }
    step = found->step;
    const bool paged = found->paged;
    page = 0;
    if (paged != (colon != std::string::npos) ||
        (paged && !parse_number(where.substr(colon + 1), {"page", 0, PAGE_COUNT - 1}, 10, page))) {
        error = "'" + where + (paged ? "' needs a page 0..119" : "' takes no page");
        return false;
    }
    return true;
}

const fault_kind* find_fault(const std::string& name)
{
    const auto* const kind = std::find_if(
        std::begin(FAULT_KINDS), std::end(FAULT_KINDS), [&](const fault_kind& k) { return name == k.name; });
    return kind == std::end(FAULT_KINDS) ? nullptr : kind;
}

// As --help writes a fault: "status:HH", "silent".
std::string fault_syntax(const fault_kind& kind)
{
    return kind.value == nullptr ? kind.name : std::string(kind.name) + ":" + kind.value;
}

std::string fault_names()
{
    std::string names;
    for (const fault_kind& kind : FAULT_KINDS) {
        names += (names.empty() ? "" : ", ") + fault_syntax(kind);
    }
    return names;
}

// Refuses a WHAT given twice, and silent or hangups mixed with anything else.
// Whether the plan holds a fault without a value (silent, a hangup), which stands alone.
bool has_flag(const fault_plan& plan)
{
    return std::any_of(std::begin(FAULT_KINDS), std::end(FAULT_KINDS),
        [&](const fault_kind& kind) { return kind.flag != nullptr && plan.*kind.flag; });
}

bool apply_what(const std::string& what, reply_step step, fault_plan& plan, std::string& error)
{
    const auto colon = what.find(':');
    const std::string name = what.substr(0, colon);
    const fault_kind* const kind = find_fault(name);
    if (kind == nullptr) {
        error = "unknown fault '" + name + "' (" + fault_names() + ")";
        return false;
    }
    if (kind->flag != nullptr) {
        if (colon != std::string::npos || plan.any()) {
            error = name + " takes no value and cannot be combined with other faults on the same reply";
            return false;
        }
        if (kind->data_only && step != reply_step::data) {
            error = name + " only applies to data:P";
            return false;
        }
        plan.*kind->flag = true;
        return true;
    }
    int& field = plan.*kind->number;
    if (has_flag(plan) || field >= 0) {
        error = "'" + name + "' is given twice, or next to silent or a hangup, for the same reply";
        return false;
    }
    if (colon == std::string::npos ||
        !parse_number(what.substr(colon + 1), {kind->name, kind->min, kind->max}, kind->base, field)) {
        error = "'" + what + "' needs a value " + std::to_string(kind->min) + ".." + std::to_string(kind->max) +
            (kind->base == 16 ? " in hex" : "");
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

const char* help_text()
{
    static const std::string text = [] {
        std::string help = HELP_HEAD;
        help += "WHERE:  " + place_names(" | ") + "   (P = 0.." + std::to_string(PAGE_COUNT - 1) + ")\nWHAT:\n";
        for (const fault_kind& kind : FAULT_KINDS) {
            // Names indented by two, descriptions lined up in a column after the longest name.
            constexpr std::size_t column = 15;
            const std::string name = "  " + fault_syntax(kind);
            help += name + std::string(name.size() < column ? column - name.size() : 1, ' ');
            for (const char* c = kind.help; *c != '\0'; ++c) {
                help += *c == '\n' ? "\n" + std::string(column, ' ') : std::string(1, *c);
            }
            help += '\n';
        }
        return help + HELP_TAIL;
    }();
    return text.c_str();
}

namespace {

// A man page entry's heading: the name in bold, a value's placeholder in italics after a colon.
std::string roff_heading(const char* name, const char* value)
{
    std::string heading = value != nullptr ? ".BI " : ".B ";
    for (const char* c = name; *c != '\0'; ++c) {
        heading += *c == '-' ? std::string("\\-") : std::string(1, *c);
    }
    if (value != nullptr) {
        heading += ": ";
        for (const char* c = value; *c != '\0'; ++c) {
            heading += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        }
    }
    return ".TP\n" + heading + "\n";
}

} // namespace

const reply_place& place_of(reply_step step)
{
    const auto* const found = std::find_if(std::begin(REPLY_PLACES), std::end(REPLY_PLACES),
        [step](const reply_place& place) { return place.step == step; });
    return found != std::end(REPLY_PLACES) ? *found : REPLY_PLACES[0]; // the tests check every step has its row
}

std::string place_man_entries()
{
    std::string roff;
    for (const reply_place& place : REPLY_PLACES) {
        roff += roff_heading(place.name, place.paged ? "P" : nullptr) + place.man + "\n";
    }
    return roff;
}

std::string fault_man_entries()
{
    std::string roff;
    for (const fault_kind& kind : FAULT_KINDS) {
        roff += roff_heading(kind.name, kind.value) + kind.man + "\n";
    }
    return roff;
}

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
