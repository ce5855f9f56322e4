#include <background/core/Hook.hpp>

namespace background {

std::map<int, std::unique_ptr<Hook>> Hook::hooks;

void Hook::remove(int id) noexcept {
    if (id != 0) hooks.erase(id);
}

}  // namespace background
