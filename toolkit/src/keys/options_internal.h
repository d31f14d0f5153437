// options_internal: the option lists that import, export, key generation and key editing take.
// Builders (ZAFO...) make one-option lists; a call collects the lists up to ZAFOLastOption() and
// releases the ones builders made.
#ifndef ZAF_OPTIONS_INTERNAL_H
#define ZAF_OPTIONS_INTERNAL_H

#include <zaf/zafkeys.h>

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

namespace zaf {

enum OptionType {
    kOptNull,
    kOptInputBuffer,
    kOptInputFile,
    kOptInputFormat,
    kOptExportKeySet,
    kOptOutputFile,
    kOptAllocatedOutput,
    kOptExportPrivate,
    kOptArmor,
    kOptExportFormat,
    kOptPassphrase,
    kOptPasskey,
    // Key generation and editing.
    kOptKeyDB = 100,
    kOptKeyParams,         // value algorithm, value2 bits, value3 version
    kOptUserID,            // data
    kOptExpiration,        // value days
    kOptFastGeneration,    // value 0/1
    kOptADKKeySet,         // handle key set, value class
    kOptKeyFlags,          // value
    kOptPreferredCiphers,  // data: one byte per cipher
    kOptMasterKey,         // handle key object
    kOptCreationDate,      // value time
    kOptRegularExpression, // data
    kOptExportable,        // value 0/1
    kOptSignatureTrust,    // value depth, value2 amount (owner-trust scale)
    kOptRevocationReason   // value code, data the explanation
};

struct Option {
    int type = kOptNull;
    int64_t value = 0;
    int64_t value2 = 0;
    int64_t value3 = 0;
    std::string data;
    void* handle = nullptr;
    void** outData = nullptr;
    size_t* outSize = nullptr;
    size_t maxSize = 0;

    Option() = default;
    Option(const Option&) = default;
    Option(Option&&) = default;
    Option& operator=(const Option&) = default;
    Option& operator=(Option&&) = default;
    // Passphrases and passkeys do not outlive their options in freed memory.
    ~Option() {
        if (type != kOptPassphrase && type != kOptPasskey)
            return;
        data.resize(data.capacity());
        volatile char* p = &data[0];
        for (size_t i = 0; i < data.size(); ++i)
            p[i] = 0;
    }
};

constexpr uint32_t kOptionMagic = 0x5A4F5054; // "ZOPT"

// A one-option list for a builder to return; null when the context is not valid or memory ran
// out.
ZAFOptionListRef makeOption(ZAFContextRef context, Option&& option);

// Gathers the options of a variadic call up to the end marker, dropping null options. Lists made
// by builders are released, also when the call fails. False when a list is not valid (a failed
// builder) or the end marker is missing within 256 lists.
bool collectOptions(ZAFOptionListRef first, va_list ap, std::vector<Option>& out);

} // namespace zaf

struct ZAFOptionList {
    uint32_t magic = zaf::kOptionMagic;
    bool persistent = false; // made by ZAFNewOptionList: only ZAFFreeOptionList frees it
    std::vector<zaf::Option> options;
};

#endif
