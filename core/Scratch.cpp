#include <background/core/Scratch.hpp>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace background {

void return_freed_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace background
