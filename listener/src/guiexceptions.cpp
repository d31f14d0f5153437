// guiexceptions: the failure loggers of the listener's catch ladders.
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/xmlstring.h>

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/sax/SAXException.hpp>

#include <cxxabi.h>
#include <exception>

namespace vorngui {

using namespace oozaf;

std::string gLogFailure(const CZAFThrowable& failure, const std::string& head) {
    std::string text = failure.getDetailedMessage();
    ZAF_LOG_ERROR(head << text);
    return text;
}

eGUIFailureKind gLogBoundaryFailure(const char* head, const char* described,
                                    const char* undescribed) {
    try {
        throw;
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(head << described << *e);
        return dynamic_cast<CZAFError*>(e) != nullptr ? eGUIFailureKind::eDefect
                                                      : eGUIFailureKind::eFailure;
    } catch (const xercesc::DOMException& e) {
        CGUIXMLEngineException wrapped(gFromXML(e.getMessage()));
        ZAF_LOG_ERROR(head << described << wrapped);
        return eGUIFailureKind::eFailure;
    } catch (const xercesc::SAXException& e) {
        CGUIXMLEngineException wrapped(gFromXML(e.getMessage()));
        ZAF_LOG_ERROR(head << described << wrapped);
        return eGUIFailureKind::eFailure;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        CZAFSTLError wrapped(e);
        ZAF_LOG_ERROR(head << described << wrapped);
        return eGUIFailureKind::eDefect;
    } catch (...) {
        ZAF_LOG_ERROR(head << undescribed);
        return eGUIFailureKind::eFailure;
    }
}

} // namespace vorngui
