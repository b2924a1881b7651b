#pragma once

#include <string>
#include <vector>

#include "console/console.h"

// A console whose input is a fixed text and whose output is kept, installed for its lifetime.
class captured_console final : public console {
public:
    explicit captured_console(std::string input = {}) : input_(std::move(input)), scope_(*this) { }

    void write(const char* text, std::size_t length) override { output.append(text, length); }
    int read_char() override
    {
        if (at_ >= input_.size()) {
            ++reads_past_end;
            return EOF;
        }
        return static_cast<unsigned char>(input_[at_++]);
    }
    void unread_char(int c) override
    {
        if (c != EOF && at_ > 0) {
            --at_;
        }
    }
    void wait_raw_key() override
    {
        ++keys_waited;
        key_wait_marks.push_back(output.size());
    }
    void write_reason(const char* text, std::size_t length) override { reasons.append(text, length); }

    std::string unread_input() const { return input_.substr(at_); }

    std::string output;
    std::string reasons;
    int keys_waited = 0;
    int reads_past_end = 0;
    // Output length at each key wait, to tell what was on the screen before it.
    std::vector<std::size_t> key_wait_marks;

private:
    std::string input_;
    std::size_t at_ = 0;
    console_scope scope_;
};
