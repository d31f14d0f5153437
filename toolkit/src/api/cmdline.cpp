// cmdline: the command-line iterator over argv and a table of known flags.
#include "context_internal.h"
#include "handles.h"

#include <zaf/zafcmdline.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct ZAFCommandLineContext {
    uint32_t magic;
    std::vector<std::string> items;
    std::vector<std::pair<std::string, int32_t>> flags;
    size_t next;
    bool flagsEnded;      // "--" was seen
    bool hasPendingValue; // the last flag came as "--name=value"
    std::string pendingValue;
    // Values taken from "--name=value"; a deque keeps earlier texts in place as it grows.
    std::deque<std::string> takenValues;
};

namespace {

constexpr uint32_t kCommandLineMagic = 0x5A41464C; // "ZAFL"
constexpr size_t kMaxFlagName = 64;

bool isValidCommandLine(const ZAFCommandLineContext* context) {
    return zaf::isRegistered(context, zaf::HandleKind::CommandLine) &&
           context->magic == kCommandLineMagic;
}

bool acceptableFlagName(const char* name) {
    if (name == nullptr)
        return false;
    const size_t length = strnlen(name, kMaxFlagName + 1);
    if (length == 0 || length > kMaxFlagName || name[0] == '-')
        return false;
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

const std::pair<std::string, int32_t>* findFlag(const ZAFCommandLineContext* context,
                                                const std::string& name) {
    for (const auto& flag : context->flags)
        if (flag.first == name)
            return &flag;
    return nullptr;
}

} // namespace

extern "C" {

ZAFError ZAFNewCommandLineContext(ZAFMemoryMgrRef memoryMgr, int argc, const char* const* argv,
                                  const ZAFCommandLineFlag* flags, size_t flagCount,
                                  ZAFCommandLineContextRef* outContext) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidMemoryMgr(memoryMgr))
            return kZAFError_InvalidHandle;
        if (outContext == nullptr || argc < 0 || argc > kZAFCommandLineMaxItems ||
            (argv == nullptr && argc > 0) || (flags == nullptr && flagCount > 0) ||
            flagCount > kZAFCommandLineMaxFlags)
            return kZAFError_BadParams;
        auto context = std::make_unique<ZAFCommandLineContext>();
        context->magic = kCommandLineMagic;
        context->next = 0;
        context->flagsEnded = false;
        context->hasPendingValue = false;
        for (size_t i = 0; i < flagCount; ++i) {
            if (!acceptableFlagName(flags[i].name) || flags[i].id <= 0 ||
                findFlag(context.get(), flags[i].name) != nullptr)
                return kZAFError_BadParams;
            context->flags.emplace_back(flags[i].name, flags[i].id);
        }
        for (int i = 1; i < argc; ++i) {
            if (argv[i] == nullptr)
                return kZAFError_BadParams;
            context->items.emplace_back(argv[i]);
        }
        zaf::registerHandle(context.get(), zaf::HandleKind::CommandLine);
        *outContext = context.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFCommandLineNextFlag(ZAFCommandLineContextRef context, int32_t* outId,
                                const char** outArgument) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidCommandLine(context))
            return kZAFError_InvalidHandle;
        if (outId == nullptr)
            return kZAFError_BadParams;
        if (context->hasPendingValue) {
            context->hasPendingValue = false;
            context->pendingValue.clear();
            return kZAFError_UnexpectedValue;
        }
        while (context->next < context->items.size()) {
            const std::string& item = context->items[context->next++];
            const bool looksLikeFlag = !context->flagsEnded && item.size() > 1 && item[0] == '-';
            if (!looksLikeFlag) {
                *outId = kZAFCommandLine_Argument;
                if (outArgument != nullptr)
                    *outArgument = item.c_str();
                return kZAFError_NoErr;
            }
            if (item == "--") {
                context->flagsEnded = true;
                continue;
            }
            std::string name;
            bool hasValue = false;
            std::string value;
            if (item[1] == '-') {
                const size_t equals = item.find('=');
                name = item.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
                if (equals != std::string::npos) {
                    hasValue = true;
                    value = item.substr(equals + 1);
                }
            } else {
                // A single dash names a one-letter flag, with no attached value.
                name = item.substr(1);
                if (name.size() != 1)
                    return kZAFError_UnknownFlag;
            }
            const auto* flag = findFlag(context, name);
            if (flag == nullptr)
                return kZAFError_UnknownFlag;
            context->hasPendingValue = hasValue;
            context->pendingValue = std::move(value);
            *outId = flag->second;
            if (outArgument != nullptr)
                *outArgument = nullptr;
            return kZAFError_NoErr;
        }
        return kZAFError_EndOfIteration;
    });
}

ZAFError ZAFCommandLineNextArgument(ZAFCommandLineContextRef context, const char** outArgument) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidCommandLine(context))
            return kZAFError_InvalidHandle;
        if (outArgument == nullptr)
            return kZAFError_BadParams;
        if (context->hasPendingValue) {
            context->hasPendingValue = false;
            context->takenValues.push_back(std::move(context->pendingValue));
            context->pendingValue.clear();
            *outArgument = context->takenValues.back().c_str();
            return kZAFError_NoErr;
        }
        if (context->next >= context->items.size())
            return kZAFError_MissingArgument;
        *outArgument = context->items[context->next++].c_str();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeCommandLineContext(ZAFCommandLineContextRef context) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidCommandLine(context) ||
            !zaf::unregisterHandle(context, zaf::HandleKind::CommandLine))
            return kZAFError_InvalidHandle;
        context->magic = 0;
        delete context;
        return kZAFError_NoErr;
    });
}

} // extern "C"
