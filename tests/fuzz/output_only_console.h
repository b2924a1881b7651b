#pragma once

#include <string>

#include "console/console.h"
#include "fuzz_check.h"

// A console for code that only writes: it keeps the output, and any read or key wait is a
// property violation, since nothing after the dialogue may ask the operator anything.
class output_only_console final : public console {
public:
    output_only_console() : scope_(*this) { }
    void write(const char* text, std::size_t length) override { output.append(text, length); }
    int read_char() override
    {
        FUZZ_CHECK(false, "read the keyboard after the dialogue");
        return EOF;
    }
    void unread_char(int) override { FUZZ_CHECK(false, "pushed back a key after the dialogue"); }
    void wait_raw_key() override { FUZZ_CHECK(false, "waited for a key outside the main sequence"); }

    std::string output;

private:
    console_scope scope_;
};
