// vornserver_internal: what the facade's source files share.
#ifndef OOZAF_VORNSERVER_INTERNAL_H
#define OOZAF_VORNSERVER_INTERNAL_H

#include <oozaf/throwable.h>
#include <zaf/zafkeys.h>

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

// What an import compares to tell a changed key from an unchanged one: the numbers of user IDs,
// subkeys and signatures, the secret part and the revocation.
struct SKeyShape {
    int32_t userIDs = -1;
    int32_t subKeys = -1;
    int32_t signatures = -1;
    bool secret = false;
    bool revoked = false;
    bool operator==(const SKeyShape& o) const {
        return userIDs == o.userIDs && subKeys == o.subKeys && signatures == o.signatures &&
               secret == o.secret && revoked == o.revoked;
    }
};

// The shape of the key with `id` in `keyDB`; false when the database does not hold it.
bool gKeyShapeOf(ZAFKeyDBRef keyDB, const ZAFKeyID& id, SKeyShape& shape);

} // namespace oozaf

#endif
