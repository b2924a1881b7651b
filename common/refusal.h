#pragma once

#include <cstring>
#include <string>
#include <utility>

// Why something cannot be used (a line, an image, a name), or nothing when it can: the one way a
// look says "failed, and why", in every layer. True when something was refused; the reason is
// what the reason line after the operator's message says, about its subject where the look
// names it (the device a port was opened as).
class refusal {
public:
    refusal() = default;
    explicit refusal(std::string why) : why_(std::move(why)) { }

    // The C library's words for an errno value.
    static refusal of_errno(int error) { return refusal(std::strerror(error)); }

    // The same refusal, or the same nothing, said about `subject`.
    refusal about(std::string subject) const
    {
        refusal said = *this;
        said.subject_ = std::move(subject);
        return said;
    }

    explicit operator bool() const { return !why_.empty(); }
    const std::string& subject() const { return subject_; }
    const std::string& why() const { return why_; }
    const char* c_str() const { return why_.c_str(); }

private:
    std::string subject_;
    std::string why_;
};
