#pragma once

#include <map>
#include <memory>
#include <stdexcept>

namespace background {

/// Process-wide registry of values by non-zero int ID, through which two
/// objects configured with the same number exchange a callback. Not locked:
/// used from one thread at a time.
class Hook {
public:
    template <typename T>
    class Impl;

    /// Owns one registration and removes it when destroyed.
    class Handle {
    public:
        explicit Handle(int id) : id(id) {}
        Handle(Handle&& other) noexcept : id(other.id) { other.id = 0; }
        Handle& operator=(Handle&& other) noexcept {
            if (this != &other) {
                remove(id);
                id = other.id;
                other.id = 0;
            }
            return *this;
        }
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;
        ~Handle() { remove(id); }

        /// Gives up the ID without removing its registration.
        void leak() noexcept { id = 0; }

    private:
        int id;
    };

    virtual ~Hook() = default;

    /// Registers `value` under `id`; refuses 0 and IDs already registered.
    template <typename T>
    static Handle set(int id, T value);

    /// The value registered under `id`; std::out_of_range when absent,
    /// std::bad_cast when registered with another type.
    template <typename T>
    static T& get(int id);

    /// Removes the registration under `id`, if any.
    static void remove(int id) noexcept;

private:
    static std::map<int, std::unique_ptr<Hook>> hooks;
};

template <typename T>
class Hook::Impl : public Hook {
public:
    explicit Impl(T value) : value(std::move(value)) {}
    T value;
};

template <typename T>
Hook::Handle Hook::set(int id, T value) {
    if (id == 0) throw std::invalid_argument("ID 0 is invalid!");
    if (hooks.contains(id)) throw std::invalid_argument("ID is already registered!");
    hooks.emplace(id, std::make_unique<Impl<T>>(std::move(value)));
    return Handle(id);
}

template <typename T>
T& Hook::get(int id) {
    return dynamic_cast<Impl<T>&>(*hooks.at(id)).value;
}

}  // namespace background
