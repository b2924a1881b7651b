#include "engine.h"

#include "crc16.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>

namespace emu {
namespace {

constexpr std::uint8_t SYNC = 0x1E;
constexpr std::uint8_t HEADER_TAG = 0x77;
constexpr std::uint8_t CRC_TAG = 0x02;
constexpr std::uint8_t EXTRA_BYTE = 0xEE;
constexpr std::size_t FRAME_SIZE = 7;
constexpr std::size_t REPLY_SIZE = 8;
constexpr std::size_t BLOCK_SIZE = PAGE_SIZE + 2;
constexpr std::uint8_t ERASE_FRAME[FRAME_SIZE] = {SYNC, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00};

constexpr std::uint8_t OK = 0x00;
constexpr std::uint8_t UNEXPECTED = 0x01;
constexpr std::uint8_t NOT_ERASED = 0x02;
constexpr std::uint8_t PAGE_CRC_BAD = 0x03;
constexpr std::uint8_t IMAGE_CRC_BAD = 0x04;
constexpr std::uint8_t PAGE_REFUSED = 0x05;
constexpr const char* MEANINGS[] = {
    "accepted", "unexpected frame", "not erased", "page CRC mismatch", "image CRC mismatch", "page refused"};

std::string reply_name(reply_step step, int page)
{
    const reply_place& place = place_of(step);
    return place.reply + (place.paged ? std::to_string(page) : "");
}

const char* signal_name(int number)
{
    return number == SIGTERM ? "SIGTERM" : number == SIGINT ? "SIGINT" : number == SIGHUP ? "SIGHUP" : "a signal";
}

class loader_engine {
public:
    loader_engine(const emulator_options& options, pty_link& link, transcript_log& transcript)
        : options_(options), link_(link), transcript_(transcript)
    {
    }

    run_result run()
    {
        while (state_ != loader_state::finished) {
            if (state_ == loader_state::expect_data) {
                on_data();
                continue;
            }
            const auto deadline = state_ == loader_state::erasing ? erase_end_ : emulator_clock::time_point::max();
            const wait_result w = link_.read_block(FRAME_SIZE, deadline);
            if (w == wait_result::deadline) {
                on_erase_done();
            } else if (w != wait_result::done) {
                end(w);
            } else {
                std::uint8_t frame[FRAME_SIZE];
                std::copy(link_.block().begin(), link_.block().end(), frame);
                link_.clear_block();
                on_command(frame);
            }
        }
        if (!link_.block().empty()) {
            transcript_.host(link_.block().data(), link_.block().size(),
                "unfinished, " + std::to_string(link_.block().size()) + " bytes when the exchange ended");
        }
        result_.pages_accepted = static_cast<int>(std::count(accepted_.begin(), accepted_.end(), true));
        return std::move(result_);
    }

private:
    enum class loader_state { expect_erase, erasing, expect_crc, expect_header, expect_data, after_final, finished };

    // What became of one reply: whether the exchange can go on, and with which status.
    struct reply_outcome {
        wait_result wait = wait_result::done;
        bool intact = false; // all 8 bytes went out
        std::uint8_t status = OK;
    };

