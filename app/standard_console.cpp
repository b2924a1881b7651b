#include "app/standard_console.h"

#include <cstdio>

#include "app/platform_streams.h"
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
    int read_char() override { return read_standard_input(); }
    void unread_char(int c) override { unread_standard_input(c); }
    void wait_raw_key() override { ::wait_raw_key(); }
    void write_reason(const char* text, std::size_t length) override { write_reason_line(text, length); }
};

} // namespace

console& standard_console()
{
    static stdio_console instance;
    return instance;
}
