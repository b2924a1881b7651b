// The emulator's command line: every fault it documents must parse to the plan the engine acts
// on, and a mistyped fault must stop it with a reason rather than run a different experiment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "loader_emulator/options.h"
#include "support/temp_dir.h"

namespace {

using emu::emulator_options;
using emu::fault_plan;
using emu::parse_result;
using emu::reply_step;

struct parsed {
    parse_result result;
    emulator_options options;
    std::string error;
};

parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "tarvolo_loader_emulator");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    parsed out{parse_result::bad, {}, {}};
    out.result = emu::parse_options(static_cast<int>(argv.size()), argv.data(), out.options, out.error);
    return out;
}

parsed parse_faults(const std::vector<std::string>& faults)
{
    std::vector<std::string> args = {"--com-dir", "/tmp", "--port", "5"};
    for (const std::string& fault : faults) {
        args.insert(args.end(), {"--fault", fault});
    }
    return parse(args);
}

// The plan's fields, in one comparable line, so that a row says the whole plan it expects; every
// tabled fault's field is in it, so a new one is compared without a change here.
std::string describe(const fault_plan& p)
{
    std::string line;
    for (const emu::fault_kind& kind : emu::FAULT_KINDS) {
        const int value = kind.flag != nullptr ? int{p.*kind.flag} : p.*kind.number;
        line += std::string(line.empty() ? "" : " ") + kind.name + "=" + std::to_string(value);
    }
    return line;
}

std::string plan_with(void (*set)(fault_plan&))
{
    fault_plan p;
    set(p);
    return describe(p);
}

struct fault_row {
    std::vector<std::string> faults;
    reply_step step;
    int page;
    std::string plan;
};

TEST(EmulatorFaults, EachFormParsesToItsPlanAtItsReplyOnly)
{
    const fault_row rows[] = {
        {{"header:7=status:11"}, reply_step::header, 7, plan_with([](fault_plan& p) { p.status = 0x11; })},
        {{"header:0=status:fF"}, reply_step::header, 0, plan_with([](fault_plan& p) { p.status = 0xFF; })},
        {{"data:60=hangup-mid"}, reply_step::data, 60, plan_with([](fault_plan& p) { p.hangup_mid = true; })},
        {{"erase=extra:2"}, reply_step::erase, 0, plan_with([](fault_plan& p) { p.extra = 2; })},
        {{"crc=drip:900"}, reply_step::crc, 0, plan_with([](fault_plan& p) { p.drip_ms = 900; })},
        {{"erase-done=silent"}, reply_step::erase_done, 0, plan_with([](fault_plan& p) { p.silent = true; })},
        {{"final=short:0"}, reply_step::final_ack, 0, plan_with([](fault_plan& p) { p.short_len = 0; })},
        {{"data:119=hangup"}, reply_step::data, 119, plan_with([](fault_plan& p) { p.hangup = true; })},
        {{"erase=garbage:4096", "erase=delay:600000", "erase=short:7"}, reply_step::erase, 0,
            plan_with([](fault_plan& p) {
                p.garbage = 4096;
                p.delay_ms = 600000;
                p.short_len = 7;
            })},
    };
    for (const fault_row& row : rows) {
        // The fault's own text is the options that made it, in their order.
        std::string text;
        for (const std::string& fault : row.faults) {
            text += (text.empty() ? "" : ",") + fault;
        }
        SCOPED_TRACE(text);
        const parsed p = parse_faults(row.faults);
        ASSERT_EQ(p.result, parse_result::run) << p.error;
        EXPECT_EQ(describe(p.options.fault_for(row.step, row.page)), row.plan);
        EXPECT_EQ(p.options.fault_for(row.step, row.page).text, text);
        // No other reply, not even the same page's other one, was given a fault.
        EXPECT_EQ(std::count_if(p.options.faults.begin(), p.options.faults.end(),
                      [](const fault_plan& plan) { return plan.any(); }),
            1);
    }
}

