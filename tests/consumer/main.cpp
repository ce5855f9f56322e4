// A C++ program built against the installed library, as a user would.
#include <background/background.hpp>

#include <cstdio>

int main() {
    background::Metadata record{};
    const std::string text = background::format("{} {:.1f}", 1e5, 2.25);
    std::printf("Metadata is %zu bytes; %s\n", sizeof record, text.c_str());
    return text == "1e+05 2.2" ? 0 : 1;
}
