#pragma once

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

inline std::string port_opened(int n) { return "COM" + std::to_string(n) + " opened.\n\n"; }
inline std::string port_unavailable(int n) { return "Unable to open COM" + std::to_string(n) + " \n\n"; }
inline std::string loaded() { return reading_pages + dots + finished_reading; }

} // namespace expected

namespace expected {

inline const std::string erasing = "Erasing firmware ...\n\r";
inline const std::string erased = "Firmware erased successfully ...\n\r\n";
inline const std::string writing = "Writing firmware to flash ...\n\r";
inline const std::string no_erase_response = "Failure: No 'erase firmware' command response ...\n\n\r";
inline const std::string erase_error = "Failure: Erase firmware error ...\n\n\r";
inline const std::string not_erased = "Firmware not erased ....\n\n\r";
inline const std::string success = "\nFirmware successfully written to Tarvolo ... \n\n\r";

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

} // namespace expected
