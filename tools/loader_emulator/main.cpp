// tarvolo_loader_emulator: the device's side of a firmware update, on a pty.
#include "engine.h"
#include "options.h"
#include "pty_link.h"
#include "transcript.h"
#include "write_fully.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_INCOMPLETE = 1;
constexpr int EXIT_BAD_OPTIONS = 2;

void say(const std::string& text) { std::fprintf(stderr, "tarvolo_loader_emulator: %s\n", text.c_str()); }

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!emu::write_fully(fd, bytes.data(), bytes.size())) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        // The write error is what matters; a close error on top adds nothing.
        (void)::close(fd);
        return false;
    }
    if (::close(fd) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int run(int argc, char** argv)
{
    const auto start = emu::emulator_clock::now();
    emu::emulator_options options;
    std::string error;
    switch (emu::parse_options(argc, argv, options, error)) {
    case emu::parse_result::help:
        return std::fputs(emu::help_text(), stdout) >= 0 && std::fflush(stdout) == 0 ? EXIT_DONE : EXIT_INCOMPLETE;
    case emu::parse_result::bad:
        say(error);
        return EXIT_BAD_OPTIONS;
    case emu::parse_result::run:
        break;
    }

    emu::transcript_log transcript(start);
    if (!options.transcript.empty() && !transcript.open(options.transcript, error)) {
        say(error);
        return EXIT_INCOMPLETE;
    }
    emu::pty_link link(options, start);
    if (!link.open(error)) {
        say(error);
        return EXIT_INCOMPLETE;
    }
    const std::string line_setup = options.posix_defaults ? "kernel pty defaults" : "raw 8N1, no flow control";
    const std::string pacing = options.baud > 0 ? "paced at " + std::to_string(options.baud) + " baud" : "unpaced";
    transcript.note(link.link_path() + " -> " + link.slave_path() + ", " + line_setup + ", " + pacing + ", erase " +
        std::to_string(options.erase_ms) + " ms");
    if (std::printf("ready %s -> %s\n", link.link_path().c_str(), link.slave_path().c_str()) < 0 ||
        std::fflush(stdout) != 0) {
        say(std::string("cannot write to stdout: ") + std::strerror(errno));
        return EXIT_INCOMPLETE;
    }

    emu::run_result result = emu::run_exchange(options, link, transcript);
    if (result.complete && !options.image_out.empty() && !write_file(options.image_out, result.image, error)) {
        result.complete = false;
        result.end = error;
    }
    if (result.complete && transcript.failed()) {
        result.complete = false;
        result.end = "the transcript could not be written";
    }

    const auto received = static_cast<unsigned long long>(link.received());
    const auto sent = static_cast<unsigned long long>(link.sent());
    if (result.complete) {
        std::fprintf(stderr, "verdict: complete, %d pages, image CRC %s ok, received %llu bytes, sent %llu bytes\n",
            result.pages_accepted, emu::hex4(result.image_crc).c_str(), received, sent);
        return EXIT_DONE;
    }
    std::string why = result.end;
    if (!result.first_problem.empty()) {
        why += "; first problem: " + result.first_problem;
    }
    std::fprintf(stderr, "verdict: incomplete: %s; %d of %d pages accepted, received %llu bytes, sent %llu bytes\n",
        why.c_str(), result.pages_accepted, emu::PAGE_COUNT, received, sent);
    return EXIT_INCOMPLETE;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        say(std::string("internal error: ") + e.what());
    } catch (...) {
        say("internal error");
    }
    return EXIT_INCOMPLETE;
}
