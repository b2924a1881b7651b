#pragma once

#include <regex>
#include <string>

// The program's texts written out independently of the product's constants, so that a typo in
// either shows up as a difference.
namespace expected {

inline const std::string banner = "\n\n\r"
                                  "***********************************************************\n\r"
                                  "***                       Morvaine                      ***\n\r"
                                  "***                     Tarvolo V.6                     ***\n\r"
                                  "***                   Firmware Updater                  ***\n\r"
                                  "***********************************************************\n\r"
                                  "\n\r";
inline const std::string port_question = "Please enter COM port number (0 - 255)\n\rof the connected Tarvolo: ";
inline const std::string port_again = "Invalid COM port, enter new number: ";
inline const std::string file_question = "Enter firmware file name (e.g. TVL_V6_FW_V3_7_2.bin): ";
inline const std::string reading_pages = "Reading firmware pages from file ...\n\r";
inline const std::string dots = std::string(59, '.') + "\n\r" + std::string(59, '.') + "\n\r" + "..";
inline const std::string finished_reading = "\nFinished reading firmware ...\n\r\n";
inline const std::string unreadable = "Failure reading firmware ...\n\n\r";
inline const std::string invalid_file = "Invalid firmware file ...\n\n\r";
inline const std::string start_prompt = "Press any key to start firmware update ...\n\n\r";
inline const std::string exit_prompt = "Press any key to exit.";
inline const std::string malloc_error = "\n\rMalloc error ......\n\r";

// A port's number as a string too, so that a table row can write one that is known only when it runs.
inline std::string port_opened(const std::string& n) { return "COM" + n + " opened.\n\n"; }
inline std::string port_opened(int n) { return port_opened(std::to_string(n)); }
inline std::string port_unavailable(const std::string& n) { return "Unable to open COM" + n + " \n\n"; }
inline std::string port_unavailable(int n) { return port_unavailable(std::to_string(n)); }
inline std::string loaded() { return reading_pages + dots + finished_reading; }
// A run without a terminal up to its answer to the port question, which is not echoed.
inline std::string port_asked() { return banner + port_question + "\n\r"; }
// The same up to its answer to the file question, port `n` opened.
inline std::string file_asked(const std::string& n) { return port_asked() + port_opened(n) + file_question + "\n"; }
inline std::string file_asked(int n) { return file_asked(std::to_string(n)); }

// Each line feed as CR LF, as a terminal (ONLCR) and a Windows text stream write it.
inline std::string crlf(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        out += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return out;
}

inline const std::string erasing = "Erasing firmware ...\n\r";
inline const std::string erased = "Firmware erased successfully ...\n\r\n";
inline const std::string writing = "Writing firmware to flash ...\n\r";
inline const std::string no_erase_response = "Failure: No 'erase firmware' command response ...\n\n\r";
inline const std::string erase_error = "Failure: Erase firmware error ...\n\n\r";
inline const std::string not_erased = "Firmware not erased ....\n\n\r";
inline const std::string success = "\nFirmware successfully written to Tarvolo ... \n\n\r";

// The bytes of a complete exchange, to the device and from it: the erase and image CRC frames
// before the pages, then each page's header, its 4096 bytes and its CRC.
constexpr long TO_DEVICE_COMPLETE = 492614;
constexpr long FROM_DEVICE_COMPLETE = 1952;
constexpr long BEFORE_PAGES = 14;
constexpr long PER_PAGE = 7 + 4096 + 2;

// The erase frame, the first thing the update sends, and the device's refusal of it.
inline const std::string erase_frame("\x1E\x00\x00\x00\x00\x03\x00", 7);
inline const std::string erase_refusal("\x1E\x01\x00\x00\x00\x00\x00\x04", 8);

// "\rPagecount : %3d of 120" for pages 1 to `last`.
inline std::string progress(int last)
{
    std::string text;
    for (int page = 1; page <= last; ++page) {
        const std::string number = std::to_string(page);
        text += "\rPagecount : " + std::string(3 - number.size(), ' ') + number + " of 120";
    }
    return text;
}
inline const std::string to_pages = erasing + erased + writing;
inline const std::string complete = to_pages + progress(120) + success;

inline std::string crc_refused(const char* status) { return std::string("Failure pos 1  : ") + status + "\n\n\r"; }
inline std::string header_refused(const char* page, const char* status)
{
    return std::string("\n\rFailure packet header ackn.; page ") + page + "/219: " + status + "\n\n\r";
}
inline std::string page_refused(const char* status)
{
    return std::string("\n\rFailure single packet : ") + status + "\n\r";
}
inline std::string final_refused(const char* status) { return std::string("\n\rFailure : ") + status + "\n\n\r"; }

// The serial lines that a reason for a COM number without a line names are the machine's own, so
// a test knows only their form: they show as "LINES" in lines_masked's copy of a run's output.
inline std::string lines_masked(const std::string& output)
{
    static const std::regex lines("; (serial lines here: /dev/[^;\n]+|no serial line was found)"
                                  "(; the system console, not a line to flash through: /dev/[^;\n]+)?([;\n ])");
    return std::regex_replace(output, lines, "; LINES$3");
}
// How a reason for COM `n` without a line tells the operator to reach one as that number, and
// where it sends them to read more.
inline std::string how_to_reach(const std::string& n)
{
    return "to reach a line as COM" + n + ", link it as com" + n + " in the folder that TARVOLO_COM_DIR names";
}
inline std::string how_to_reach(int n) { return how_to_reach(std::to_string(n)); }
inline const std::string see_man = " (man tarvolo_updater, COM PORTS ON LINUX)";
// The end of the reason when COM `n` reached no line, its lines masked.
inline std::string no_line_for(const std::string& n) { return "; LINES; " + how_to_reach(n) + see_man; }
inline std::string no_line_for(int n) { return no_line_for(std::to_string(n)); }

} // namespace expected
