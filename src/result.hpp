// A value or an error message: the one way operations of this library fail.
#pragma once

#include <cassert>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace rsvelmo {

struct Error {
    std::string message;
    int os_error = 0;        // the operating system's error number, when it failed
    std::uint64_t line = 0;  // the input line at fault (1-based), when there is one
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    const std::string& error() const {
        assert(!ok());
        return std::get<1>(state_).message;
    }
    const Error& failure() const {
        assert(!ok());
        return std::get<1>(state_);
    }

private:
    std::variant<T, Error> state_;
};

}  // namespace rsvelmo