// Every fault in the table, at both ends of its range, reaches the engine; one past them does not.
TEST(EmulatorFaults, EveryTabledFaultParsesAndItsRangeIsEnforced)
{
    for (const emu::fault_kind& kind : emu::FAULT_KINDS) {
        SCOPED_TRACE(kind.name);
        const std::string name = kind.name;
        if (kind.value == nullptr) {
            const parsed p = parse_faults({"data:3=" + name});
            ASSERT_EQ(p.result, parse_result::run) << p.error;
            EXPECT_TRUE(p.options.fault_for(reply_step::data, 3).*kind.flag);
            EXPECT_NE(parse_faults({"data:3=" + name + ":1"}).result, parse_result::run);
            continue;
        }
        const auto text = [&](long v) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, kind.base == 16 ? "%lX" : "%ld", v);
            return "data:3=" + name + ":" + buffer;
        };
        for (const long v : {kind.min, kind.max}) {
            const parsed p = parse_faults({text(v)});
            ASSERT_EQ(p.result, parse_result::run) << p.error;
            EXPECT_EQ(p.options.fault_for(reply_step::data, 3).*kind.number, v);
        }
        for (const long v : {kind.min - 1, kind.max + 1}) {
            if (v >= 0) {
                const parsed p = parse_faults({text(v)});
                EXPECT_EQ(p.result, parse_result::bad) << text(v);
                EXPECT_NE(p.error.find(std::to_string(kind.min) + ".." + std::to_string(kind.max)), std::string::npos)
                    << p.error;
            }
        }
    }
}

struct refusal_row {
    std::vector<std::string> faults;
    const char* error;
};

TEST(EmulatorFaults, MistakesAreRefusedWithTheirReason)
{
    const refusal_row rows[] = {
        {{"erase"}, "--fault erase: not WHERE=WHAT"},
        {{"nowhere=silent"}, "unknown place 'nowhere'"},
        {{"header=silent"}, "'header' needs a page 0..119"},
        {{"data:120=silent"}, "'data:120' needs a page 0..119"},
        {{"data:-1=silent"}, "needs a page 0..119"},
        {{"erase:1=silent"}, "'erase:1' takes no page"},
        {{"final=bogus"}, "unknown fault 'bogus' (silent, status:HH,"},
        {{"final=silent,extra:2"}, "unknown fault 'silent,extra"},
        {{"header:7=status"}, "'status' needs a value 0..255 in hex"},
        {{"header:7=status:1FF"}, "'status:1FF' needs a value 0..255 in hex"},
        {{"header:7=status:g1"}, "in hex"},
        {{"crc=drip:60001"}, "'drip:60001' needs a value 0..60000"},
        {{"crc=drip:9e2"}, "'drip:9e2' needs a value 0..60000"},
        {{"erase=short:8"}, "'short:8' needs a value 0..7"},
        {{"erase=extra:"}, "'extra:' needs a value 1..4096"},
        {{"erase=hangup-mid"}, "hangup-mid only applies to data:P"},
        {{"erase=silent:1"}, "silent takes no value"},
        {{"erase=extra:2", "erase=extra:3"}, "'extra' is given twice"},
        {{"erase=hangup", "erase=status:01"}, "next to silent or a hangup"},
        {{"data:3=hangup-mid", "data:3=drip:5"}, "next to silent or a hangup"},
        {{"erase=extra:2", "erase=silent"}, "silent takes no value and cannot be combined"},
        {{"data:1=hangup-mid", "data:1=hangup"}, "hangup takes no value and cannot be combined"},
    };
    for (const refusal_row& row : rows) {
        SCOPED_TRACE(row.faults.back());
        const parsed p = parse_faults(row.faults);
        EXPECT_EQ(p.result, parse_result::bad);
        EXPECT_NE(p.error.find(row.error), std::string::npos) << p.error;
    }
}

