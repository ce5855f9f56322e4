// Memory streams over a caller-owned region ("mem://%p/%zu"): no buffers and
// no descriptor; a flush starts the region over from its beginning.

#include <background/storage/bufio_internal.hpp>

#include <fcntl.h>

#include <cstring>

namespace background::bufio::detail {

bufio_stream* open_memory(void* base, std::size_t size, const char* mode, const char* label) {
    int flags;
    if (std::strcmp(mode, "r") == 0) flags = O_RDONLY | O_NONBLOCK;
    else if (std::strcmp(mode, "w") == 0) flags = O_WRONLY | O_NONBLOCK;
    else {
        say(label, "invalid mode", mode, "for mem.");
        return nullptr;
    }
    bufio_stream* s = new_stream(label);
    if (!s) return nullptr;
    s->type = BUFIO_MEM;
    s->flags = flags;
    s->mem_base = static_cast<unsigned char*>(base);
    s->mem_size = size;
    return s;
}

std::size_t mem_read(bufio_stream* s, unsigned char* out, std::size_t n) {
    if (!s->mem_base || access_mode(s) != O_RDONLY) {
        s->status = -1;
        return 0;
    }
    std::size_t left = s->mem_size - s->mem_pos;
    std::size_t take = n < left ? n : left;
    std::memcpy(out, s->mem_base + s->mem_pos, take);
    s->mem_pos += take;
    if (n > left) s->status = BUFIO_EOF;
    return take;
}

std::size_t mem_peek(bufio_stream* s, std::size_t n, const unsigned char** bytes) {
    *bytes = s->mem_base + s->mem_pos;
    if (!s->mem_base || access_mode(s) != O_RDONLY) {
        s->status = -1;
        return 0;
    }
    std::size_t left = s->mem_size - s->mem_pos;
    if (n > left) s->status = BUFIO_EOF;
    return left;
}

std::size_t mem_write(bufio_stream* s, const unsigned char* data, std::size_t n) {
    if (!s->mem_base || access_mode(s) != O_WRONLY) {
        s->status = -1;
        return 0;
    }
    std::size_t room = s->mem_size - s->mem_pos;
    std::size_t take = n < room ? n : room;
    std::memcpy(s->mem_base + s->mem_pos, data, take);
    s->mem_pos += take;
    if (n > room) s->status = BUFIO_NOSPACE;
    return take;
}

int mem_flush(bufio_stream* s) {
    s->mem_pos = 0;
    s->status = 0;
    return 0;
}

int mem_wait(bufio_stream* s) {
    if (access_mode(s) != O_RDONLY || s->mem_pos >= s->mem_size) {
        s->status = BUFIO_EOF;
        return 0;
    }
    return 1;
}

}  // namespace background::bufio::detail
