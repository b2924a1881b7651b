#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// The installed name, not argv[0]: the program takes no arguments, and operators run it by name.
constexpr char PROGRAM_NAME[] = "tarvolo_updater";

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

void say_reason(const char* subject, const char* reason)
{
    std::string line = std::string(PROGRAM_NAME) + ": ";
    // A name is whatever the operator typed or the folder holds: its control bytes must show as
    // what they are, not clear the screen or move the cursor of the terminal that shows them.
    for (const char* at = subject; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            (void)std::snprintf(escaped, sizeof escaped, "\\%03o", static_cast<unsigned>(byte));
            line += escaped;
        } else {
            line += *at;
        }
    }
    line += std::string(": ") + reason + "\n";
    active_console().write_reason(line.data(), line.size());
}
