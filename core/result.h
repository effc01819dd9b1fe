#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace tw {

// Why an operation failed, in words for the user or the log.
struct Failure
{
    std::string reason;
};

// The outcome of an operation that can fail with a reason: a value, or a
// Failure. `return value;` and `return Failure{"why"};` both convert.
template <class T> class [[nodiscard]] Result
{
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : m_state(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only after ok(); a failed result throws std::logic_error with its reason.
    T& value() &
    {
        check();
        return std::get<0>(m_state);
    }
    const T& value() const&
    {
        check();
        return std::get<0>(m_state);
    }
    T&& value() &&
    {
        check();
        return std::get<0>(std::move(m_state));
    }
    // "" when ok.
    const std::string& error() const
    {
        static const std::string none;
        return ok() ? none : std::get<1>(m_state).reason;
    }

private:
    void check() const
    {
        if (!ok()) {
            throw std::logic_error("value of a failed result: " + error());
        }
    }

    std::variant<T, Failure> m_state;
};

// An operation that gives nothing but success or a reason; `return {};` succeeds.
template <> class [[nodiscard]] Result<void>
{
public:
    Result() = default;
    Result(Failure failure) : m_error(std::move(failure.reason)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    // "" when ok.
    const std::string& error() const { return m_error; }

private:
    std::string m_error;
    bool m_failed = false;
};

} // namespace tw
