// file_internal: helpers shared by the file and configuration modules.
#ifndef OOZAF_FILE_INTERNAL_H
#define OOZAF_FILE_INTERNAL_H

#include <cerrno>

namespace oozaf {

// Throws a new E built from `args` and the current errno. errno is read before the exception is
// allocated, because the allocation may change it.
template <class E, class... A> [[noreturn]] void gThrowWithErrno(const A&... args) {
    const int error = errno;
    throw new E(args..., error);
}

} // namespace oozaf

#endif