    void on_command(const std::uint8_t* frame)
    {
        const bool looks_crc =
            frame[0] == SYNC && frame[3] == 0 && frame[4] == 0 && frame[5] == CRC_TAG && frame[6] == 0;
        const std::uint8_t header[FRAME_SIZE] = {SYNC, HEADER_TAG, 0, 0, 0, static_cast<std::uint8_t>(page_), 0};
        const auto announced = static_cast<std::uint16_t>(frame[1] | (frame[2] << 8));

        if (state_ == loader_state::expect_erase && std::memcmp(frame, ERASE_FRAME, FRAME_SIZE) == 0) {
            transcript_.host(frame, FRAME_SIZE, "erase");
            if (reply(reply_step::erase, OK).status == OK && state_ != loader_state::finished) {
                state_ = loader_state::erasing;
                erase_end_ = emulator_clock::now() + std::chrono::milliseconds(options_.erase_ms);
                transcript_.note("erasing for " + std::to_string(options_.erase_ms) + " ms");
            }
        } else if (state_ == loader_state::expect_crc && looks_crc) {
            transcript_.host(frame, FRAME_SIZE, "image CRC " + hex4(announced));
            announced_crc_ = announced;
            if (reply(reply_step::crc, OK).status == OK && state_ != loader_state::finished) {
                state_ = loader_state::expect_header;
                page_ = 0;
            }
        } else if (state_ == loader_state::expect_header && std::memcmp(frame, header, FRAME_SIZE) == 0) {
            transcript_.host(frame, FRAME_SIZE, "header " + std::to_string(page_));
            const bool accepted = reply(reply_step::header, OK).status == OK;
            if (accepted && state_ != loader_state::finished) {
                state_ = loader_state::expect_data;
            }
            refused_[static_cast<std::size_t>(page_)] |= !accepted;
        } else {
            on_wrong_frame(frame, looks_crc ? &announced : nullptr);
        }
    }

    void on_wrong_frame(const std::uint8_t* frame, const std::uint16_t* announced)
    {
        const bool early_crc =
            announced != nullptr && (state_ == loader_state::expect_erase || state_ == loader_state::erasing);
        const std::string what =
            early_crc ? "image CRC " + hex4(*announced) + " before the erase was done" : "unexpected, " + where_now();
        transcript_.host(frame, FRAME_SIZE, what);
        problem(hex_bytes(frame, FRAME_SIZE) + ": " + what);
        if (state_ == loader_state::after_final) {
            return; // nothing is left to answer
        }
        reply_step step = reply_step::erase;
        if (early_crc || state_ == loader_state::expect_crc) {
            step = reply_step::crc;
        } else if (state_ == loader_state::expect_header) {
            step = reply_step::header;
            refused_[static_cast<std::size_t>(page_)] = true;
        }
        reply(step, early_crc ? NOT_ERASED : UNEXPECTED);
    }

    void on_erase_done()
    {
        transcript_.note("erase finished");
        const reply_outcome r = reply(reply_step::erase_done, OK);
        if (state_ != loader_state::finished) {
            // A refused erase-done means nothing is erased: the host has to start over.
            state_ = r.status == OK ? loader_state::expect_crc : loader_state::expect_erase;
        }
    }

    void on_data()
    {
        const fault_plan& plan = options_.fault_for(reply_step::data, page_);
        const std::string page = std::to_string(page_);
        const wait_result w =
            link_.read_block(plan.hangup_mid ? PAGE_SIZE / 2 : BLOCK_SIZE, emulator_clock::time_point::max());
        if (w != wait_result::done) {
            end(w);
            return;
        }
        const std::vector<std::uint8_t>& block = link_.block();
        if (plan.hangup_mid) {
            transcript_.host(block.data(), block.size(), "first half of data " + page);
            link_.clear_block();
            hang_up("in the middle of data " + page, plan.text);
            return;
        }
        const auto trailer = static_cast<std::uint16_t>(block[PAGE_SIZE] | (block[PAGE_SIZE + 1] << 8));
        const std::uint16_t computed = crc16(block.data(), PAGE_SIZE);
        const bool good = trailer == computed;
        std::copy(block.begin(), block.begin() + PAGE_SIZE, result_.image.begin() + long{page_} * PAGE_SIZE);
        const std::string what = "data " + page + ", trailer " + hex4(trailer) + ", computed " + hex4(computed) +
            (good ? ", ok" : ", MISMATCH");
        transcript_.host(block.data(), block.size(), what);
        link_.clear_block();
        if (!good) {
            problem(what);
        }
        const reply_outcome r = reply(reply_step::data, good ? OK : PAGE_CRC_BAD);
        if (state_ == loader_state::finished) {
            return;
        }
        // A refused page is not waited for again: the host is expected to give up.
        (good && r.status == OK ? accepted_ : refused_)[static_cast<std::size_t>(page_)] = true;
        if (page_ + 1 < PAGE_COUNT) {
            ++page_;
            state_ = loader_state::expect_header;
        } else {
            send_final();
        }
    }