// The end-to-end cases start the emulator with good options only; these are the mistakes.
TEST(EmulatorOptions, ValuesFollowASpaceOrAnEqualsSignWithinTheirRanges)
{
    const parsed joined = parse({"--com-dir=/d", "--port=1", "--fault=crc=drip:900", "--erase-ms", "0"});
    ASSERT_EQ(joined.result, parse_result::run) << joined.error;
    EXPECT_EQ(joined.options.port, 1);
    EXPECT_EQ(joined.options.erase_ms, 0);
    EXPECT_EQ(joined.options.fault_for(reply_step::crc, 0).drip_ms, 900);
    EXPECT_EQ(parse({"--port", "5", "--help"}).result, parse_result::help);

    const refusal_row rows[] = {
        {{"--com-dir", "/d", "--port", "256"}, "--port needs a number 1..255"},
        {{"--com-dir", "/d", "--port", "0"}, "--port needs a number 1..255"},
        {{"--com-dir", "/d", "--port", "5", "--baud", "0"}, "--baud needs a number 1..4000000"},
        {{"--com-dir", "/d", "--port", "5", "--erase-ms", "600001"}, "--erase-ms needs a number 0..600000"},
        {{"--com-dir", "/d", "--port", "5", "--idle-timeout"}, "--idle-timeout needs a value"},
        {{"--com-dir=", "--port", "5"}, "--com-dir needs a non-empty value"},
        {{"--port", "5"}, "--com-dir and --port are required"},
        {{"--com-dir", "/d", "--port", "5", "--faults", "erase=silent"}, "unknown option '--faults'"},
    };
    for (const refusal_row& row : rows) {
        SCOPED_TRACE(row.error);
        const parsed p = parse(row.faults);
        EXPECT_EQ(p.result, parse_result::bad);
        EXPECT_NE(p.error.find(row.error), std::string::npos) << p.error;
    }
}

// The man page is written by hand around the places and the faults; their entries must be the
// tables'. The text between `start` and `end` in the page, or why there is none.
::testing::AssertionResult man_page_lists(const std::string& start, const std::string& end, const std::string& entries)
{
    const std::string page = read_file(TARVOLO_EMULATOR_MAN_PAGE_IN);
    const auto from = page.find(start);
    const auto to = page.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from) {
        return ::testing::AssertionFailure()
            << "no section from \"" << start << "\" to \"" << end << "\" in " << TARVOLO_EMULATOR_MAN_PAGE_IN;
    }
    const std::string found = page.substr(from + start.size(), to - from - start.size());
    if (found != entries) {
        return ::testing::AssertionFailure() << TARVOLO_EMULATOR_MAN_PAGE_IN " has\n"
                                             << found << "where tools/loader_emulator/options.h makes\n"
                                             << entries;
    }
    return ::testing::AssertionSuccess();
}

TEST(EmulatorFaults, ManPageListsExactlyTheTabledFaults)
{
    EXPECT_TRUE(man_page_lists(
        ".I what\nis one of\n", ".PP\nA fault applies every time its reply is due.\n", emu::fault_man_entries()));
}

TEST(EmulatorFaults, ManPageListsExactlyTheTabledPlaces)
{
    EXPECT_TRUE(man_page_lists(".I where\nis one of\n", ".PP\n.I what\nis one of\n", emu::place_man_entries()));
}

// The places are the exchange's replies, each once and in its order: the slot a fault is kept in
// and the name the emulator's messages give a reply follow from it.
TEST(EmulatorFaults, EveryReplyHasItsPlaceInOrder)
{
    int expected = static_cast<int>(emu::reply_step::erase);
    for (const emu::reply_place& place : emu::REPLY_PLACES) {
        EXPECT_EQ(static_cast<int>(place.step), expected++) << place.name;
        EXPECT_EQ(&emu::place_of(place.step), &place) << place.name;
    }
    EXPECT_EQ(expected, static_cast<int>(emu::reply_step::final_ack) + 1);
}

} // namespace
