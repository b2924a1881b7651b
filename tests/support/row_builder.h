#pragma once

#include <utility>

// The base of a table row built by named setters, each `return set(field, value);`, so that a row
// names what it changes and leaves the rest at their defaults:
// `row("name").faults({...}).within(10s)`.
template <typename Row>
class row_builder {
protected:
    template <typename Field, typename Value>
    Row& set(Field& field, Value&& value)
    {
        field = std::forward<Value>(value);
        return static_cast<Row&>(*this);
    }
};
