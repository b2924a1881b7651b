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
