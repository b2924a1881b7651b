#pragma once

// Every phase writes its own failure message; only the main sequence turns the result into an exit.
enum class phase_result { success, failure };
