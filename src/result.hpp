// A value or an error: the one way operations of this library fail.
#pragma once

#include <cassert>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace rsvelmo {

// Why an operation failed. Its kind tells a caller how to report it (the
// module boundary turns each kind into its own exception); the message is
// written for the user.
struct Error {
    enum class Kind : std::uint8_t {
        Io,           // the operating system refused: os_error, the file in `subject`
        Malformed,    // input breaking its format: the file in `subject`, the line (0: none)
        Argument,     // a value its parameter cannot take: the parameter in `subject`
        Unsupported,  // a feature this build does not have
        OutOfMemory,
        Internal,  // anything else: a fault of this library
    };

    Kind kind = Kind::Internal;
    std::string message;
    std::string subject;
    int os_error = 0;        // Io: the error number, 0 when the system gave none
    std::uint64_t line = 0;  // Malformed: the input line at fault (1-based)

    static Error io(int os_error, std::string path, std::string message) {
        return {Kind::Io, std::move(message), std::move(path), os_error, 0};
    }
    static Error malformed(std::string file, std::uint64_t line, std::string message) {
        return {Kind::Malformed, std::move(message), std::move(file), 0, line};
    }
    static Error argument(std::string parameter, std::string message) {
        return {Kind::Argument, std::move(message), std::move(parameter), 0, 0};
    }
    static Error of(Kind kind, std::string message) { return {kind, std::move(message), {}, 0, 0}; }
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