    void send_final()
    {
        result_.image_crc = crc16(result_.image.data(), IMAGE_CRC_SPAN);
        const bool all_pages = std::count(accepted_.begin(), accepted_.end(), true) == PAGE_COUNT;
        const std::string crcs = "image CRC " + hex4(result_.image_crc) + ", announced " + hex4(announced_crc_);
        transcript_.note(crcs + (result_.image_crc == announced_crc_ ? ", match" : ", MISMATCH"));
        std::uint8_t status = OK;
        if (!all_pages) {
            status = PAGE_REFUSED;
            problem("final: some page was refused");
        } else if (result_.image_crc != announced_crc_) {
            status = IMAGE_CRC_BAD;
            problem("final: " + crcs);
        }
        const reply_outcome r = reply(reply_step::final_ack, status);
        if (state_ == loader_state::finished) {
            return;
        }
        state_ = loader_state::after_final;
        if (!r.intact) {
            // Ending now would turn the host's timeout into a hangup: wait to be told to go.
            transcript_.note("final acknowledgement not fully sent; waiting for a signal or the idle timeout");
            return;
        }
        // The acknowledgement is out: a signal now only cuts short the wait for the host to read it.
        const wait_result w = link_.drain();
        if (w != wait_result::done) {
            transcript_.note(w == wait_result::signal ? std::string("got ") + signal_name(link_.signal_number()) +
                        " while the host was reading the final acknowledgement"
                                                      : "the host kept the line open; ending anyway");
        }
        result_.complete = r.status == OK && problems_ == 0;
        end("final acknowledgement sent with status " + hex2(r.status));
    }

    reply_outcome reply(reply_step step, std::uint8_t natural_status)
    {
        const int page = step == reply_step::header || step == reply_step::data ? page_ : 0;
        const fault_plan& plan = options_.fault_for(step, page);
        const std::string name = reply_name(step, page);
        const std::string fault = plan.any() ? "; fault " + plan.text : "";
        reply_outcome r;
        r.status = plan.status >= 0 ? static_cast<std::uint8_t>(plan.status) : natural_status;
        if (plan.hangup) {
            hang_up("instead of the " + name, plan.text);
            r.wait = wait_result::hangup;
            return r;
        }
        if (plan.silent) {
            transcript_.note(name + " withheld" + fault);
            problem(name + " withheld (fault)");
            return r;
        }
        if (plan.delay_ms > 0) {
            transcript_.note("delaying the " + name + " by " + std::to_string(plan.delay_ms) + " ms" + fault);
            if (!check(r.wait = link_.sleep_for(std::chrono::milliseconds(plan.delay_ms)))) {
                return r;
            }
        }
        if (plan.garbage > 0) {
            std::vector<std::uint8_t> garbage(static_cast<std::size_t>(plan.garbage));
            for (auto& byte : garbage) {
                garbage_seed_ ^= garbage_seed_ << 13;
                garbage_seed_ ^= garbage_seed_ >> 17;
                garbage_seed_ ^= garbage_seed_ << 5;
                byte = static_cast<std::uint8_t>(garbage_seed_ >> 24);
            }
            if (!check(r.wait = link_.send(garbage.data(), garbage.size()))) {
                return r;
            }
            transcript_.device(garbage.data(), garbage.size(), "garbage before the " + name + fault);
        }
        const std::uint8_t frame[REPLY_SIZE] = {
            SYNC, static_cast<std::uint8_t>(step), static_cast<std::uint8_t>(page), 0, 0, 0, 0, r.status};
        const std::size_t size = plan.short_len >= 0 ? static_cast<std::size_t>(plan.short_len) : REPLY_SIZE;
        std::string what = name + ", status " + hex2(r.status) + " " + (r.status <= 5 ? MEANINGS[r.status] : "refused");
        if (size < REPLY_SIZE) {
            what += ", only " + std::to_string(size) + " of 8 bytes";
        }
        if (plan.drip_ms >= 0) {
            what += ", one byte every " + std::to_string(plan.drip_ms) + " ms";
        }
        // Without drip the reply goes out in one write; with it, byte by byte.
        const std::size_t step_size = plan.drip_ms >= 0 ? 1 : REPLY_SIZE;
        for (std::size_t at = 0; at < size; at += step_size) {
            if (at > 0 && !check(r.wait = link_.sleep_for(std::chrono::milliseconds(plan.drip_ms)))) {
                return r;
            }
            if (!check(r.wait = link_.send(frame + at, std::min(step_size, size - at)))) {
                return r;
            }
        }
        if (size == 0) {
            transcript_.note(what + fault);
        } else {
            transcript_.device(frame, size, what + fault);
        }
        r.intact = size == REPLY_SIZE;
        if (!r.intact) {
            problem(name + " cut short (fault)");
        }
        if (r.status != natural_status && r.status != OK) {
            problem(name + " sent with status " + hex2(r.status) + " (fault)");
        }
        if (plan.extra > 0) {
            const std::vector<std::uint8_t> extra(static_cast<std::size_t>(plan.extra), EXTRA_BYTE);
            if (check(r.wait = link_.send(extra.data(), extra.size()))) {
                transcript_.device(extra.data(), extra.size(), "extra bytes after the " + name + fault);
            }
        }
        return r;
    }

