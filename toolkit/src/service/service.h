// service: what the other folders use of the service folder: the client side of orxsdkd (for the
// key database) and the messages both sides exchange (for orxsdkd itself).
#ifndef ZAF_SERVICE_H
#define ZAF_SERVICE_H

#include "service_client.h"
#include "service_protocol.h"

#endif
