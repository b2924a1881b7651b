#include "app/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "app/raw_key.h"

namespace {

class stdio_console final : public console {
public:
    stdio_console()
    {
        // Prompts that end without a line break must be on the screen before the program waits.
        (void)std::setvbuf(stdout, nullptr, _IONBF, 0); // fails only after output began; none has
    }

    void write(const char* text, std::size_t length) override
    {
        // A console that cannot be written to has nobody to tell; the run goes on.
        (void)std::fwrite(text, 1, length, stdout);
    }
    int read_char() override { return std::getc(stdin); }
    void unread_char(int c) override { (void)std::ungetc(c, stdin); } // one character always fits
    void wait_raw_key() override { read_raw_key(); }
};

console* current = nullptr;

} // namespace

console& standard_console()
{
    static stdio_console instance;
    return instance;
}

console& active_console() { return current != nullptr ? *current : standard_console(); }

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
