#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/utf8.h"

namespace {

// The installed name, not argv[0]: the program takes no arguments, and operators run it by name.
constexpr char PROGRAM_NAME[] = "tarvolo_updater";

#if defined(_WIN32)
constexpr bool BACKSLASH_SEPARATES_FOLDERS = true;
#else
constexpr bool BACKSLASH_SEPARATES_FOLDERS = false;
#endif

class no_console final : public console {
public:
    void write(const char* /*text*/, std::size_t /*length*/) override { }
    int read_char() override { return EOF; }
    void unread_char(int /*c*/) override { }
    void wait_raw_key() override { }
};

console* current = nullptr;

} // namespace

console& active_console()
{
    static no_console nobody;
    if (current == nullptr) {
        return nobody;
    }
    return *current;
}

console_scope::console_scope(console& replacement) : previous_(current) { current = &replacement; }

console_scope::~console_scope() { current = previous_; }

void say(const char* format, ...)
{
    char room[256];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(room, sizeof room, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(needed) < sizeof room) {
        va_end(again);
        active_console().write(room, static_cast<std::size_t>(needed));
        return;
    }
    std::string text(static_cast<std::size_t>(needed) + 1, '\0');
    (void)std::vsnprintf(text.data(), text.size(), format, again); // same format, same arguments
    va_end(again);
    active_console().write(text.data(), static_cast<std::size_t>(needed));
}

void wait_key() { active_console().wait_raw_key(); }

namespace {

void append_escaped(std::string& line, unsigned char byte)
{
    char escaped[5];
    (void)std::snprintf(escaped, sizeof escaped, "\\%03o", static_cast<unsigned>(byte));
    line += escaped;
}

// The bidirectional embeddings, overrides and isolates (U+202A to U+202E, U+2066 to U+2069) move
// nothing on a terminal, but reorder what follows them on the line: a name holding U+202E would
// show the device or the reason backwards, or make one name read as another.
bool is_bidi_control(const unsigned char* at, std::size_t length)
{
    return length == 3 && at[0] == 0xE2 &&
        ((at[1] == 0x80 && at[2] >= 0xAA && at[2] <= 0xAE) || (at[1] == 0x81 && at[2] >= 0xA6 && at[2] <= 0xA9));
}

// A name is whatever the operator typed or the folder holds, and a reason may carry one too (a
// link's target, another program's name): their control bytes must show as what they are, not
// clear the screen or move the cursor of the terminal that shows them. That holds for the C1
// controls as well (U+009B is CSI on many terminals), and for bytes that are no UTF-8 at all,
// which a terminal may take as C1 controls of an 8-bit set. A backslash is doubled, so that a
// typed "\033" and a real ESC do not look the same, except on Windows, where every path is full of
// them and no name can hold a control byte.
void append_shown(std::string& line, const char* text)
{
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const std::size_t length = utf8_character_length(at, left);
        const bool c1_control = length == 2 && at[0] == 0xC2 && at[1] < 0xA0;
        const bool bidi_control = is_bidi_control(at, length);
        if (at[0] == '\\' && !BACKSLASH_SEPARATES_FOLDERS) {
            line += "\\\\";
            ++at;
            --left;
            continue;
        }
        if (length == 0 || at[0] < 0x20 || at[0] == 0x7F || c1_control || bidi_control) {
            // Byte by byte: a control's two or three bytes, or one that does not belong.
            const std::size_t count = c1_control || bidi_control ? length : 1;
            for (std::size_t i = 0; i < count; ++i) {
                append_escaped(line, at[i]);
            }
            at += count;
            left -= count;
            continue;
        }
        line.append(reinterpret_cast<const char*>(at), length);
        at += length;
        left -= length;
    }
}

} // namespace

void say_reason(const char* subject, const char* reason)
{
    std::string line = std::string(PROGRAM_NAME) + ": ";
    append_shown(line, subject);
    line += ": ";
    append_shown(line, reason);
    line += "\n";
    active_console().write_reason(line.data(), line.size());
}
