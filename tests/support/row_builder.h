#pragma once

#include <type_traits>
#include <utility>

// The base of a table row built by named setters, each `return set(field, value);`, so that a row
// names what it changes and leaves the rest at their defaults:
// `row("name").faults({...}).within(10s)`.
template <typename Row>
class row_builder {
protected:
    // The value takes the field's type, so that a braced list (`{"--baud", "115200"}`) names one.
    template <typename Field>
    Row& set(Field& field, typename std::common_type<Field>::type value)
    {
        field = std::move(value);
        return static_cast<Row&>(*this);
    }
};
