#include "serial/port_name.h"

namespace {

constexpr std::size_t SHORT_DIGITS_AT = 3;
constexpr std::size_t LONG_DIGITS_AT = 7;

char digit(int value) { return static_cast<char>('0' + value); }

} // namespace

// cppcheck does not follow the writes made through the char pointers taken from `names`.
// cppcheck-suppress constParameter
const char* build_comport_name(comport_names& names, int num_comport)
{
    const int n = num_comport;
    if (n < 1 || n > 255) {
        return nullptr;
    }
    if (n < 10) {
        char* name = names.name_comport_short;
        name[SHORT_DIGITS_AT] = digit(n);
        name[SHORT_DIGITS_AT + 1] = '\0';
        return name;
    }
    char* name = names.name_comport;
    std::size_t at = LONG_DIGITS_AT;
    if (n >= 100) {
        name[at++] = digit(n / 100);
    }
    name[at++] = digit((n % 100) / 10);
    name[at++] = digit(n % 10);
    name[at] = '\0';
    return name;
}

int comport_number_of(const char* name)
{
    if (name == nullptr) {
        return 0;
    }
    const char* digits = name;
    if (digits[0] == '\\') {
        const char prefix[] = "\\\\.\\";
        for (std::size_t i = 0; i + 1 < sizeof prefix; ++i) {
            if (digits[i] != prefix[i]) {
                return 0;
            }
        }
        digits += sizeof prefix - 1;
    }
    if (digits[0] != 'C' || digits[1] != 'O' || digits[2] != 'M') {
        return 0;
    }
    digits += 3;
    int n = 0;
    std::size_t count = 0;
    for (; digits[count] >= '0' && digits[count] <= '9'; ++count) {
        if (count == 3) {
            return 0;
        }
        n = n * 10 + (digits[count] - '0');
    }
    if (count == 0 || digits[count] != '\0' || digits[0] == '0' || n > 255) {
        return 0;
    }
    // Each number has exactly one form: the short one below 10, the prefixed one from 10.
    const bool prefixed = digits != name + 3;
    if (prefixed != (n >= 10)) {
        return 0;
    }
    return n;
}
