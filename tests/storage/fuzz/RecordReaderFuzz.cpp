// Fuzz target for the record stream reader and the three serializer readers, fed the same bytes through a
// memory stream. Any exception the readers do not document aborts, so the fuzzer reports it.

#include <background/storage/Serializer.hpp>
#include <background/storage/tmio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ios>
#include <stdexcept>

static void read_records(const char* address) {
    static const int capacities[] = {0, 4, 8, 24, 72, 100};
    unsigned char buffer[128];
    tmio_context* ctx = tmio_init("", 0, 0, 0);
    if (!ctx) std::abort();
    const bool opened = tmio_open(ctx, address, 0) >= 0;
    for (int round = 0; opened && round < 1000; ++round) {
        if (round % 7 == 3 && tmio_wait(ctx, 0) < 0) break;
        const int tag = tmio_read_tag(ctx);
        if (tag <= 0) break;
        if (tag > 1000000000) std::abort();
        for (int i = 0; i < 8 && tmio_read_data(ctx, buffer, capacities[(round + i) % 6]) >= 0; ++i) {
        }
    }
    tmio_delete(ctx);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::uint8_t empty = 0;
    char address[64];
    std::snprintf(address, sizeof address, "mem://%p/%zu", static_cast<const void*>(size ? data : &empty), size);
    read_records(address);
    const auto serializer = background::Serializer::create_default();
    for (int reader = 0; reader < 3; ++reader) {
        try {
            if (reader == 0) serializer->read_events(address);
            if (reader == 1) serializer->read_metadata(address);
            if (reader == 2) serializer->read_numbers(address);
        } catch (const std::ios_base::failure&) {
        } catch (const std::length_error&) {
        } catch (...) {
            std::abort();
        }
    }
    return 0;
}