    void hang_up(const std::string& when, const std::string& fault)
    {
        transcript_.note("hanging up " + when + "; fault " + fault);
        std::string error;
        end(link_.hang_up(error) ? "hung up " + when + " (fault)" : error);
    }

    // Ends the exchange unless the wait went well.
    bool check(wait_result wait)
    {
        if (wait != wait_result::done) {
            end(wait);
        }
        return wait == wait_result::done;
    }

    void problem(const std::string& what)
    {
        if (problems_++ == 0) {
            result_.first_problem = what;
        }
    }

    void end(wait_result wait)
    {
        switch (wait) {
        case wait_result::signal:
            end(std::string("ended by ") + signal_name(link_.signal_number()) + " " + where_now());
            break;
        case wait_result::idle:
            end("idle timeout: nothing from the host for " + std::to_string(options_.idle_timeout_ms) + " ms " +
                where_now());
            break;
        case wait_result::hangup:
            end("the port hung up " + where_now());
            break;
        case wait_result::error:
            end(link_.io_error() + " " + where_now());
            break;
        case wait_result::done:
        case wait_result::deadline:
            end("ended " + where_now());
            break;
        }
    }

    void end(const std::string& why)
    {
        if (state_ != loader_state::finished) {
            result_.end = why;
            state_ = loader_state::finished;
            transcript_.note("end: " + why);
        }
    }

    std::string where_now() const
    {
        const std::string page = std::to_string(page_);
        switch (state_) {
        case loader_state::expect_erase:
            return "while waiting for the erase frame";
        case loader_state::erasing:
            return "while erasing";
        case loader_state::expect_crc:
            return "while waiting for the image CRC frame";
        case loader_state::expect_header:
            return "while waiting for header " + page;
        case loader_state::expect_data:
            return "while waiting for data " + page;
        case loader_state::after_final:
            return "after the final acknowledgement";
        case loader_state::finished:
            break;
        }
        return "after the end";
    }

    const emulator_options& options_;
    pty_link& link_;
    transcript_log& transcript_;
    loader_state state_ = loader_state::expect_erase;
    int page_ = 0;
    emulator_clock::time_point erase_end_{};
    std::uint16_t announced_crc_ = 0;
    std::array<bool, PAGE_COUNT> accepted_{};
    std::array<bool, PAGE_COUNT> refused_{};
    std::uint32_t garbage_seed_ = 0x2545F491U;
    int problems_ = 0;
    run_result result_;
};

} // namespace

run_result run_exchange(const emulator_options& options, pty_link& link, transcript_log& transcript)
{
    return loader_engine(options, link, transcript).run();
}

} // namespace emu
