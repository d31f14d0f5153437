// vornserver_internal: what the facade's source files share.
#ifndef OOZAF_VORNSERVER_INTERNAL_H
#define OOZAF_VORNSERVER_INTERNAL_H

#include <oozaf/throwable.h>

namespace oozaf {

// Runs `body`; a CZAFException from below (other than the operation's own E) leaves as a new E
// with it as the cause. Defects (CZAFError) and standard exceptions pass unchanged.
template <class E, class F> auto guarded(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (E*) {
        throw;
    } catch (CZAFException* e) {
        gRethrowAs<E>(e);
    }
}

} // namespace oozaf

#endif
