#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <termios.h>

// A pseudo-terminal pair made by a test. The slave side plays the serial port or the operator's
// terminal; the master side is the far end.
struct pty_pair {
    // A line that the updater opens must be free: it refuses one that another program has open.
    // A test playing the device keeps only the master, as a device at the far end of a cable
    // holds only its end. Linux gives the slave's settings through either end, so the test reads
    // and sets the line's through the master.
    enum class held { both, master_only };
    explicit pty_pair(held ends = held::both);
    ~pty_pair();
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;

    // Closes the master side: every user of the slave sees a hang-up.
    void hang_up();

    // The slave's exclusive-use flag (TIOCEXCL): 1 set, 0 clear, -1 when it cannot be read. Where
    // the test does not hold the slave, this opens it for a moment: ask only while nothing is about
    // to open the line. An ordinary user's open is refused while the flag is set, and that refusal
    // is the answer.
    int exclusive_flag() const;

    int master = -1;
    int slave = -1; // -1 when only the master is held
    std::string slave_path;
};

// A COM port number held by one test. Under wine every test of a prefix links its ports in the
// same dosdevices folder, side by side with the others, so a number is claimed there before
// anything is linked as comN, and whatever stands at comN while it is held is its holder's. The
// claim is a lock on a file beside the link: it ends with its holder, even a killed one.
class com_port {
public:
    // With no number, one that no test asks for by number; with one, exactly that number, for a
    // case about the number itself (waits while another test holds it).
    explicit com_port(const std::string& com_dir, std::optional<int> number = std::nullopt);
    ~com_port();
    com_port(const com_port&) = delete;
    com_port& operator=(const com_port&) = delete;

    // Links comN to `target`, in place of what a killed run may have left there.
    void link_to(const std::string& target) const;

    int number = 0;
    std::string path; // COM_DIR/comN

private:
    int claim_ = -1;
};

// The device's end of a serial line linked as COM_DIR/comN for the updater to open. `mode`, when
// given, is the line's permission bits.
struct device_line : pty_pair {
    explicit device_line(const std::string& com_dir, std::optional<int> number = std::nullopt,
        std::optional<mode_t> mode = std::nullopt, held ends = held::master_only);

    com_port port;
};

// Puts a terminal in raw mode with no flow control, as a factory-fresh serial port is found.
void make_raw(int fd);

bool write_all(int fd, const std::string& bytes);

// Reads what arrives on `fd` until `until` is found in it, the fd ends, or the timeout passes.
std::string read_until(int fd, const std::string& until, std::chrono::milliseconds timeout);

// Reads what arrives on `fd` until its writers have all closed it, or the timeout passes.
std::string read_to_end(int fd, std::chrono::milliseconds timeout);

// Reads everything that arrives within `quiet` of the previous byte, at most `limit` in all.
std::string read_for(int fd, std::chrono::milliseconds quiet, std::chrono::milliseconds limit);

// Waits until the terminal has the local modes `off` off (by default echo, line editing and signals,
// as the key wait makes it). False on timeout.
bool wait_for_raw_mode(int fd, std::chrono::milliseconds timeout, tcflag_t off = ECHO | ICANON | ISIG);

// The terminal's exclusive-use flag (TIOCEXCL): 1 set, 0 clear, -1 when it cannot be read.
int exclusive_flag(int fd);
