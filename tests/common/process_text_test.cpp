#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/process_text.h"

namespace {

TEST(ProcessText, TerminalInStat)
{
    struct row {
        const char* what;
        std::string stat;
        unsigned long major;
        unsigned long minor;
    };
    // tty_nr is the seventh field; 34817 is 136:1 (/dev/pts/1), 1089 is 4:65 (/dev/ttyS1).
    const row rows[] = {
        {"a shell on a pseudo-terminal", "4242 (bash) S 1 4242 4242 34817 4300 4194560 0", 136, 1},
        {"a getty on a serial line", "733 (agetty) S 1 733 733 1089 733 4194560", 4, 65},
        {"a minor past 255",
            "9 (x) S 1 9 9 " + std::to_string((136UL << 8) | ((0x1234UL & ~0xFFUL) << 12) | 0x34UL) + " 9", 136,
            0x1234},
        {"a name with blanks and parentheses", "77 (a) b (c) S 1 77 77 34817 0", 136, 1},
        {"no terminal", "1 (init) S 0 1 1 0 -1 4194560", 0, 0},
        {"cut before the terminal", "1 (init) S 0 1 1", 0, 0},
        {"no name at all", "garbage", 0, 0},
        {"a negative field", "5 (x) S 1 5 5 -3 0", 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const unsigned long terminal = terminal_in_stat(r.stat);
        EXPECT_EQ(terminal == 0 ? 0 : terminal_major(terminal), r.major);
        EXPECT_EQ(terminal == 0 ? 0 : terminal_minor(terminal), r.minor);
    }
}

TEST(ProcessText, StateAndParentInStat)
{
    struct row {
        const char* what;
        std::string stat;
        char state;
        long parent;
        bool kernel_thread = false;
    };
    const row rows[] = {
        {"a sleeping shell", "4242 (bash) S 1 4242 4242 34817 4300 4194560 0", 'S', 1},
        // PF_KTHREAD in the flags, whatever the name or the parent says.
        {"kthreadd", "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0", 'S', 0, true},
        {"a kernel worker", "93 (kworker/1:2-events) I 2 0 0 0 -1 69238880 0", 'I', 2, true},
        {"a program named like a kernel thread", "7 (kthreadd) S 1 7 7 0 -1 4194304 0", 'S', 1},
        {"a zombie", "4300 (sh) Z 4242 4300 4242 0 -1", 'Z', 4242},
        {"a name that looks like fields", "9 (x) Z 7 (y) R 3 9 9 0", 'R', 3},
        {"the first process", "1 (init) S 0 1 1 0 -1", 'S', 0},
        {"cut after the state", "5 (x) T", 'T', 0},
        {"cut after the name", "5 (x)", '\0', 0},
        {"no name at all", "garbage", '\0', 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(state_in_stat(r.stat), r.state);
        EXPECT_EQ(parent_in_stat(r.stat), r.parent);
        EXPECT_EQ(kernel_thread_in_stat(r.stat), r.kernel_thread);
    }
}

TEST(ProcessText, FdinfoMayWrite)
{
    struct row {
        const char* fdinfo;
        bool writes;
        bool reaches_file;
        bool lease;
    };
    const row rows[] = {
        {"pos:\t0\nflags:\t0100000\nmnt_id:\t29\n", false, true, false}, // O_RDONLY | O_LARGEFILE
        {"pos:\t4096\nflags:\t0100001\nmnt_id:\t29\n", true, true, false}, // O_WRONLY
        {"pos:\t0\nflags:\t02\n", true, true, false}, // O_RDWR
        {"pos:\t0\nflags:\t02000000\n", false, true, false}, // O_CLOEXEC alone
        {"pos:\t0\nflags:\t012000000\nmnt_id:\t25\n", false, false, false}, // O_PATH | O_CLOEXEC
        {"pos:\t0\nmnt_id:\t29\n", false, true, false}, {"", false, true, false},
        {"xflags:\t01\n", false, true, false}, // not the flags line
        {"pos:\t0\nflags:\t0100000\nlock:\t1: LEASE  ACTIVE    READ 77 08:01:12 0 EOF\n", false, true, true},
        {"flags:\t0100000\nlock:\t1: LEASE  BREAKING  UNLCK 77 08:01:12 0 EOF\n", false, true, true},
        {"flags:\t0100000\nlock:\t1: FLOCK  ADVISORY  WRITE 77 08:01:12 0 EOF\n", false, true, false},
        {"flags:\t0100000\nxlock:\t1: LEASE  ACTIVE    READ\n", false, true, false}, // not a lock line
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fdinfo);
        EXPECT_EQ(fdinfo_may_write(r.fdinfo), r.writes);
        EXPECT_EQ(fdinfo_reaches_file(r.fdinfo), r.reaches_file);
        EXPECT_EQ(fdinfo_holds_lease(r.fdinfo), r.lease);
    }
}

TEST(ProcessText, FlockHoldersInLocks)
{
    const std::string locks = "1: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF\n"
                              "1: -> FLOCK  ADVISORY  WRITE 4300 00:05:87 0 EOF\n"
                              "2: POSIX  ADVISORY  WRITE 17 00:05:87 0 EOF\n"
                              "3: FLOCK  ADVISORY  READ 99 00:05:870 0 EOF\n"
                              "4: FLOCK  ADVISORY  WRITE 5 fe:1a:87 0 EOF\n"
                              "5: OFDLCK ADVISORY  WRITE -1 00:05:87 0 EOF\n"
                              "6: FLOCK  ADVISORY  READ 77 00:05:87 0 EOF";
    struct row {
        const char* what;
        unsigned long major;
        unsigned long minor;
        unsigned long long inode;
        std::vector<long> holders;
    };
    const row rows[] = {
        {"holders, not the waiter, nor a record lock", 0, 5, 87, {4242, 77}},
        {"another inode that starts the same", 0, 5, 870, {99}},
        {"the device numbers in hexadecimal", 0xfe, 0x1a, 87, {5}},
        {"none", 8, 1, 87, {}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(flock_holders_in_locks(locks, r.major, r.minor, r.inode), r.holders) << r.what;
    }
}

} // namespace
