#pragma once

#include <cstddef>

#include "common/refusal.h"

// Where the program's text goes and comes from. The entry installs standard output, standard
// input and the platform's raw key read; the tests put captured text in their place. It sits
// below everything that talks to the operator, so every layer can write without reaching up.
class console {
public:
    virtual ~console() = default;
    virtual void write(const char* text, std::size_t length) = 0;
    // The next input character as an unsigned char value, or EOF at the end of input.
    virtual int read_char() = 0;
    // Puts back the last character read, so that the next question sees it first.
    virtual void unread_char(int c) = 0;
    // Blocks until one key is pressed; returns at once when there is nothing to read keys from.
    virtual void wait_raw_key() = 0;
    // One line that tells the operator why something could not be done, beside the program's own
    // messages (standard error, where the platform shows one apart from the console). By default
    // the line goes nowhere.
    virtual void write_reason(const char* text, std::size_t length)
    {
        (void)text;
        (void)length;
    }
};

// Makes `replacement` the console that say and wait_key use while the scope lives.
class console_scope {
public:
    explicit console_scope(console& replacement);
    ~console_scope();
    console_scope(const console_scope&) = delete;
    console_scope& operator=(const console_scope&) = delete;

private:
    console* previous_;
};

// The console installed last. With none installed, nobody is there: text goes nowhere, input
// is at its end and a key wait ends at once.
console& active_console();

// The one path for every text the program shows: printf form, placeholders filled.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say(const char* format, ...);

// Waits for one key press on the console; the key itself is not used.
void wait_key();

// Tells why `subject` (a device, a file) failed, in the usual form of command-line tools:
// "tarvolo_updater: SUBJECT: REASON" and a line feed. In the subject and the reason alike, control
// bytes (C0, DEL, the two bytes of a C1 control, the three of a bidirectional embedding, override
// or isolate) and every byte that is not part of valid UTF-8 are written as a backslash and three
// octal digits ("\033"), and a backslash as two, but for Windows' path separator; valid UTF-8
// stays as it is.
void say_reason(const char* subject, const char* reason);
inline void say_reason(const char* subject, const refusal& why) { say_reason(subject, why.c_str()); }
inline void say_reason(const refusal& why) { say_reason(why.subject().c_str(), why.c_str()); }
