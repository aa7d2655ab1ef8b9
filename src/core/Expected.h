#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace dravelin {

// The error half of an Expected, so `return Unexpected{err};` reads clearly.
template <typename E>
struct Unexpected
{
    // Spelled out (not an aggregate) so that `Unexpected(err)` also works
    // with compilers before parenthesised aggregate initialisation (clang-tidy's).
    explicit Unexpected(E e) : error(std::move(e)) {}
    E error;
};
template <typename E>
Unexpected(E) -> Unexpected<E>;

// A value or an error. A small stand-in for C++23 std::expected, which this
// toolchain's C++20 mode does not provide.
template <typename T, typename E>
class [[nodiscard]] Expected
{
public:
    Expected() requires std::is_default_constructible_v<T> : m_data(std::in_place_index<0>) {}
    Expected(T value) : m_data(std::in_place_index<0>, std::move(value)) {}
    Expected(Unexpected<E> u) : m_data(std::in_place_index<1>, std::move(u.error)) {}

    bool hasValue() const { return m_data.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T &value() & { return std::get<0>(m_data); }
    const T &value() const & { return std::get<0>(m_data); }
    T &&value() && { return std::get<0>(std::move(m_data)); }
    const E &error() const { return std::get<1>(m_data); }

    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }
    T &operator*() & { return value(); }
    const T &operator*() const & { return value(); }

    template <typename U>
    T valueOr(U &&fallback) const &
    {
        return hasValue() ? value() : static_cast<T>(std::forward<U>(fallback));
    }

private:
    std::variant<T, E> m_data;
};

// Success without a value: holds nothing or an error.
template <typename E>
class [[nodiscard]] Expected<void, E>
{
public:
    Expected() = default;
    Expected(Unexpected<E> u) : m_error(std::move(u.error)), m_failed(true) {}

    bool hasValue() const { return !m_failed; }
    explicit operator bool() const { return hasValue(); }
    const E &error() const { return m_error; }

private:
    E m_error{};
    bool m_failed = false;
};

} // namespace dravelin
