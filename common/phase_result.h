#pragma once

// A phase writes its own failure message, with two exceptions written by the main sequence: a
// port that cannot be opened (the ports write nothing to the console, so that every platform's
// refusal reads the same) and a typed file name that can name no file (the question only reports
// what it read). Only the main sequence turns the result into an exit.
enum class phase_result { success, failure };
