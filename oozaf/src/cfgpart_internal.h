// cfgpart_internal: helpers shared by the configuration part and file modules.
#ifndef OOZAF_CFGPART_INTERNAL_H
#define OOZAF_CFGPART_INTERNAL_H

#include <oozaf/ops.h>

#include <string>

namespace oozaf {

// gOpFromDirective with its answers remembered per thread (at most a few thousand spellings):
// configuration files repeat a few directives many times, and the table is searched linearly.
// Throws what gOpFromDirective throws.
eZAFOp gCachedOpFromDirective(const std::string& directive);

} // namespace oozaf

#endif
