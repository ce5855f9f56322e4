// Fuzz target for the readers of record files: the tagged record stream
// reader and the three serializer readers, all fed the same bytes through a
// memory stream. Any exception other than the ones the readers document is
// turned into an abort so that the fuzzer reports it.

#include <background/storage/Serializer.hpp>
#include <background/storage/tmio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ios>
#include <stdexcept>
#include <string>

namespace {

std::string memory_address(const std::uint8_t* data, std::size_t size) {
    static const std::uint8_t empty = 0;
    char text[64];
    std::snprintf(text, sizeof text, "mem://%p/%zu", static_cast<const void*>(size ? data : &empty), size);
    return text;
}

void read_records(const std::string& address) {
    tmio_context* ctx = tmio_init("", 0, 0, 0);
    if (!ctx) std::abort();
    if (tmio_open(ctx, address.c_str(), 0) >= 0) {
        static const int capacities[] = {0, 4, 8, 24, 72, 100};
        unsigned char buffer[128];
        for (int round = 0; round < 1000; ++round) {
            if (round % 7 == 3 && tmio_wait(ctx, 0) < 0) break;
            const int tag = tmio_read_tag(ctx);
            if (tag <= 0) break;
            if (tag > 1000000000) std::abort();
            for (int i = 0; i < 8; ++i) {
                const int capacity = capacities[(round + i) % 6];
                const int stored = tmio_read_data(ctx, buffer, capacity);
                if (stored < 0) break;
            }
        }
    }
    tmio_delete(ctx);
}

template <typename Read>
void read_vector(Read read) {
    try {
        auto values = read();
        (void)values;
    } catch (const std::ios_base::failure&) {
    } catch (const std::length_error&) {
    } catch (...) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string address = memory_address(data, size);
    read_records(address);
    auto serializer = background::Serializer::create_default();
    read_vector([&] { return serializer->read_events(address); });
    read_vector([&] { return serializer->read_metadata(address); });
    read_vector([&] { return serializer->read_numbers(address); });
    return 0;
}
